// The GUI thread's message queue: posted and sent messages across threads,
// window timers, waits that pump nothing and never spin, dropped messages of
// destroyed windows, and the thread-driven tick timer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "LoopTesting.h"
#include "Timers.h"
#include "Windows.h"

namespace {

using namespace std::chrono_literals;

constexpr UINT WM_PROBE = WM_USER + 50;
constexpr UINT WM_CHAIN = WM_USER + 51;
constexpr UINT WM_DESTROY_SELF = WM_USER + 52;

struct Received {
    std::thread::id Thread;
    UINT Message;
    WPARAM WParam;
    LPARAM LParam;
    std::uint64_t At;
};

// A hidden window that records what reaches its window procedure and can be
// told to react to a message.
class TProbeWindow {
public:
    TProbeWindow() {
        WNDCLASS windowClass;
        if (!GetClassInfo("ProbeWindowClass", &windowClass)) {
            windowClass = WNDCLASS{};
            windowClass.lpfnWndProc = Procedure;
            windowClass.lpszClassName = "ProbeWindowClass";
            RegisterClass(&windowClass);
        }
        Handle = CreateWindowEx(0, "ProbeWindowClass", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr);
        SetWindowLongPtr(Handle, GWL_USERDATA_SLOT0, reinterpret_cast<LONG_PTR>(this));
    }
    ~TProbeWindow() { DestroyWindow(Handle); }

    std::size_t Count(UINT message) const {
        std::lock_guard<std::mutex> guard(Lock);
        std::size_t count = 0;
        for (const Received& item : Log) count += item.Message == message;
        return count;
    }
    std::vector<Received> Of(UINT message) const {
        std::lock_guard<std::mutex> guard(Lock);
        std::vector<Received> items;
        for (const Received& item : Log) {
            if (item.Message == message) items.push_back(item);
        }
        return items;
    }

    HWND Handle;
    std::function<LRESULT(UINT, WPARAM, LPARAM)> React;

private:
    static LRESULT Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* probe = reinterpret_cast<TProbeWindow*>(GetWindowLongPtr(window, GWL_USERDATA_SLOT0));
        if (!probe) return 0;
        {
            std::lock_guard<std::mutex> guard(probe->Lock);
            probe->Log.push_back({std::this_thread::get_id(), message, wParam, lParam, GetTickCount64()});
        }
        return probe->React ? probe->React(message, wParam, lParam) : 0;
    }

    mutable std::mutex Lock;
    std::vector<Received> Log;
};

std::chrono::microseconds ThreadCpuTime() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

class MessageQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        FreshScriptedApplication();
        Windows = Platform::LiveWindowCount();
        Timers = Platform::LiveTimerCount();
        Watches = Platform::WatchedDescriptorCount();
    }
    void TearDown() override {
        Platform::DispatchPending();
        EXPECT_EQ(Platform::LiveWindowCount(), Windows);
        EXPECT_EQ(Platform::LiveTimerCount(), Timers);
        EXPECT_EQ(Platform::WatchedDescriptorCount(), Watches);
    }

    std::thread::id Gui = std::this_thread::get_id();
    std::size_t Windows = 0, Timers = 0, Watches = 0;
    TLoopWatchdog Watchdog{10s};
};

TEST_F(MessageQueueTest, PostsFromOtherThreadsArriveOnTheGuiThreadInOrder) {
    TProbeWindow probe;
    constexpr int Threads = 4, PerThread = 500;
    std::vector<std::thread> posters;
    for (int t = 0; t < Threads; ++t) {
        posters.emplace_back([&probe, t] {
            for (int i = 0; i < PerThread; ++i) PostMessage(probe.Handle, WM_PROBE, static_cast<WPARAM>(t), i);
        });
    }
    EXPECT_TRUE(PumpUntil([&] { return probe.Count(WM_PROBE) == Threads * PerThread; }));
    for (auto& poster : posters) poster.join();

    std::vector<LPARAM> next(Threads, 0);
    for (const Received& item : probe.Of(WM_PROBE)) {
        EXPECT_EQ(item.Thread, Gui);
        EXPECT_EQ(item.LParam, next[item.WParam]++) << "poster " << item.WParam;
    }
}

TEST_F(MessageQueueTest, SendFromAnotherThreadBlocksUntilTheGuiThreadRanTheHandler) {
    TProbeWindow probe;
    probe.React = [](UINT, WPARAM wParam, LPARAM) { return static_cast<LRESULT>(wParam * wParam); };
    std::atomic<bool> returned{false};
    LRESULT result = 0;
    std::thread sender([&] {
        result = SendMessage(probe.Handle, WM_PROBE, 7, 0);
        returned = true;
    });
    // Nobody pumps yet, so the sender must still wait.
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(returned);
    EXPECT_EQ(probe.Count(WM_PROBE), 0u);

    EXPECT_TRUE(PumpUntil([&] { return probe.Count(WM_PROBE) == 1; }));
    sender.join();
    EXPECT_EQ(result, 49);
    EXPECT_EQ(probe.Of(WM_PROBE).at(0).Thread, Gui);

    // On the GUI thread itself the handler runs at once, without a pump.
    EXPECT_EQ(SendMessage(probe.Handle, WM_PROBE, 3, 0), 9);
}

TEST_F(MessageQueueTest, MessagesForADestroyedWindowAreDropped) {
    auto probe = std::make_unique<TProbeWindow>();
    HWND gone = probe->Handle;
    PostMessage(gone, WM_PROBE, 1, 0);
    std::atomic<bool> sending{false};
    std::thread sender([gone, &sending] {
        sending = true;
        EXPECT_EQ(SendMessage(gone, WM_PROBE, 2, 0), 0);
    });
    while (!sending) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(30ms);  // the sent message is queued too
    probe.reset();
    Platform::DispatchPending();
    sender.join();  // the sender is released although nothing ran
    EXPECT_FALSE(IsWindow(gone));
    EXPECT_EQ(SendMessage(gone, WM_PROBE, 3, 0), 0);

    // A new window never gets the old handle, so late messages stay dropped.
    TProbeWindow next;
    EXPECT_NE(next.Handle, gone);
    PostMessage(gone, WM_PROBE, 4, 0);
    Platform::DispatchPending();
    EXPECT_EQ(next.Count(WM_PROBE), 0u);
}

TEST_F(MessageQueueTest, DispatchPendingAlsoRunsWhatIsPostedMeanwhile) {
    TProbeWindow probe;
    std::thread poster;
    probe.React = [&](UINT message, WPARAM wParam, LPARAM) -> LRESULT {
        if (message != WM_CHAIN) return 0;
        if (wParam == 0) {
            // Posted from another thread while this dispatch is under way.
            poster = std::thread([&probe] { PostMessage(probe.Handle, WM_PROBE, 0, 0); });
            poster.join();
        }
        if (wParam < 99) PostMessage(probe.Handle, WM_CHAIN, wParam + 1, 0);
        return 0;
    };
    PostMessage(probe.Handle, WM_CHAIN, 0, 0);
    Platform::DispatchPending();
    EXPECT_EQ(probe.Count(WM_CHAIN), 100u);
    EXPECT_EQ(probe.Count(WM_PROBE), 1u);
    EXPECT_FALSE(Platform::MessagesPending());
}

TEST_F(MessageQueueTest, WindowTimersDeliverWmTimerUntilKilled) {
    TProbeWindow probe;
    std::uint64_t start = GetTickCount64();
    ASSERT_EQ(SetTimer(probe.Handle, 9, 50, nullptr), 9u);
    EXPECT_TRUE(PumpUntil([&] { return probe.Count(WM_TIMER) >= 4; }));
    std::vector<Received> ticks = probe.Of(WM_TIMER);
    EXPECT_GE(ticks[0].At - start, 45u);
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        EXPECT_EQ(ticks[i].WParam, 9u);
        if (i > 0) {
            EXPECT_GE(ticks[i].At - ticks[i - 1].At, 40u) << "tick " << i;
        }
    }
    EXPECT_TRUE(KillTimer(probe.Handle, 9));
    std::size_t killedAt = probe.Count(WM_TIMER);
    PumpFor(200ms);
    EXPECT_EQ(probe.Count(WM_TIMER), killedAt);

    // Destroying a window ends its timers too.
    SetTimer(probe.Handle, 10, 20, nullptr);
    EXPECT_EQ(Platform::LiveTimerCount(), Timers + 1);
}

TEST_F(MessageQueueTest, ATimerKilledAndSetAgainLosesTheTickAlreadyQueued) {
    TProbeWindow probe;
    SetTimer(probe.Handle, 1, 20, nullptr);
    probe.React = [&](UINT message, WPARAM, LPARAM) -> LRESULT {
        if (message == WM_PROBE) {
            // The due tick was queued behind this message in the same round.
            KillTimer(probe.Handle, 1);
            SetTimer(probe.Handle, 1, 10000, nullptr);
        }
        return 0;
    };
    std::this_thread::sleep_for(40ms);
    PostMessage(probe.Handle, WM_PROBE, 0, 0);
    Platform::DispatchPending();
    EXPECT_EQ(probe.Count(WM_PROBE), 1u);
    EXPECT_EQ(probe.Count(WM_TIMER), 0u);
    KillTimer(probe.Handle, 1);
}

struct WakeCase {
    const char* Name;
    // Arranges for input to arrive about 50 ms later; returns a clean-up.
    std::function<std::function<void()>(TProbeWindow&)> Arrange;
};

class WaitForInputWakes : public MessageQueueTest, public ::testing::WithParamInterface<WakeCase> {};

TEST_P(WaitForInputWakes, EarlyWhenInputArrives) {
    TProbeWindow probe;
    std::function<void()> cleanUp = GetParam().Arrange(probe);
    std::uint64_t start = GetTickCount64();
    Platform::WaitForInput(5000);
    std::uint64_t waited = GetTickCount64() - start;
    EXPECT_GE(waited, 30u);
    EXPECT_LT(waited, 2000u);
    cleanUp();
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, WaitForInputWakes,
    ::testing::Values(
        WakeCase{"PostFromAnotherThread",
                 [](TProbeWindow& probe) -> std::function<void()> {
                     auto poster = std::make_shared<std::thread>([&probe] {
                         std::this_thread::sleep_for(50ms);
                         PostMessage(probe.Handle, WM_PROBE, 0, 0);
                     });
                     return [poster] {
                         poster->join();
                         Platform::DispatchPending();
                     };
                 }},
        WakeCase{"WatchedDescriptorReady",
                 [](TProbeWindow&) -> std::function<void()> {
                     auto fds = std::make_shared<std::array<int, 2>>();
                     EXPECT_EQ(pipe2(fds->data(), O_CLOEXEC), 0);
                     Platform::WatchDescriptor((*fds)[0], POLLIN, [](short) {});
                     auto writer = std::make_shared<std::thread>([fds] {
                         std::this_thread::sleep_for(50ms);
                         EXPECT_EQ(write((*fds)[1], "x", 1), 1);
                     });
                     return [fds, writer] {
                         writer->join();
                         Platform::UnwatchDescriptor((*fds)[0]);
                         close((*fds)[0]);
                         close((*fds)[1]);
                     };
                 }},
        WakeCase{"TimerDue",
                 [](TProbeWindow& probe) -> std::function<void()> {
                     SetTimer(probe.Handle, 3, 50, nullptr);
                     return [&probe] { KillTimer(probe.Handle, 3); };
                 }}),
    [](const ::testing::TestParamInfo<WakeCase>& row) { return std::string(row.param.Name); });

TEST_F(MessageQueueTest, WaitForInputSleepsThroughIdleTimeWithoutSpinning) {
    TProbeWindow probe;
    // Nothing to report: a far timer, a quiet pipe, and a hung-up pipe whose
    // watch asks for no events (it must not report its hang-up every pass).
    SetTimer(probe.Handle, 1, 60000, nullptr);
    int quiet[2], hungUp[2];
    ASSERT_EQ(pipe2(quiet, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(hungUp, O_CLOEXEC), 0);
    close(hungUp[1]);
    Platform::WatchDescriptor(quiet[0], POLLIN, [](short) { ADD_FAILURE() << "quiet pipe reported"; });
    Platform::WatchDescriptor(hungUp[0], 0, [](short) { ADD_FAILURE() << "muted watch reported"; });

    auto cpuStart = ThreadCpuTime();
    std::uint64_t start = GetTickCount64();
    for (int i = 0; i < 3; ++i) {
        Platform::WaitForInput(100);
        Platform::DispatchPending();
    }
    std::uint64_t waited = GetTickCount64() - start;
    auto cpu = ThreadCpuTime() - cpuStart;
    EXPECT_GE(waited, 290u);
    EXPECT_LT(cpu, 30ms) << "the waits used the processor";

    Platform::UnwatchDescriptor(quiet[0]);
    Platform::UnwatchDescriptor(hungUp[0]);
    close(quiet[0]);
    close(quiet[1]);
    close(hungUp[0]);
    KillTimer(probe.Handle, 1);
}

// Without Application->Initialize, the first thread that creates a window
// and pumps is the GUI thread: a message sent from elsewhere runs there.
// Runs in a process of its own, where nothing has bound a thread yet.
TEST(MessageQueueBinding, UnboundQueueTakesTheFirstPumpingThreadAsTheGuiThread) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TProbeWindow probe;
            std::atomic<bool> returned{false};
            std::thread sender([&] {
                SendMessage(probe.Handle, WM_PROBE, 0, 0);
                returned = true;
            });
            std::uint64_t deadline = GetTickCount64() + 5000;
            while (!returned && GetTickCount64() < deadline) {
                Platform::WaitForInput(10);
                Platform::DispatchPending();
            }
            sender.join();
            std::vector<Received> got = probe.Of(WM_PROBE);
            std::_Exit(got.size() == 1 && got[0].Thread == std::this_thread::get_id() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

class TickTimerTest : public MessageQueueTest {};

TEST_F(TickTimerTest, TicksOnTheGuiThreadAboutIntervalApart) {
    std::vector<std::uint64_t> ticks;
    std::vector<std::thread::id> threads;
    TTickTimer timer(nullptr);
    timer.SetInterval(100);
    timer.OnTimer = [&](TObject*) {
        ticks.push_back(GetTickCount64());
        threads.push_back(std::this_thread::get_id());
    };
    std::uint64_t start = GetTickCount64();
    timer.SetEnabled(true);
    EXPECT_TRUE(PumpUntil([&] { return ticks.size() >= 5; }));
    timer.SetEnabled(false);
    ASSERT_GE(ticks.size(), 5u);
    EXPECT_GE(ticks[0] - start, 95u);
    EXPECT_LT(ticks[0] - start, 400u);
    for (std::size_t i = 1; i < ticks.size(); ++i) {
        EXPECT_GE(ticks[i] - ticks[i - 1], 80u) << "tick " << i;
        EXPECT_LT(ticks[i] - ticks[i - 1], 400u) << "tick " << i;
    }
    for (auto id : threads) EXPECT_EQ(id, Gui);
}

TEST_F(TickTimerTest, DisablingStopsItAlsoWithATickAlreadyHandedOver) {
    int ticks = 0;
    TTickTimer timer(nullptr);
    timer.SetInterval(50);
    timer.OnTimer = [&](TObject*) { ++ticks; };
    timer.SetEnabled(true);
    // The GUI thread is busy: the timer thread hands a tick over and waits.
    std::this_thread::sleep_for(150ms);
    timer.SetEnabled(false);
    PumpFor(300ms);
    EXPECT_EQ(ticks, 0);

    timer.SetEnabled(true);
    EXPECT_TRUE(PumpUntil([&] { return ticks == 2; }));
    timer.SetEnabled(false);
    PumpFor(200ms);
    EXPECT_EQ(ticks, 2);
}

TEST_F(TickTimerTest, FreeingItInsideItsOwnTickDoesNotDeadlock) {
    auto* timer = new TTickTimer(nullptr);
    timer->SetInterval(20);
    bool freed = false;
    timer->OnTimer = [&](TObject* sender) {
        delete static_cast<TTickTimer*>(sender);
        freed = true;
    };
    timer->SetEnabled(true);
    EXPECT_TRUE(PumpUntil([&] { return freed; }));
    // The timer's thread finishes its hand-off by itself afterwards.
    PumpFor(100ms);
}

}  // namespace
