// The application object: its title, minimising, the message loop, the
// modal loops and the ending of the program.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "Classes.h"
#include "Renderer.h"

class TForm;

constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrCancel = 2;

class TApplication : public TComponent {
public:
    TApplication();
    ~TApplication() override;

    // Binds the GUI thread, picks the renderer and hooks SIGINT and SIGTERM.
    void Initialize(std::unique_ptr<TRenderer> renderer = nullptr);

    const std::string& Title() const { return FTitle; }
    void SetTitle(const std::string& title);
    std::string Hint;

    void Minimize();
    void Restore();
    bool Minimized() const { return FMinimized; }

    // Dispatches every pending message without waiting.
    void ProcessMessages();
    // Waits for the next message, then dispatches what is pending.
    void HandleMessage();
    // Shows the main form, then handles messages until the application ends.
    void Run();
    // Marks the application as ending: the message loop ends and every modal
    // loop closes its form as cancelled after one more message.
    void Terminate() { FTerminated = true; }
    bool Terminated() const { return FTerminated; }

    TForm* MainForm = nullptr;
    TRenderer& Renderer();

    // Reports an exception that escaped an event handler in an error box.
    void HandleException(const std::exception& error);
    // A modal message box with one OK button; returns mrOk or, when the
    // application was ending, mrCancel.
    int MessageBox(const std::string& text, const std::string& caption);

    // Runs on the GUI thread when the process receives SIGINT or SIGTERM.
    std::function<void()> OnInterrupt;

private:
    void HookInterrupts();

    std::string FTitle;
    bool FMinimized = false;
    bool FTerminated = false;
    std::unique_ptr<TRenderer> FRenderer;
};

extern TApplication* Application;
