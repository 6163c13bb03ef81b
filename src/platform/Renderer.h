// What shows the forms and controls. The controls are plain objects that
// hold their state; a renderer is told of every change and feeds the user's
// input back as clicks, key presses and closes on the GUI thread.
#pragma once

#include <memory>
#include <string>

class TForm;
class TControl;

class TRenderer {
public:
    virtual ~TRenderer() = default;

    // A form is shown, normally or modally (TForm::Modal() tells which).
    virtual void FormShown(TForm& form) = 0;
    virtual void FormHidden(TForm& form) = 0;
    // A form is about to be freed: forget everything about it.
    virtual void FormDestroyed(TForm&) {}
    // A control's text, value, visibility or enabled state changed.
    virtual void ControlChanged(TControl& control) = 0;
    // The form's size, caption or focus changed.
    virtual void FormChanged(TForm&) {}
    virtual void TitleChanged(const std::string& title) = 0;
    virtual void Minimized() = 0;
    virtual void Restored() {}
};

// The terminal interface: used when no display can be opened or when
// TAVIX_FTP_UI=console is set.
std::unique_ptr<TRenderer> CreateTerminalRenderer();
// Real windows; nullptr when no display can be opened.
std::unique_ptr<TRenderer> CreateWindowRenderer();
// The terminal interface when asked for or when no window can be shown.
std::unique_ptr<TRenderer> CreateRenderer();
