// The window timer TTimer and the thread-driven timer TTickTimer.
#pragma once

#include <memory>

#include "Classes.h"
#include "Windows.h"

// Ticks as WM_TIMER messages of a hidden window of its own. An exception
// that escapes OnTimer goes to the application's exception handler. When the
// system has no timer left, starting it raises Exception "No Timer".
class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* AOwner) : TTimer(AOwner, "TTimerWindowClass") {}
    ~TTimer() override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool enabled);
    unsigned Interval() const { return FInterval; }
    void SetInterval(unsigned interval);
    void SetOnTimer(TNotifyEvent handler);

protected:
    // A timer whose hidden window is of the named class.
    TTimer(TComponent* AOwner, const char* windowClass);

private:
    static LRESULT WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void UpdateTimer();

    HWND FWindow = nullptr;
    bool FEnabled = true;
    unsigned FInterval = 1000;
    TNotifyEvent FOnTimer;
};

// A timer with a thread of its own at raised priority. Each cycle the thread
// sleeps Interval minus 50 ms, then waits for the due time on the
// millisecond clock, sets the next due time to now plus Interval, and hands
// the tick to the GUI thread with a blocking call that returns once OnTimer
// has run there. Enabling sets the first due time to now plus Interval;
// disabling suspends the thread.
class TTickTimer : public TComponent {
public:
    explicit TTickTimer(TComponent* AOwner);
    ~TTickTimer() override;

    bool Enabled() const;
    void SetEnabled(bool enabled);
    unsigned Interval() const;
    void SetInterval(unsigned interval);
    TNotifyEvent OnTimer;

    struct TState;

private:
    static LRESULT WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND FWindow = nullptr;
    std::shared_ptr<TState> FState;
};
