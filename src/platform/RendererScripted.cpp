#include "RendererScripted.h"

#include <algorithm>

#include "Windows.h"

void TScriptedRenderer::FormShown(TForm& form) {
    Log.push_back((form.Modal() ? "modal " : "shown ") + form.Caption());
    if (!form.Modal()) return;
    TAnswer answer;
    if (!Answers.empty()) {
        answer = std::move(Answers.front());
        Answers.pop_front();
    }
    // Answered from the modal loop, after the form's own show handler.
    Platform::PostCall([this, &form, answer] {
        if (answer) return answer(form);
        Log.push_back("unanswered " + form.Caption());
        form.Close();
    });
}

void TScriptedRenderer::FormHidden(TForm& form) { Log.push_back("hidden " + form.Caption()); }

void TScriptedRenderer::ControlChanged(TControl& control) {
    if (auto* label = dynamic_cast<TLabel*>(&control)) Log.push_back("label " + label->Name + " " + label->Caption());
    if (auto* status = dynamic_cast<TStatusBar*>(&control)) {
        if (!status->Panels().empty()) Log.push_back("status " + status->Panels()[0].Text);
    }
    if (auto* meter = dynamic_cast<TMeter*>(&control))
        Log.push_back("meter " + std::to_string(meter->Progress()) + "/" + std::to_string(meter->MaxValue()));
}

std::size_t TScriptedRenderer::Count(const std::string& line) const {
    return static_cast<std::size_t>(std::count(Log.begin(), Log.end(), line));
}

namespace {
TControl* Find(TForm& form, const std::string& name) {
    for (TControl* control : form.Controls()) {
        if (control->Name == name) return control;
    }
    return nullptr;
}
}  // namespace

TScriptedRenderer::TAnswer TScriptedRenderer::ClickButton(const std::string& name) {
    return [name](TForm& form) {
        if (auto* button = dynamic_cast<TButton*>(Find(form, name))) {
            form.SetFocus(button);
            button->Click();
        }
    };
}

TScriptedRenderer::TAnswer TScriptedRenderer::PressEnter() {
    return [](TForm& form) { form.KeyEnter(); };
}

TScriptedRenderer::TAnswer TScriptedRenderer::PressEscape() {
    return [](TForm& form) { form.KeyEscape(); };
}

TScriptedRenderer::TAnswer TScriptedRenderer::CloseBox() {
    return [](TForm& form) { form.Close(); };
}

TScriptedRenderer::TAnswer TScriptedRenderer::SetSpinText(const std::string& name, const std::string& text, TAnswer then) {
    return [name, text, then](TForm& form) {
        if (auto* edit = dynamic_cast<TSpinEdit*>(Find(form, name))) edit->SetText(text);
        then(form);
    };
}
