#include "RetryFormF.h"

TRetryForm* RetryForm = nullptr;

namespace {
const char* const Explanation =
    "Unable to login to server...\r\n"
    "The reason for this may be one of the following:\r\n"
    "   - Your password is incorrect.\r\n"
    "   - The server has reached it's capacity of allowed simultanious users.\r\n"
    "   - Bad transfer/connection.\r\n";
}

TRetryForm::TRetryForm(TComponent* AOwner) : TForm(AOwner) {
    Name = "RetryForm";
    SetCaption("Unable login to server...");
    ClientWidth = 399;
    ClientHeight = 162;
    Centered = true;
    DialogFrame = true;

    Label1 = new TLabel(this, "Label1", 44, 6, 329, 67);
    Label1->Transparent = true;
    Label1->SetCaption(Explanation);
    Label2 = new TLabel(this, "Label2", 44, 76, 329, 19);
    Label2->Transparent = true;
    Label2->SetCaption("Please select one of the below actions:");
    Bevel1 = new TBevel(this, "Bevel1", -1, 95, 401, 2);
    Label3 = new TLabel(this, "Label3", 90, 105, 88, 17);
    Label3->AutoSize = true;
    Label3->SetCaption("Retry count:");
    SpinEdit1 = new TSpinEdit(this, "SpinEdit1", 179, 103, 55, 25);
    SpinEdit1->SetValue(40);
    SpinEdit1->TabOrder = 3;

    Button4 = NewButton("Button4", 1, 88, "Retry indefinitely!", 4, &TRetryForm::Button4Click);
    Button3 = NewButton("Button3", 91, 144, "&Retry according to above!", 2, &TRetryForm::Button3Click);
    Button3->Default = true;
    Button1 = NewButton("Button1", 238, 80, "Retry once!", 0, &TRetryForm::Button1Click);
    Button2 = NewButton("Button2", 321, 75, "Cancel", 1, &TRetryForm::Button2Click);
    Button2->Cancel = true;

    OnShow = [this](TObject* sender) { FormShow(sender); };
}

// One of the four buttons on the dialog's bottom row.
TButton* TRetryForm::NewButton(const char* name, int left, int width, const char* caption, int tabOrder,
                               void (TRetryForm::*handler)(TObject*)) {
    auto* button = new TButton(this, name, left, 128, width, 25);
    button->SetCaption(caption);
    button->TabOrder = tabOrder;
    button->OnClick = [this, handler](TObject* sender) { (this->*handler)(sender); };
    return button;
}

void TRetryForm::FormShow(TObject*) { RetryChoice = 0; }

void TRetryForm::Choose(int choice) {
    RetryChoice = choice;
    ModalResult = mrOk;
}

void TRetryForm::Button3Click(TObject*) { Choose(1); }
void TRetryForm::Button1Click(TObject*) { Choose(2); }
void TRetryForm::Button2Click(TObject*) { Choose(3); }
void TRetryForm::Button4Click(TObject*) { Choose(4); }
