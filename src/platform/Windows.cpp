#include "Windows.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

struct SentCall {
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    LRESULT Result = 0;
};

struct QueuedMessage {
    HWND Window;
    UINT Message;
    WPARAM WParam;
    LPARAM LParam;
    SentCall* Sent;
};

struct WindowRecord {
    WNDPROC Proc = nullptr;
    LONG_PTR Slot0 = 0;
};

struct TimerRecord {
    HWND Window;
    UINT_PTR Id;
    UINT Interval;
    std::uint64_t Due;
    bool Pending;
};

struct Watch {
    short Events;
    std::uint64_t Generation;
    std::shared_ptr<Platform::DescriptorHandler> Handler;
};

struct ReadyDescriptor {
    int Fd;
    std::uint64_t Generation;
    short Revents;
};

// Everything but the posted queue belongs to the GUI thread.
struct MessageSystem {
    std::mutex QueueLock;
    std::deque<QueuedMessage> Queue;
    int WakeFd = -1;
    std::thread::id GuiThread;
    bool GuiThreadBound = false;

    std::unordered_map<std::string, WNDCLASS> Classes;
    std::unordered_map<std::uintptr_t, WindowRecord> Windows;
    std::uintptr_t NextWindowId = 1;

    std::vector<TimerRecord> Timers;

    std::map<int, Watch> Watches;
    std::uint64_t NextGeneration = 1;
    bool PollSetDirty = true;
    std::vector<pollfd> PollSet;  // wake descriptor first, then the watches
    std::vector<ReadyDescriptor> Ready;

    std::function<void()> RoundHook;
    std::uint64_t LastPollMs = 0;  // when poll() last looked at the descriptors

    MessageSystem() { WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }
};

MessageSystem& System() {
    static MessageSystem* system = new MessageSystem();  // lives until the process ends
    return *system;
}

// Without an explicit binding, the first thread that creates a window, sets
// a timer, watches a descriptor or runs the queue is the GUI thread; until
// then a message sent from another thread would run on that thread.
void ClaimGuiThread() {
    auto& system = System();
    if (system.GuiThreadBound) return;
    system.GuiThread = std::this_thread::get_id();
    system.GuiThreadBound = true;
}

std::uintptr_t WindowId(HWND window) { return reinterpret_cast<std::uintptr_t>(window); }
HWND WindowFromId(std::uintptr_t id) { return reinterpret_cast<HWND>(id); }

WindowRecord* FindWindow(HWND window) {
    auto& windows = System().Windows;
    auto it = windows.find(WindowId(window));
    return it == windows.end() ? nullptr : &it->second;
}

void Wake() {
    std::uint64_t one = 1;
    ssize_t written;
    do {
        written = write(System().WakeFd, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
}

void DrainWake() {
    std::uint64_t value;
    ssize_t got;
    do {
        got = read(System().WakeFd, &value, sizeof value);
    } while (got < 0 && errno == EINTR);
}

void Enqueue(const QueuedMessage& message) {
    auto& system = System();
    bool fromOtherThread = !Platform::OnGuiThread();
    {
        std::lock_guard<std::mutex> guard(system.QueueLock);
        system.Queue.push_back(message);
    }
    // The GUI thread looks at the queue before it sleeps, so only other
    // threads need to interrupt its poll().
    if (fromOtherThread) Wake();
}

bool PopMessage(QueuedMessage& message) {
    auto& system = System();
    std::lock_guard<std::mutex> guard(system.QueueLock);
    if (system.Queue.empty()) return false;
    message = system.Queue.front();
    system.Queue.pop_front();
    return true;
}

std::size_t QueueLength() {
    auto& system = System();
    std::lock_guard<std::mutex> guard(system.QueueLock);
    return system.Queue.size();
}

void FinishSent(SentCall* sent, LRESULT result) {
    std::lock_guard<std::mutex> guard(sent->Lock);
    sent->Result = result;
    sent->Finished = true;
    sent->Done.notify_all();
}

bool TimerStillWanted(HWND window, UINT_PTR id) {
    for (auto& timer : System().Timers) {
        if (timer.Window == window && timer.Id == id) {
            timer.Pending = false;
            return true;
        }
    }
    return false;
}

void Dispatch(const QueuedMessage& message) {
    WindowRecord* record = FindWindow(message.Window);
    bool deliver = record != nullptr;
    if (deliver && message.Message == WM_TIMER) deliver = TimerStillWanted(message.Window, message.WParam);
    LRESULT result = 0;
    if (deliver) result = record->Proc(message.Window, message.Message, message.WParam, message.LParam);
    if (message.Sent) FinishSent(message.Sent, result);
}

// A watch that asks for nothing is left out of poll() by a negative
// descriptor; otherwise a hung-up socket would report POLLHUP on every pass.
int PollFd(int fd, short events) { return events ? fd : ~fd; }

void RebuildPollSet() {
    auto& system = System();
    system.PollSet.clear();
    system.PollSet.push_back({system.WakeFd, POLLIN, 0});
    for (auto& [fd, watch] : system.Watches) system.PollSet.push_back({PollFd(fd, watch.Events), watch.Events, 0});
    system.PollSetDirty = false;
}

// One poll() over the wake descriptor and every watch; ready watches are
// remembered with their generation so a descriptor closed and reopened by an
// earlier handler in the same pass is not mistaken for the old one.
void PollDescriptors(int timeoutMs) {
    auto& system = System();
    if (system.PollSetDirty) RebuildPollSet();
    int count;
    do {
        count = poll(system.PollSet.data(), system.PollSet.size(), timeoutMs);
    } while (count < 0 && errno == EINTR);
    system.LastPollMs = GetTickCount64();
    if (count <= 0) return;
    if (system.PollSet[0].revents) DrainWake();
    system.Ready.clear();
    for (std::size_t i = 1; i < system.PollSet.size(); ++i) {
        const pollfd& entry = system.PollSet[i];
        if (!entry.revents) continue;
        auto it = system.Watches.find(entry.fd);
        if (it != system.Watches.end()) system.Ready.push_back({entry.fd, it->second.Generation, entry.revents});
    }
    for (std::size_t i = 0; i < system.Ready.size(); ++i) {
        ReadyDescriptor ready = system.Ready[i];
        auto it = system.Watches.find(ready.Fd);
        if (it == system.Watches.end() || it->second.Generation != ready.Generation) continue;
        auto handler = it->second.Handler;
        (*handler)(ready.Revents);
    }
}

void FireDueTimers() {
    auto& system = System();
    std::uint64_t now = GetTickCount64();
    for (auto& timer : system.Timers) {
        if (timer.Pending || now < timer.Due) continue;
        timer.Pending = true;
        timer.Due = now + timer.Interval;
        Enqueue({timer.Window, WM_TIMER, timer.Id, 0, nullptr});
    }
}

int MillisecondsToNextTimer() {
    auto& system = System();
    std::uint64_t now = GetTickCount64();
    std::uint64_t best = UINT64_MAX;
    for (auto& timer : system.Timers) {
        if (timer.Pending) continue;
        std::uint64_t wait = timer.Due > now ? timer.Due - now : 0;
        if (wait < best) best = wait;
    }
    return best == UINT64_MAX ? -1 : static_cast<int>(std::min<std::uint64_t>(best, INT32_MAX));
}

}  // namespace

BOOL GetClassInfo(const char* className, WNDCLASS* info) {
    auto& classes = System().Classes;
    auto it = classes.find(className ? className : "");
    if (it == classes.end()) return 0;
    if (info) *info = it->second;
    return 1;
}

ATOM RegisterClass(const WNDCLASS* windowClass) {
    if (!windowClass || !windowClass->lpszClassName || !windowClass->lpfnWndProc) return 0;
    auto& classes = System().Classes;
    if (classes.count(windowClass->lpszClassName)) return 0;
    classes[windowClass->lpszClassName] = *windowClass;
    return static_cast<ATOM>(classes.size());
}

HWND CreateWindowEx(DWORD, const char* className, const char*, DWORD, int, int, int, int, HWND, void*) {
    WNDCLASS windowClass;
    if (!GetClassInfo(className, &windowClass)) return nullptr;
    ClaimGuiThread();
    auto& system = System();
    std::uintptr_t id = system.NextWindowId++;
    system.Windows[id] = WindowRecord{windowClass.lpfnWndProc, 0};
    return WindowFromId(id);
}

BOOL DestroyWindow(HWND window) {
    auto& system = System();
    if (!system.Windows.erase(WindowId(window))) return 0;
    auto& timers = system.Timers;
    std::erase_if(timers, [window](const TimerRecord& timer) { return timer.Window == window; });
    return 1;
}

BOOL IsWindow(HWND window) { return FindWindow(window) != nullptr; }

LONG_PTR GetWindowLongPtr(HWND window, int index) {
    WindowRecord* record = FindWindow(window);
    return record && index == GWL_USERDATA_SLOT0 ? record->Slot0 : 0;
}

LONG_PTR SetWindowLongPtr(HWND window, int index, LONG_PTR value) {
    WindowRecord* record = FindWindow(window);
    if (!record || index != GWL_USERDATA_SLOT0) return 0;
    LONG_PTR old = record->Slot0;
    record->Slot0 = value;
    return old;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

BOOL PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!window) return 0;
    Enqueue({window, message, wParam, lParam, nullptr});
    return 1;
}

LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (Platform::OnGuiThread()) {
        WindowRecord* record = FindWindow(window);
        return record ? record->Proc(window, message, wParam, lParam) : 0;
    }
    SentCall call;
    Enqueue({window, message, wParam, lParam, &call});
    std::unique_lock<std::mutex> lock(call.Lock);
    call.Done.wait(lock, [&call] { return call.Finished; });
    return call.Result;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapseMs, void*) {
    if (!FindWindow(window)) return 0;
    ClaimGuiThread();
    auto& timers = System().Timers;
    std::uint64_t due = GetTickCount64() + elapseMs;
    for (auto& timer : timers) {
        if (timer.Window == window && timer.Id == id) {
            timer.Interval = elapseMs;
            timer.Due = due;
            return id;
        }
    }
    timers.push_back({window, id, elapseMs, due, false});
    return id;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
    auto& timers = System().Timers;
    bool killed = std::erase_if(timers, [&](const TimerRecord& t) { return t.Window == window && t.Id == id; }) > 0;
    // A tick already queued would otherwise reach a timer set again at once,
    // long before its first interval is up.
    if (killed) Platform::RemovePostedMessages(window, WM_TIMER, id);
    return killed;
}

void Sleep(DWORD ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::uint64_t GetTickCount64() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

namespace Platform {

namespace {
HWND CallWindow();
}

void BindGuiThread() {
    auto& system = System();
    system.GuiThread = std::this_thread::get_id();
    system.GuiThreadBound = true;
    CallWindow();
}

bool OnGuiThread() {
    auto& system = System();
    return !system.GuiThreadBound || system.GuiThread == std::this_thread::get_id();
}

void DispatchPending() {
    ClaimGuiThread();
    auto& system = System();
    for (;;) {
        // While handlers keep posting (a file moving block by block), the
        // descriptors are looked at once per millisecond, not once per
        // block: poll() would cost as much as the block itself. A wait that
        // has just polled is not repeated either.
        if (GetTickCount64() != system.LastPollMs) PollDescriptors(0);
        FireDueTimers();
        if (system.RoundHook) system.RoundHook();
        // Dispatch what this round found; what the handlers post goes to the
        // next round, after the descriptors have been looked at again. Each
        // message is taken off the shared queue on its own, so a wait nested
        // in a handler sees the rest of the round too.
        std::size_t round = QueueLength();
        if (round == 0) return;
        QueuedMessage message;
        for (std::size_t i = 0; i < round && PopMessage(message); ++i) Dispatch(message);
    }
}

void WaitForInput(int timeoutMs) {
    ClaimGuiThread();
    if (MessagesPending()) return;
    int timerWait = MillisecondsToNextTimer();
    int wait = timeoutMs;
    if (timerWait >= 0 && (wait < 0 || timerWait < wait)) wait = timerWait;
    PollDescriptors(wait);
}

bool MessagesPending() { return QueueLength() > 0; }

void WatchDescriptor(int fd, short events, DescriptorHandler handler) {
    ClaimGuiThread();
    auto& system = System();
    system.Watches[fd] = Watch{events, system.NextGeneration++,
                               std::make_shared<DescriptorHandler>(std::move(handler))};
    system.PollSetDirty = true;
}

void SetWatchEvents(int fd, short events) {
    auto& system = System();
    auto it = system.Watches.find(fd);
    if (it == system.Watches.end() || it->second.Events == events) return;
    it->second.Events = events;
    // Patch the poll set in place: this runs for every block of a transfer.
    if (!system.PollSetDirty) {
        for (std::size_t i = 1; i < system.PollSet.size(); ++i) {
            pollfd& entry = system.PollSet[i];
            if (entry.fd != fd && entry.fd != ~fd) continue;
            entry.fd = PollFd(fd, events);
            entry.events = events;
        }
    }
}

void UnwatchDescriptor(int fd) {
    auto& system = System();
    if (system.Watches.erase(fd)) system.PollSetDirty = true;
}

void RemovePostedMessages(HWND window, UINT message, WPARAM wParam) {
    auto& system = System();
    std::lock_guard<std::mutex> guard(system.QueueLock);
    std::erase_if(system.Queue, [&](const QueuedMessage& queued) {
        return !queued.Sent && queued.Window == window && queued.Message == message && queued.WParam == wParam;
    });
}

namespace {
constexpr UINT WM_RUN_CALL = WM_USER + 1;

LRESULT CallWindowProc(HWND, UINT message, WPARAM, LPARAM lParam) {
    if (message != WM_RUN_CALL) return 0;
    std::unique_ptr<std::function<void()>> call(reinterpret_cast<std::function<void()>*>(lParam));
    (*call)();
    return 0;
}

// The window that runs posted calls; created on the GUI thread the first
// time a call is posted from it, or by BindGuiThread.
HWND CallWindow() {
    static HWND window = [] {
        WNDCLASS windowClass;
        windowClass.lpfnWndProc = CallWindowProc;
        windowClass.lpszClassName = "PlatformCallWindowClass";
        RegisterClass(&windowClass);
        return CreateWindowEx(0, windowClass.lpszClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr);
    }();
    return window;
}
}  // namespace

void PostCall(std::function<void()> call) {
    auto* boxed = new std::function<void()>(std::move(call));
    PostMessage(CallWindow(), WM_RUN_CALL, 0, reinterpret_cast<LPARAM>(boxed));
}

std::size_t WatchedDescriptorCount() { return System().Watches.size(); }

void SetRoundHook(std::function<void()> hook) { System().RoundHook = std::move(hook); }

std::size_t LiveWindowCount() { return System().Windows.size(); }
std::size_t LiveTimerCount() { return System().Timers.size(); }

}  // namespace Platform
