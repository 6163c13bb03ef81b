// The GUI thread's message queue: hidden windows with window procedures,
// posted and sent messages, window timers and the waits that pump them.
// Built on poll() with a wake-up descriptor, so socket readiness and the
// renderer's input plug into the same loop and nothing ever busy-spins.
#pragma once

#include <cstdint>
#include <functional>

using UINT = std::uint32_t;
using DWORD = std::uint32_t;
using BOOL = int;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using LONG_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using ATOM = std::uint16_t;

// A window handle names a window by a number that is never reused, so a
// message for a window that is gone is recognised and dropped.
struct HWND__;
using HWND = HWND__*;

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_ACTIVATEAPP = 0x001C;
constexpr UINT WM_USER = 0x0400;

constexpr DWORD WS_POPUP = 0x80000000u;
constexpr DWORD WS_EX_TOOLWINDOW = 0x00000080u;

constexpr int GWL_USERDATA_SLOT0 = 0;

struct WNDCLASS {
    UINT style = 0;
    WNDPROC lpfnWndProc = nullptr;
    int cbClsExtra = 0;
    int cbWndExtra = 0;
    const char* lpszClassName = nullptr;
};

BOOL GetClassInfo(const char* className, WNDCLASS* info);
ATOM RegisterClass(const WNDCLASS* windowClass);
HWND CreateWindowEx(DWORD exStyle, const char* className, const char* title, DWORD style, int x, int y,
                    int width, int height, HWND parent, void* menu);
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);
LONG_PTR GetWindowLongPtr(HWND window, int index);
LONG_PTR SetWindowLongPtr(HWND window, int index, LONG_PTR value);
LRESULT DefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Callable from any thread; the message is dispatched on the GUI thread.
BOOL PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// On the GUI thread calls the window procedure directly. From another
// thread it blocks until the GUI thread has run the handler.
LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Window timers: WM_TIMER with wParam = the timer id, at most one pending.
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapseMs, void* timerProc);
BOOL KillTimer(HWND window, UINT_PTR id);

void Sleep(DWORD ms);
// The system's millisecond clock (monotonic).
DWORD GetTickCount();
std::uint64_t GetTickCount64();

namespace Platform {

// The thread that runs the message queue; set explicitly at start-up, or
// else by the first thread that creates a window, sets a timer, watches a
// descriptor or runs the queue.
void BindGuiThread();
bool OnGuiThread();

// Dispatches every pending message, also what handlers post meanwhile,
// after turning ready descriptors and due timers into messages.
void DispatchPending();
// Blocks until a message is pending, a timer is due, a watched descriptor is
// ready, or timeoutMs has passed (negative: no limit). Dispatches nothing.
void WaitForInput(int timeoutMs);
bool MessagesPending();

// Descriptor watches: the handler runs on the GUI thread inside
// DispatchPending when poll() reports one of the events asked for.
using DescriptorHandler = std::function<void(short revents)>;
void WatchDescriptor(int fd, short events, DescriptorHandler handler);
void SetWatchEvents(int fd, short events);
void UnwatchDescriptor(int fd);
std::size_t WatchedDescriptorCount();

// Drops queued messages for a window that match a message number and wParam,
// so a notification about a closed socket never reaches a socket that was
// given the same handle afterwards.
void RemovePostedMessages(HWND window, UINT message, WPARAM wParam);

// Runs a function on the GUI thread through the queue (from any thread).
void PostCall(std::function<void()> call);

// A hook that runs once per dispatch round, for a renderer that has its own
// event queue to drain (it must not block).
void SetRoundHook(std::function<void()> hook);

// Number of live windows and timers: tests check that nothing is left behind.
std::size_t LiveWindowCount();
std::size_t LiveTimerCount();

}  // namespace Platform
