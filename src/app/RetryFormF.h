// The retry dialog: asks how to go on after a whole series of attempts failed.
#pragma once

#include "Forms.h"

class TRetryForm : public TForm {
public:
    explicit TRetryForm(TComponent* AOwner);

    TLabel* Label1;
    TLabel* Label2;
    TBevel* Bevel1;
    TLabel* Label3;
    TSpinEdit* SpinEdit1;
    TButton* Button4;
    TButton* Button3;
    TButton* Button1;
    TButton* Button2;

    // 0: closed without a button; 1: retry as the count says; 2: retry once;
    // 3: cancel; 4: retry up to 32000 times.
    int RetryChoice = 0;

    void FormShow(TObject* Sender);
    void Button3Click(TObject* Sender);
    void Button1Click(TObject* Sender);
    void Button2Click(TObject* Sender);
    void Button4Click(TObject* Sender);

private:
    TButton* NewButton(const char* name, int left, int width, const char* caption, int tabOrder,
                       void (TRetryForm::*handler)(TObject*));
    void Choose(int choice);
};

extern TRetryForm* RetryForm;
