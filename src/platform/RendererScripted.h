// A renderer for tests: it records what the windows show as lines of text
// and answers each modal form with the next scripted action.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "Forms.h"
#include "Renderer.h"

class TScriptedRenderer : public TRenderer {
public:
    using TAnswer = std::function<void(TForm&)>;

    // Actions for the modal forms to come, in order. A modal form shown when
    // none is left is closed without a button, and "unanswered" is logged.
    std::deque<TAnswer> Answers;
    // "shown <caption>", "modal <caption>", "hidden <caption>",
    // "label <name> <text>", "status <text>", "meter <progress>/<max>",
    // "title <text>", "minimized".
    std::vector<std::string> Log;

    void FormShown(TForm& form) override;
    void FormHidden(TForm& form) override;
    void ControlChanged(TControl& control) override;
    void TitleChanged(const std::string& title) override { Log.push_back("title " + title); }
    void Minimized() override { Log.push_back("minimized"); }

    std::size_t Count(const std::string& line) const;

    // Ready-made answers.
    static TAnswer ClickButton(const std::string& name);
    static TAnswer PressEnter();
    static TAnswer PressEscape();
    static TAnswer CloseBox();
    static TAnswer SetSpinText(const std::string& name, const std::string& text, TAnswer then);
};
