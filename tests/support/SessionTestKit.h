// What the socket session tests share: a fixture that owns the sessions,
// timers and peer threads of one test, arms a watchdog and checks at the end
// that nothing is left registered, and plain blocking peer sockets on
// 127.0.0.1 (unregistered Windows Sockets handles, usable from any thread).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "SockSession.h"
#include "Timers.h"
#include "WinSock.h"
#include "Windows.h"

namespace SessionKit {

// A blocking socket of the test, closed when it goes out of scope.
class TPeer {
public:
    TPeer() = default;
    explicit TPeer(WinSock::SOCKET handle) : FHandle(handle) {}
    TPeer(TPeer&& other) noexcept : FHandle(std::exchange(other.FHandle, WinSock::INVALID_SOCKET)) {}
    TPeer& operator=(TPeer&& other) noexcept {
        if (this != &other) {
            Close();
            FHandle = std::exchange(other.FHandle, WinSock::INVALID_SOCKET);
        }
        return *this;
    }
    ~TPeer() { Close(); }

    WinSock::SOCKET Handle() const { return FHandle; }
    bool Open() const { return FHandle != WinSock::INVALID_SOCKET; }

    void Close() {
        if (Open()) WinSock::closesocket(FHandle);
        FHandle = WinSock::INVALID_SOCKET;
    }

    // Closes with lingering on for 0 seconds: the peer sees a reset.
    void Reset() {
        WinSock::linger option{1, 0};
        WinSock::setsockopt(FHandle, WinSock::SOL_SOCKET, WinSock::SO_LINGER, reinterpret_cast<const char*>(&option),
                            sizeof option);
        Close();
    }

    // Sends all of bytes; false when the connection failed first.
    bool Send(std::string_view bytes) {
        while (!bytes.empty()) {
            int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20));
            int sent = WinSock::send(FHandle, bytes.data(), chunk, 0);
            if (sent <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }

    // Up to count bytes: fewer only when the connection ends first.
    std::string Receive(std::size_t count) {
        std::string bytes;
        char block[65536];
        while (bytes.size() < count) {
            int want = static_cast<int>(std::min<std::size_t>(count - bytes.size(), sizeof block));
            int got = WinSock::recv(FHandle, block, want, 0);
            if (got <= 0) break;
            bytes.append(block, static_cast<std::size_t>(got));
        }
        return bytes;
    }

    // Everything until the peer closes or resets the connection.
    std::string ReceiveUntilClosed() { return Receive(std::string::npos); }

    // The bytes before marker, the marker consumed; everything read when the
    // connection ends first.
    std::string ReceiveUntil(std::string_view marker) {
        std::string bytes;
        char byte;
        while (bytes.size() < marker.size() ||
               bytes.compare(bytes.size() - marker.size(), marker.size(), marker) != 0) {
            if (WinSock::recv(FHandle, &byte, 1, 0) != 1) return bytes;
            bytes.push_back(byte);
        }
        bytes.resize(bytes.size() - marker.size());
        return bytes;
    }

private:
    WinSock::SOCKET FHandle = WinSock::INVALID_SOCKET;
};

inline WinSock::sockaddr_in Loopback(WinSock::u_short port) {
    WinSock::sockaddr_in address{};
    address.sin_family = WinSock::AF_INET;
    address.sin_port = WinSock::htons(port);
    address.sin_addr.s_addr = WinSock::inet_addr("127.0.0.1");
    return address;
}

inline WinSock::u_short LocalPort(WinSock::SOCKET handle) {
    WinSock::sockaddr_in address{};
    int length = sizeof address;
    WinSock::getsockname(handle, reinterpret_cast<WinSock::sockaddr*>(&address), &length);
    return WinSock::ntohs(address.sin_port);
}

// A blocking listener on 127.0.0.1 at a port the system picks. Without
// listening the port is bound but refuses connections.
class TListener {
public:
    explicit TListener(int backlog = 5, bool listening = true) {
        FSocket = TPeer(WinSock::socket(WinSock::AF_INET, WinSock::SOCK_STREAM, WinSock::IPPROTO_TCP));
        WinSock::sockaddr_in address = Loopback(0);
        const auto* name = reinterpret_cast<const WinSock::sockaddr*>(&address);
        EXPECT_EQ(WinSock::bind(FSocket.Handle(), name, sizeof address), 0);
        if (listening) {
            EXPECT_EQ(WinSock::listen(FSocket.Handle(), backlog), 0);
        }
        FPort = LocalPort(FSocket.Handle());
    }

    WinSock::u_short Port() const { return FPort; }
    TPeer Accept() { return TPeer(WinSock::accept(FSocket.Handle(), nullptr, nullptr)); }

private:
    TPeer FSocket;
    WinSock::u_short FPort = 0;
};

// A blocking connect from the test to a port on 127.0.0.1.
inline TPeer ConnectTo(WinSock::u_short port) {
    TPeer peer(WinSock::socket(WinSock::AF_INET, WinSock::SOCK_STREAM, WinSock::IPPROTO_TCP));
    WinSock::sockaddr_in address = Loopback(port);
    EXPECT_EQ(WinSock::connect(peer.Handle(), reinterpret_cast<const WinSock::sockaddr*>(&address), sizeof address), 0);
    return peer;
}

// A port on 127.0.0.1 whose listener never answers a connect: its backlog of
// 0 is taken by a first connection, so the kernel drops later SYNs.
class TSilentPeer {
public:
    TSilentPeer() : FListener(0), FQueued(ConnectTo(FListener.Port())) {}
    WinSock::u_short Port() const { return FListener.Port(); }

private:
    TListener FListener;
    TPeer FQueued;
};

// An exception as the tests compare it: its class and its text.
struct TRaised {
    std::string Type;
    std::string Message;
    bool operator==(const TRaised&) const = default;
};

inline void PrintTo(const TRaised& raised, std::ostream* out) {
    *out << (raised.Type.empty() ? "nothing raised" : raised.Type + " \"" + raised.Message + "\"");
}

inline TRaised RaisedBy(const std::function<void()>& action) {
    try {
        action();
    } catch (const EAbortError& error) {
        return {"EAbortError", error.what()};
    } catch (const ESockError& error) {
        return {"ESockError", error.what()};
    } catch (const ERangeError& error) {
        return {"ERangeError", error.what()};
    } catch (const EStreamError& error) {
        return {"EStreamError", error.what()};
    } catch (const Exception& error) {
        return {"Exception", error.what()};
    }
    return {};
}

inline std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Bytes that show where a piece came from when compared: no two 16 KiB blocks
// repeat within a few megabytes.
inline std::string PatternBytes(std::size_t size, std::uint32_t seed = 1) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& c : bytes) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

inline std::string SessionText(const TStream* stream) {
    auto* buffer = dynamic_cast<const TMemoryStream*>(stream);
    return buffer ? std::string(buffer->Memory(), static_cast<std::size_t>(buffer->Size())) : std::string();
}

// Every event of a session, in order, as text.
struct TEventLog {
    std::vector<std::string> Events;
    std::vector<std::string> Statuses;
    explicit TEventLog(TSockSession* session) {
        session->OnConnect = [this](TObject*) { Events.push_back("Connect"); };
        session->OnDisconnect = [this](TObject*) { Events.push_back("Disconnect"); };
        session->OnConnectionFailed = [this](TObject*) { Events.push_back("ConnectionFailed"); };
        session->OnHostResolved = [this](TObject*) { Events.push_back("HostResolved"); };
        session->OnError = [this](TObject*, std::uint16_t code, const std::string& text) {
            Events.push_back("Error " + std::to_string(code) + " " + text);
        };
        session->OnStatus = [this](TObject*, const std::string& text) { Statuses.push_back(text); };
    }
    std::size_t Count(const std::string& event) const { return std::count(Events.begin(), Events.end(), event); }
    std::size_t StatusCount(const std::string& text) const {
        return std::count(Statuses.begin(), Statuses.end(), text);
    }
};

class TSessionTest : public ::testing::Test {
protected:
    static constexpr unsigned DefaultWatchdogMs = 20000;

    void SetUp() override {
        // The queue's call window is made once per process; made here, it is
        // part of what every test starts with.
        Platform::BindGuiThread();
        WinSock::WSADATA data;
        ASSERT_EQ(WinSock::WSAStartup(WinSock::MAKEWORD(1, 1), &data), 0);
        WindowsBefore = Platform::LiveWindowCount();
        TimersBefore = Platform::LiveTimerCount();
        WatchedBefore = Platform::WatchedDescriptorCount();
        SocketsBefore = WinSock::OpenSocketCount();
        ArmWatchdog(DefaultWatchdogMs);
    }

    void TearDown() override {
        for (auto it = FSessions.rbegin(); it != FSessions.rend(); ++it) delete *it;
        FSessions.clear();
        JoinPeers();
        FLogs.clear();
        FTimers.clear();
        FWatchdog.reset();
        // A lookup that was cancelled still comes back through the queue.
        PumpUntil([] { return WinSock::PendingHostLookups() == 0; }, 5000);
        Platform::DispatchPending();
        EXPECT_EQ(WinsockUsers, 0);
        EXPECT_EQ(WinSock::PendingHostLookups(), 0u);
        EXPECT_EQ(WinSock::OpenSocketCount(), SocketsBefore) << "a socket was left open";
        EXPECT_EQ(Platform::WatchedDescriptorCount(), WatchedBefore) << "a descriptor was left watched";
        EXPECT_EQ(Platform::LiveWindowCount(), WindowsBefore) << "a window was left behind";
        EXPECT_EQ(Platform::LiveTimerCount(), TimersBefore) << "a timer was left running";
        EXPECT_EQ(WinSock::WSACleanup(), 0);
    }

    // A session freed at the end of the test (after which the peer threads
    // are joined: a peer waiting for the session's side to close ends then).
    TSockSession* NewSession(std::int32_t reportLevel = 0) {
        auto* session = new TSockSession(nullptr);
        session->ReportLevel = reportLevel;
        FSessions.push_back(session);
        return session;
    }

    // Records the session's events; the record outlives the session.
    TEventLog& Watch(TSockSession* session) {
        FLogs.push_back(std::make_unique<TEventLog>(session));
        return *FLogs.back();
    }

    void FreeSession(TSockSession* session) {
        std::erase(FSessions, session);
        delete session;
    }

    // After ms without the test ending, every session's wait is cancelled
    // and the test fails.
    void ArmWatchdog(unsigned ms) {
        FWatchdog = std::make_unique<TTimer>(nullptr);
        FWatchdog->SetInterval(ms);
        FWatchdog->SetOnTimer([this, ms](TObject*) {
            FWatchdog->SetEnabled(false);
            ADD_FAILURE() << "watchdog: a wait did not end within " << ms << " ms";
            for (TSockSession* session : FSessions) session->Cancel();
        });
    }

    // Runs action once, ms from now, from the message queue.
    void After(unsigned ms, std::function<void()> action) {
        auto timer = std::make_unique<TTimer>(nullptr);
        TTimer* raw = timer.get();
        raw->SetInterval(ms);
        raw->SetOnTimer([raw, action = std::move(action)](TObject*) {
            raw->SetEnabled(false);
            action();
        });
        FTimers.push_back(std::move(timer));
    }

    // Waits for the peer threads; each must be able to end by then.
    void JoinPeers() {
        for (std::thread& thread : FThreads) thread.join();
        FThreads.clear();
    }

    // Runs body on a thread of its own; body may own move-only things. What
    // it shares with the test it should hold by shared_ptr: a failed test
    // leaves its body before the thread is joined.
    template <class Body>
    void RunPeer(Body&& body) {
        FThreads.emplace_back(std::forward<Body>(body));
    }

    // The test's own wait: pumps until done() holds or ms have passed.
    static bool PumpUntil(const std::function<bool()>& done, unsigned ms = 5000) {
        std::uint64_t deadline = GetTickCount64() + ms;
        while (!done() && GetTickCount64() < deadline) {
            Platform::WaitForInput(10);
            Platform::DispatchPending();
        }
        return done();
    }

    // Connects session to a fresh listener and returns the test's end.
    TPeer ConnectPair(TSockSession* session) {
        TListener listener;
        session->Host = "127.0.0.1";
        session->Port = listener.Port();
        session->Connect();
        return listener.Accept();
    }

    // A data connection made as the FTP client makes one: the session
    // listens, the test connects, the accepted handle replaces the listening
    // one and is registered for every event.
    TPeer DataPair(TSockSession* session) {
        session->Port = 0;
        session->Listen(true);
        TPeer peer = ConnectTo(LocalPort(session->SocketHandle));
        std::uint16_t listening = session->SocketHandle;
        std::uint16_t accepted = session->Accept();
        WinSock::closesocket(listening);
        session->SocketHandle = accepted;
        WinSock::WSAAsyncSelect(accepted, session->EventWindow, WM_SOCKET_EVENT, AllSocketEvents);
        return peer;
    }

    // Posts a call and tells later whether a wait ran it: an operation that
    // must not wait leaves it queued.
    class TPumpProbe {
    public:
        TPumpProbe() : FRan(std::make_shared<bool>(false)) {
            Platform::PostCall([ran = FRan] { *ran = true; });
        }
        bool Pumped() const { return *FRan; }

    private:
        std::shared_ptr<bool> FRan;
    };

    std::size_t WindowsBefore = 0;
    std::size_t TimersBefore = 0;
    std::size_t WatchedBefore = 0;
    std::size_t SocketsBefore = 0;

private:
    std::vector<TSockSession*> FSessions;
    std::vector<std::thread> FThreads;
    std::vector<std::unique_ptr<TEventLog>> FLogs;
    std::vector<std::unique_ptr<TTimer>> FTimers;
    std::unique_ptr<TTimer> FWatchdog;
};

}  // namespace SessionKit
