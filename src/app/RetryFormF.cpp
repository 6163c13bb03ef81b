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

    Button4 = new TButton(this, "Button4", 1, 128, 88, 25);
    Button4->SetCaption("Retry indefinitely!");
    Button4->TabOrder = 4;
    Button4->OnClick = [this](TObject* sender) { Button4Click(sender); };
    Button3 = new TButton(this, "Button3", 91, 128, 144, 25);
    Button3->SetCaption("&Retry according to above!");
    Button3->Default = true;
    Button3->TabOrder = 2;
    Button3->OnClick = [this](TObject* sender) { Button3Click(sender); };
    Button1 = new TButton(this, "Button1", 238, 128, 80, 25);
    Button1->SetCaption("Retry once!");
    Button1->TabOrder = 0;
    Button1->OnClick = [this](TObject* sender) { Button1Click(sender); };
    Button2 = new TButton(this, "Button2", 321, 128, 75, 25);
    Button2->SetCaption("Cancel");
    Button2->Cancel = true;
    Button2->TabOrder = 1;
    Button2->OnClick = [this](TObject* sender) { Button2Click(sender); };

    OnShow = [this](TObject* sender) { FormShow(sender); };
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
