#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "Application.h"
#include "RendererScripted.h"
#include "Windows.h"

// A deadline for a test that runs the message loop. When it passes, the
// watchdog asks the GUI thread to end the application (every modal loop then
// closes as cancelled and PumpUntil stops), so a wait that never ends fails
// the test instead of hanging it. A test stuck where no message is handled
// any more gets a grace period, then the process exits with a message.
class TLoopWatchdog {
public:
    explicit TLoopWatchdog(std::chrono::milliseconds limit,
                           std::chrono::milliseconds grace = std::chrono::seconds(20))
        : Thread([this, limit, grace] { Watch(limit, grace); }) {}

    ~TLoopWatchdog() {
        {
            std::lock_guard<std::mutex> guard(Lock);
            Stopped = true;
        }
        Changed.notify_all();
        Thread.join();
        if (FExpired) ADD_FAILURE() << "the watchdog expired: a wait did not end";
    }

    bool Expired() const {
        std::lock_guard<std::mutex> guard(Lock);
        return FExpired;
    }

private:
    void Watch(std::chrono::milliseconds limit, std::chrono::milliseconds grace) {
        std::unique_lock<std::mutex> lock(Lock);
        if (Changed.wait_for(lock, limit, [this] { return Stopped; })) return;
        FExpired = true;
        Platform::PostCall([] { Application->Terminate(); });
        if (Changed.wait_for(lock, grace, [this] { return Stopped; })) return;
        std::fprintf(stderr, "watchdog: the test is stuck outside the message loop\n");
        std::_Exit(1);
    }

    mutable std::mutex Lock;
    std::condition_variable Changed;
    bool Stopped = false;
    bool FExpired = false;
    std::thread Thread;
};

// A new application with a scripted renderer for one test. The previous one
// is freed; tests create their forms without an owner and free them first.
inline TScriptedRenderer* FreshScriptedApplication() {
    delete Application;
    Application = new TApplication();
    auto renderer = std::make_unique<TScriptedRenderer>();
    TScriptedRenderer* scripted = renderer.get();
    Application->Initialize(std::move(renderer));
    return scripted;
}

// Handles messages as the application's loop does until done() holds or the
// application ends (the watchdog ends it). Returns done().
inline bool PumpUntil(const std::function<bool()>& done) {
    while (!done() && !Application->Terminated()) Application->HandleMessage();
    return done();
}

// Handles messages for a while.
inline void PumpFor(std::chrono::milliseconds period) {
    std::uint64_t end = GetTickCount64() + static_cast<std::uint64_t>(period.count());
    for (std::uint64_t now = GetTickCount64(); now < end; now = GetTickCount64()) {
        Platform::WaitForInput(static_cast<int>(end - now));
        Platform::DispatchPending();
    }
}
