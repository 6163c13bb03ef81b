// The retry dialog: its buttons and what each chooses, the keys of a first
// showing, the choice reset at every showing, the focus and the count kept
// from one showing to the next.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "LoopTesting.h"
#include "RetryFormF.h"

namespace {

using namespace std::chrono_literals;
using TAnswer = TScriptedRenderer::TAnswer;

class RetryDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        Renderer = FreshScriptedApplication();
        RetryForm = new TRetryForm(nullptr);
    }
    void TearDown() override {
        delete RetryForm;
        RetryForm = nullptr;
    }

    // Shows the dialog once, answered by `answer`; returns the choice.
    int Show(TAnswer answer) {
        Renderer->Answers.push_back(std::move(answer));
        RetryForm->ShowModal();
        EXPECT_TRUE(Renderer->Answers.empty());
        return RetryForm->RetryChoice;
    }

    TScriptedRenderer* Renderer = nullptr;
    TLoopWatchdog Watchdog{10s};
};

TEST_F(RetryDialogTest, EachButtonHasItsCaptionPlaceAndChoice) {
    struct Row {
        TButton* Button;
        const char* Caption;
        int TabOrder;
        bool Default, Cancel;
        int Choice;
    };
    std::vector<Row> rows = {
        {RetryForm->Button3, "&Retry according to above!", 2, true, false, 1},
        {RetryForm->Button1, "Retry once!", 0, false, false, 2},
        {RetryForm->Button2, "Cancel", 1, false, true, 3},
        {RetryForm->Button4, "Retry indefinitely!", 4, false, false, 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Caption);
        EXPECT_EQ(row.Button->Caption(), row.Caption);
        EXPECT_EQ(row.Button->TabOrder, row.TabOrder);
        EXPECT_EQ(row.Button->Default, row.Default);
        EXPECT_EQ(row.Button->Cancel, row.Cancel);
        EXPECT_EQ(Show(TScriptedRenderer::ClickButton(row.Button->Name)), row.Choice);
        EXPECT_EQ(RetryForm->ModalResult, mrOk);
    }
    EXPECT_EQ(Renderer->Count("modal Unable login to server..."), rows.size());
}

TEST_F(RetryDialogTest, KeysOfAFirstShowing) {
    struct Row {
        const char* Name;
        TAnswer Answer;
        int Choice;
    };
    std::vector<Row> rows = {
        {"Enter chooses the focused Retry once!", TScriptedRenderer::PressEnter(), 2},
        {"Esc cancels", TScriptedRenderer::PressEscape(), 3},
        {"the close box chooses nothing", TScriptedRenderer::CloseBox(), 0},
        {"Alt+R", [](TForm& form) { EXPECT_TRUE(form.KeyAccess('r')); }, 1},
        {"Alt+Shift+R", [](TForm& form) { EXPECT_TRUE(form.KeyAccess('R')); }, 1},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.Name);
        delete RetryForm;
        RetryForm = new TRetryForm(nullptr);
        EXPECT_EQ(RetryForm->SpinEdit1->Value(), 40);
        EXPECT_EQ(RetryForm->SpinEdit1->Text(), "40");
        EXPECT_EQ(Show(std::move(row.Answer)), row.Choice);
    }
}

TEST_F(RetryDialogTest, TheChoiceStartsAtZeroOnEveryShowing) {
    EXPECT_EQ(Show(TScriptedRenderer::ClickButton("Button4")), 4);
    int seenOnShow = -1;
    EXPECT_EQ(Show([&seenOnShow](TForm& form) {
                  seenOnShow = RetryForm->RetryChoice;
                  form.Close();
              }),
              0);
    EXPECT_EQ(seenOnShow, 0);
}

TEST_F(RetryDialogTest, FocusReturnsToTheControlThatHadItWhenTheDialogClosed) {
    // Tab moves from Retry once! (0) to Cancel (1); Enter there cancels.
    EXPECT_EQ(Show([](TForm& form) {
                  form.FocusNext(false);
                  form.KeyEnter();
              }),
              3);
    EXPECT_EQ(RetryForm->ActiveControl(), RetryForm->Button2);
    EXPECT_EQ(Show(TScriptedRenderer::PressEnter()), 3);

    // With the count focused, Enter goes to the default button.
    EXPECT_EQ(Show([](TForm& form) {
                  form.SetFocus(RetryForm->SpinEdit1);
                  form.KeyEnter();
              }),
              1);
    EXPECT_EQ(RetryForm->ActiveControl(), RetryForm->SpinEdit1);
    EXPECT_EQ(Show(TScriptedRenderer::PressEnter()), 1);

    // Shift+Tab from Retry once! wraps round to Retry indefinitely! (4).
    RetryForm->SetFocus(RetryForm->Button1);
    EXPECT_EQ(Show([](TForm& form) {
                  form.FocusNext(true);
                  form.KeyEnter();
              }),
              4);
}

TEST_F(RetryDialogTest, ACountEnteredStaysAndTextThatIsNoIntegerCountsZero) {
    EXPECT_EQ(Show(TScriptedRenderer::SetSpinText("SpinEdit1", "12", TScriptedRenderer::ClickButton("Button3"))), 1);
    EXPECT_EQ(RetryForm->SpinEdit1->Value(), 12);
    std::string textOnShow;
    Show([&textOnShow](TForm& form) {
        textOnShow = RetryForm->SpinEdit1->Text();
        form.KeyEscape();
    });
    EXPECT_EQ(textOnShow, "12");

    struct Row {
        const char* Text;
        int Value;
    };
    for (Row row : {Row{"7", 7}, Row{"  7", 7}, Row{"+7", 7}, Row{"-5", -5}, Row{"0", 0}, Row{"", 0},
                    Row{"abc", 0}, Row{"12abc", 0}, Row{"$10", 0}, Row{"0x10", 0}, Row{"99999999999", 0}}) {
        RetryForm->SpinEdit1->SetText(row.Text);
        EXPECT_EQ(RetryForm->SpinEdit1->Value(), row.Value) << '"' << row.Text << '"';
    }
}

}  // namespace
