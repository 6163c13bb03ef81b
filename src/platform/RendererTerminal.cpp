// The terminal interface. What the windows show goes to stderr, one line
// per change; a modal form prints its texts and choices and reads its answer
// as a line from stdin, which is read only while a modal form waits.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "Forms.h"
#include "Renderer.h"
#include "Windows.h"

namespace {

constexpr std::uint64_t ProgressPeriodMs = 1000;

std::string WithoutAmpersand(const std::string& caption) {
    std::string text;
    for (char c : caption) {
        if (c != '&') text.push_back(c);
    }
    return text;
}

// CR, LF and CR LF each become one line break.
std::string AsLines(const std::string& text) {
    std::string lines;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            lines.push_back('\n');
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            lines.push_back(text[i]);
        }
    }
    while (!lines.empty() && lines.back() == '\n') lines.pop_back();
    return lines;
}

std::string Trim(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    std::size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

class TTerminalRenderer : public TRenderer {
public:
    void FormShown(TForm& form) override {
        if (!form.Modal()) return;
        FModalForms.push_back(&form);
        AssignKeys(form);
        PrintModal(form);
        WatchInput();
        // Answers already typed are taken once the modal loop runs, after
        // the form's own show handler.
        Platform::PostCall([this] { ProcessInput(); });
    }

    void FormHidden(TForm& form) override { Forget(form); }
    void FormDestroyed(TForm& form) override { Forget(form); }

    void ControlChanged(TControl& control) override {
        if (control.Form()->Modal()) return;
        if (auto* label = dynamic_cast<TLabel*>(&control)) return LabelChanged(*label);
        if (auto* status = dynamic_cast<TStatusBar*>(&control)) return StatusChanged(*status);
        if (auto* meter = dynamic_cast<TMeter*>(&control)) return MeterChanged(*meter);
    }

    void TitleChanged(const std::string& title) override {
        std::uint64_t now = GetTickCount64();
        if (FTitlePrinted && now - FLastTitleAt < ProgressPeriodMs) return;
        FTitlePrinted = true;
        FLastTitleAt = now;
        Print("[title] " + title);
    }

    void Minimized() override {}

private:
    static void Print(const std::string& line) {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    }

    // Only fixed-size labels with a caption on their left are reported:
    // the file and its destination. The labels sized to their text belong
    // to the progress figures, which the progress line shows.
    void LabelChanged(TLabel& label) {
        if (label.AutoSize) return;
        TLabel* caption = label.Form()->CaptionLabelOf(label);
        if (caption) Print(caption->Caption() + " " + label.Caption());
    }

    void StatusChanged(TStatusBar& status) {
        if (!status.Panels().empty()) Print("[status] " + status.Panels()[0].Text);
    }

    void MeterChanged(TMeter& meter) {
        if (meter.Progress() <= meter.MinValue()) return;
        std::uint64_t now = GetTickCount64();
        if (now - FLastProgressAt < ProgressPeriodMs) return;
        FLastProgressAt = now;
        std::string line = "[progress] " + (meter.Caption().empty() ? std::to_string(meter.Progress()) + " of " +
                                                                          std::to_string(meter.MaxValue())
                                                                    : meter.Caption());
        for (TControl* control : meter.Form()->Controls()) {
            auto* figure = dynamic_cast<TLabel*>(control);
            if (!figure || !figure->AutoSize || figure->Caption().empty()) continue;
            if (TLabel* caption = meter.Form()->CaptionLabelOf(*figure)) line += "  " + caption->Caption() + " " + figure->Caption();
        }
        Print(line);
    }

    static std::vector<TButton*> Buttons(TForm& form) {
        std::vector<TButton*> buttons;
        for (TControl* control : form.Controls()) {
            auto* button = dynamic_cast<TButton*>(control);
            if (button && button->Visible()) buttons.push_back(button);
        }
        return buttons;
    }

    static TSpinEdit* SpinEditOf(TForm& form) {
        for (TControl* control : form.Controls()) {
            if (auto* edit = dynamic_cast<TSpinEdit*>(control)) return edit;
        }
        return nullptr;
    }

    // Each button answers to one letter: its access key, else the first
    // initial of its words that no other button took, in tab order.
    void AssignKeys(TForm& form) {
        std::map<TButton*, char>& keys = FKeys[&form];
        keys.clear();
        std::vector<TButton*> buttons = Buttons(form);
        std::string taken;
        for (TButton* button : buttons) {
            if (char key = button->AccessKey()) {
                keys[button] = key;
                taken.push_back(key);
            }
        }
        std::stable_sort(buttons.begin(), buttons.end(), [](TButton* a, TButton* b) { return a->TabOrder < b->TabOrder; });
        for (TButton* button : buttons) {
            if (keys.count(button)) continue;
            std::string caption = WithoutAmpersand(button->Caption());
            for (std::size_t i = 0; i < caption.size(); ++i) {
                bool wordStart = i == 0 || caption[i - 1] == ' ';
                char c = static_cast<char>(std::tolower(static_cast<unsigned char>(caption[i])));
                if (wordStart && std::isalpha(static_cast<unsigned char>(c)) && taken.find(c) == std::string::npos) {
                    keys[button] = c;
                    taken.push_back(c);
                    break;
                }
            }
        }
    }

    void PrintModal(TForm& form) {
        Print("[" + form.Caption() + "]");
        TSpinEdit* edit = SpinEditOf(form);
        for (TControl* control : form.Controls()) {
            auto* label = dynamic_cast<TLabel*>(control);
            bool captionOfEdit = label && edit && form.CaptionLabelOf(*edit) == label;
            if (label && label->Visible() && !captionOfEdit) Print(AsLines(label->Caption()));
        }
        std::vector<TButton*> buttons = Buttons(form);
        if (buttons.size() == 1) {
            Print("[" + WithoutAmpersand(buttons[0]->Caption()) + "]");
            return;
        }
        for (TButton* button : buttons) Print("  " + std::string(1, FKeys[&form][button]) + ") " + WithoutAmpersand(button->Caption()));
        if (edit) {
            TLabel* caption = form.CaptionLabelOf(*edit);
            Print((caption ? caption->Caption() : std::string("Count:")) + " " + edit->Text());
        }
        PrintPrompt(form);
    }

    void PrintPrompt(TForm& form) {
        std::string choices;
        for (TButton* button : Buttons(form)) {
            if (!choices.empty()) choices += ", ";
            choices += FKeys[&form][button];
            if (button->Default && SpinEditOf(form)) choices += " [count]";
        }
        TButton* onEnter = dynamic_cast<TButton*>(form.ActiveControl());
        if (!onEnter) onEnter = form.DefaultButton();
        Print("Choose " + choices + (onEnter ? "; an empty line: " + WithoutAmpersand(onEnter->Caption()) : std::string()));
    }

    void WatchInput() {
        if (FWatching || FEndOfInput) return;
        FWatching = true;
        Platform::WatchDescriptor(STDIN_FILENO, POLLIN, [this](short) { ReadInput(); });
    }

    void StopWatching() {
        if (!FWatching) return;
        FWatching = false;
        Platform::UnwatchDescriptor(STDIN_FILENO);
    }

    void ReadInput() {
        char block[4096];
        ssize_t got;
        do {
            got = read(STDIN_FILENO, block, sizeof block);
        } while (got < 0 && errno == EINTR);
        if (got > 0) {
            FInput.append(block, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EAGAIN) {
            FEndOfInput = true;
            StopWatching();
        }
        ProcessInput();
    }

    // Answers the topmost modal form with the lines typed so far; a line
    // that closes the form leaves the rest for the next one.
    void ProcessInput() {
        while (!FModalForms.empty()) {
            TForm& form = *FModalForms.back();
            if (form.ModalResult != mrNone) return;
            std::size_t end = FInput.find('\n');
            if (end == std::string::npos) {
                if (FEndOfInput) EndOfInput(form);
                return;
            }
            std::string line = Trim(FInput.substr(0, end));
            FInput.erase(0, end + 1);
            Answer(form, line);
        }
    }

    void EndOfInput(TForm& form) {
        std::vector<TButton*> buttons = Buttons(form);
        if (buttons.size() == 1) {
            buttons[0]->Click();
        } else {
            form.Close();
        }
    }

    void Answer(TForm& form, const std::string& line) {
        std::vector<TButton*> buttons = Buttons(form);
        if (buttons.size() == 1) return buttons[0]->Click();
        if (line.empty()) return form.KeyEnter();
        char key = static_cast<char>(std::tolower(static_cast<unsigned char>(line[0])));
        std::string rest = Trim(line.substr(1));
        // A count is set apart from its letter: "retry" is no "r" with count "etry".
        bool apart = rest.empty() || line[1] == ' ' || line[1] == '\t';
        for (TButton* button : buttons) {
            if (!apart || FKeys[&form][button] != key) continue;
            TSpinEdit* edit = SpinEditOf(form);
            if (!rest.empty() && !(button->Default && edit)) break;
            if (!rest.empty()) edit->SetText(rest);
            form.SetFocus(button);
            button->Click();
            return;
        }
        Print("Unknown choice \"" + line + "\"");
        PrintPrompt(form);
    }

    void Forget(TForm& form) {
        std::erase(FModalForms, &form);
        FKeys.erase(&form);
        if (FModalForms.empty()) StopWatching();
    }

    std::vector<TForm*> FModalForms;
    std::map<TForm*, std::map<TButton*, char>> FKeys;
    std::string FInput;
    bool FEndOfInput = false;
    bool FWatching = false;
    bool FTitlePrinted = false;
    std::uint64_t FLastTitleAt = 0;
    std::uint64_t FLastProgressAt = 0;
};

}  // namespace

std::unique_ptr<TRenderer> CreateTerminalRenderer() { return std::make_unique<TTerminalRenderer>(); }

std::unique_ptr<TRenderer> CreateRenderer() {
    const char* ui = std::getenv("TAVIX_FTP_UI");
    if (!(ui && std::string(ui) == "console")) {
        if (auto window = CreateWindowRenderer()) return window;
    }
    return CreateTerminalRenderer();
}
