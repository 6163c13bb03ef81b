#include "Timers.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Application.h"
#include "SysUtils.h"

namespace {

constexpr UINT_PTR TimerId = 1;
constexpr UINT WM_TICK = WM_USER + 200;

HWND CreateHiddenWindow(const char* className, WNDPROC procedure, void* owner) {
    WNDCLASS windowClass;
    if (!GetClassInfo(className, &windowClass)) {
        windowClass = WNDCLASS{};
        windowClass.lpfnWndProc = procedure;
        windowClass.cbWndExtra = sizeof(void*);
        windowClass.lpszClassName = className;
        RegisterClass(&windowClass);
    }
    HWND window = CreateWindowEx(WS_EX_TOOLWINDOW, className, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr);
    if (window) SetWindowLongPtr(window, GWL_USERDATA_SLOT0, reinterpret_cast<LONG_PTR>(owner));
    return window;
}

}  // namespace

TTimer::TTimer(TComponent* AOwner, const char* windowClass) : TComponent(AOwner) {
    FWindow = CreateHiddenWindow(windowClass, WindowProc, this);
}

TTimer::~TTimer() {
    FEnabled = false;
    UpdateTimer();
    DestroyWindow(FWindow);
}

void TTimer::SetEnabled(bool enabled) {
    if (enabled == FEnabled) return;
    FEnabled = enabled;
    UpdateTimer();
}

void TTimer::SetInterval(unsigned interval) {
    if (interval == FInterval) return;
    FInterval = interval;
    UpdateTimer();
}

void TTimer::SetOnTimer(TNotifyEvent handler) {
    FOnTimer = std::move(handler);
    UpdateTimer();
}

void TTimer::UpdateTimer() {
    KillTimer(FWindow, TimerId);
    if (FInterval != 0 && FEnabled && FOnTimer) {
        if (!SetTimer(FWindow, TimerId, FInterval, nullptr)) throw Exception("No Timer");
    }
}

LRESULT TTimer::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* timer = reinterpret_cast<TTimer*>(GetWindowLongPtr(window, GWL_USERDATA_SLOT0));
    if (!timer || message != WM_TIMER) return DefWindowProc(window, message, wParam, lParam);
    // A copy, so a handler that frees its timer is not freed while it runs.
    TNotifyEvent handler = timer->FOnTimer;
    try {
        if (handler) handler(timer);
    } catch (const std::exception& error) {
        Application->HandleException(error);
    }
    return 0;
}

// Shared by the timer and its thread, so a thread still in a hand-off when
// the timer is freed finds valid state when it comes back.
struct TTickTimer::TState {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Enabled = false;
    bool Quit = false;
    bool InHandOff = false;
    unsigned Interval = 1000;
    std::uint64_t Due = 0;
    std::uint64_t Generation = 0;  // bumped by every enable, to restart a cycle
    HWND Window = nullptr;
    std::thread Thread;
};

namespace {

void RaisePriority() {
    // One step above normal; without the privilege the thread keeps its own.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -1);
}

void TickThread(std::shared_ptr<TTickTimer::TState> state) {
    RaisePriority();
    std::unique_lock<std::mutex> lock(state->Lock);
    for (;;) {
        state->Changed.wait(lock, [&] { return state->Quit || state->Enabled; });
        if (state->Quit) return;
        std::uint64_t generation = state->Generation;
        auto interrupted = [&] { return state->Quit || !state->Enabled || state->Generation != generation; };
        if (state->Interval > 50) {
            auto sleep = std::chrono::milliseconds(state->Interval - 50);
            if (state->Changed.wait_for(lock, sleep, interrupted)) continue;
        }
        // Wait out the rest on the clock without spinning.
        for (std::uint64_t now = GetTickCount64(); now < state->Due; now = GetTickCount64()) {
            if (state->Changed.wait_for(lock, std::chrono::milliseconds(state->Due - now), interrupted)) break;
        }
        if (interrupted()) continue;
        state->Due = GetTickCount64() + state->Interval;
        state->InHandOff = true;
        HWND window = state->Window;
        lock.unlock();
        SendMessage(window, WM_TICK, 0, 0);
        lock.lock();
        state->InHandOff = false;
    }
}

}  // namespace

TTickTimer::TTickTimer(TComponent* AOwner) : TComponent(AOwner), FState(std::make_shared<TState>()) {
    FWindow = CreateHiddenWindow("TTickTimerWindowClass", WindowProc, this);
    FState->Window = FWindow;
    FState->Thread = std::thread(TickThread, FState);
}

TTickTimer::~TTickTimer() {
    DestroyWindow(FWindow);
    std::thread thread;
    bool inHandOff;
    {
        std::lock_guard<std::mutex> guard(FState->Lock);
        FState->Quit = true;
        inHandOff = FState->InHandOff;
        thread = std::move(FState->Thread);
    }
    FState->Changed.notify_all();
    // A timer freed from inside its own tick cannot wait for its thread,
    // which waits for that tick to end: let it finish by itself.
    if (inHandOff) {
        thread.detach();
    } else {
        thread.join();
    }
}

bool TTickTimer::Enabled() const {
    std::lock_guard<std::mutex> guard(FState->Lock);
    return FState->Enabled;
}

void TTickTimer::SetEnabled(bool enabled) {
    {
        std::lock_guard<std::mutex> guard(FState->Lock);
        if (FState->Enabled == enabled) return;
        FState->Enabled = enabled;
        if (enabled) {
            FState->Due = GetTickCount64() + FState->Interval;
            ++FState->Generation;
        }
    }
    FState->Changed.notify_all();
}

unsigned TTickTimer::Interval() const {
    std::lock_guard<std::mutex> guard(FState->Lock);
    return FState->Interval;
}

void TTickTimer::SetInterval(unsigned interval) {
    std::lock_guard<std::mutex> guard(FState->Lock);
    FState->Interval = interval;
}

LRESULT TTickTimer::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* timer = reinterpret_cast<TTickTimer*>(GetWindowLongPtr(window, GWL_USERDATA_SLOT0));
    if (!timer || message != WM_TICK) return DefWindowProc(window, message, wParam, lParam);
    if (!timer->Enabled()) return 0;
    // A copy, so a handler that frees its timer is not freed while it runs.
    TNotifyEvent handler = timer->OnTimer;
    try {
        if (handler) handler(timer);
    } catch (const std::exception& error) {
        Application->HandleException(error);
    }
    return 0;
}
