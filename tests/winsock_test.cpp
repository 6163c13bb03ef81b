// The Windows Sockets stand-in against real loopback TCP connections: every
// notification is collected by a hidden window through the message queue.
#include "WinSock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "Windows.h"

using namespace WinSock;

namespace {

constexpr UINT WM_SOCKET_NOTE = WM_USER + 100;
constexpr UINT WM_HOST_NOTE = WM_USER + 101;
constexpr int WatchdogMs = 5000;

struct Note {
    UINT Message;
    WPARAM WParam;
    LPARAM LParam;
};

struct Event {
    int Code;
    int Error;
    bool operator==(const Event&) const = default;
};

void PrintTo(const Event& event, std::ostream* out) {
    const char* name = "?";
    switch (event.Code) {
        case FD_READ: name = "FD_READ"; break;
        case FD_WRITE: name = "FD_WRITE"; break;
        case FD_ACCEPT: name = "FD_ACCEPT"; break;
        case FD_CONNECT: name = "FD_CONNECT"; break;
        case FD_CLOSE: name = "FD_CLOSE"; break;
    }
    *out << name << "(" << event.Error << ")";
}

std::vector<Note> Received;
std::function<void(const Note&)> OnNote;  // runs inside the window procedure

LRESULT NoteWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_SOCKET_NOTE && message != WM_HOST_NOTE) return DefWindowProc(window, message, wParam, lParam);
    Received.push_back({message, wParam, lParam});
    // A socket that keeps posting would keep DispatchPending from returning,
    // past any watchdog: stop it so the test fails instead of hanging.
    if (message == WM_SOCKET_NOTE && Received.size() > 10000) {
        ADD_FAILURE() << "notification flood from socket " << wParam;
        WSAAsyncSelect(wParam, nullptr, 0, 0);
    }
    if (OnNote) OnNote(Received.back());
    return 0;
}

HWND CreateNoteWindow() {
    WNDCLASS windowClass;
    if (!GetClassInfo("WinSockTestWindow", &windowClass)) {
        windowClass.lpfnWndProc = NoteWindowProc;
        windowClass.lpszClassName = "WinSockTestWindow";
        RegisterClass(&windowClass);
    }
    return CreateWindowEx(WS_EX_TOOLWINDOW, "WinSockTestWindow", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr);
}

std::vector<Event> EventsFor(SOCKET s) {
    std::vector<Event> events;
    for (const Note& note : Received) {
        if (note.Message == WM_SOCKET_NOTE && note.WParam == s) {
            events.push_back({WSAGETSELECTEVENT(note.LParam), WSAGETSELECTERROR(note.LParam)});
        }
    }
    return events;
}

int CountOf(SOCKET s, int code) {
    int count = 0;
    for (const Event& event : EventsFor(s)) count += event.Code == code;
    return count;
}

// Runs the message loop until done() holds or the watchdog expires.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = WatchdogMs) {
    std::uint64_t deadline = GetTickCount64() + static_cast<std::uint64_t>(timeoutMs);
    while (!done() && GetTickCount64() < deadline) {
        Platform::WaitForInput(10);
        Platform::DispatchPending();
    }
    return done();
}

void PumpFor(int ms) { PumpUntil([] { return false; }, ms); }

// poll() must sleep through the whole timeout when no socket has anything it
// could report; a readiness nobody acts on would return at once, every time.
void ExpectIdle() {
    std::uint64_t start = GetTickCount64();
    Platform::WaitForInput(50);
    EXPECT_GE(GetTickCount64() - start, 45u) << "a watched descriptor keeps poll() busy";
}

sockaddr_in Loopback(u_short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    return address;
}

const sockaddr* AsAddress(const sockaddr_in& address) { return reinterpret_cast<const sockaddr*>(&address); }

class WinSockTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
        Window = CreateNoteWindow();
        ASSERT_NE(Window, nullptr);
        WatchedBefore = Platform::WatchedDescriptorCount();
        Received.clear();
        OnNote = nullptr;
    }

    void TearDown() override {
        OnNote = nullptr;
        EXPECT_EQ(OpenSocketCount(), 0u) << "a test left a socket open";
        EXPECT_EQ(Platform::WatchedDescriptorCount(), WatchedBefore);
        DestroyWindow(Window);
        EXPECT_EQ(WSACleanup(), 0);
    }

    // A blocking listener on 127.0.0.1 at a port the system picks; bound but
    // not listening when listening is false, so connecting to it is refused.
    SOCKET BoundSocket(u_short& port, bool listening = true) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        EXPECT_NE(s, INVALID_SOCKET);
        sockaddr_in address = Loopback(0);
        EXPECT_EQ(bind(s, AsAddress(address), sizeof address), 0);
        if (listening) {
            EXPECT_EQ(listen(s, 5), 0);
        }
        int length = sizeof address;
        EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port = ntohs(address.sin_port);
        return s;
    }

    // A registered client connected to a blocking server-side socket; the
    // notifications of the connect are consumed.
    void ConnectPair(SOCKET& client, SOCKET& server, long mask) {
        u_short port;
        SOCKET listener = BoundSocket(port);
        client = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(WSAAsyncSelect(client, Window, WM_SOCKET_NOTE, mask | FD_CONNECT), 0);
        sockaddr_in address = Loopback(port);
        ASSERT_EQ(connect(client, AsAddress(address), sizeof address), SOCKET_ERROR);
        ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        ASSERT_TRUE(PumpUntil([&] { return CountOf(client, FD_CONNECT) == 1; }));
        server = accept(listener, nullptr, nullptr);
        ASSERT_NE(server, INVALID_SOCKET);
        closesocket(listener);
        Received.clear();
    }

    HWND Window = nullptr;
    std::size_t WatchedBefore = 0;
};

TEST_F(WinSockTest, ConnectReportsItsOutcomeOnceThroughTheQueue) {
    struct Case {
        const char* Name;
        bool Listening;
        std::vector<Event> Expected;
    };
    const Case cases[] = {
        {"listener", true, {{FD_CONNECT, 0}, {FD_WRITE, 0}}},
        {"closed port", false, {{FD_CONNECT, WSAECONNREFUSED}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Received.clear();
        u_short port;
        SOCKET target = BoundSocket(port, c.Listening);
        SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_EQ(WSAAsyncSelect(client, Window, WM_SOCKET_NOTE, FD_CONNECT | FD_WRITE | FD_READ | FD_CLOSE), 0);
        sockaddr_in address = Loopback(port);
        EXPECT_EQ(connect(client, AsAddress(address), sizeof address), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        EXPECT_TRUE(Received.empty()) << "delivered by a direct call";

        ASSERT_TRUE(PumpUntil([&] { return CountOf(client, FD_CONNECT) > 0; }));
        PumpFor(100);
        EXPECT_EQ(EventsFor(client), c.Expected);
        ExpectIdle();
        closesocket(client);
        closesocket(target);
    }
}

TEST_F(WinSockTest, ReadIsPostedAgainOnlyAfterRecv) {
    SOCKET client, server;
    ConnectPair(client, server, FD_READ | FD_CLOSE);
    ASSERT_EQ(send(server, "abcdef", 6, 0), 6);
    ASSERT_TRUE(PumpUntil([&] { return CountOf(client, FD_READ) == 1; }));

    ASSERT_EQ(send(server, "ghij", 4, 0), 4);
    PumpFor(100);
    EXPECT_EQ(CountOf(client, FD_READ), 1) << "posted again before recv";
    ExpectIdle();

    char buffer[64];
    ASSERT_EQ(recv(client, buffer, 4, 0), 4);
    ASSERT_TRUE(PumpUntil([&] { return CountOf(client, FD_READ) == 2; })) << "data left but no FD_READ";
    ASSERT_EQ(recv(client, buffer, sizeof buffer, 0), 6);
    EXPECT_EQ(std::string(buffer, 6), "efghij");
    PumpFor(100);
    EXPECT_EQ(CountOf(client, FD_READ), 2);

    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(CountOf(client, FD_CLOSE), 0);

    closesocket(client);
    closesocket(server);
}

TEST_F(WinSockTest, PeerCloseIsPostedOnceAfterTheDataWasRead) {
    struct Case {
        const char* Name;
        bool Reset;
        int CloseError;
        int LastRecv;
        int LastRecvError;
    };
    const Case cases[] = {
        {"graceful", false, 0, 0, 0},
        {"reset", true, WSAECONNRESET, SOCKET_ERROR, WSAECONNRESET},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        SOCKET client, server;
        ConnectPair(client, server, FD_READ | FD_WRITE | FD_CLOSE);
        ASSERT_EQ(send(server, "tail", 4, 0), 4);
        if (c.Reset) {
            linger abort{1, 0};
            ASSERT_EQ(setsockopt(server, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort),
                      0);
        }
        ASSERT_EQ(closesocket(server), 0);

        ASSERT_TRUE(PumpUntil([&] { return CountOf(client, FD_READ) == 1; }));
        PumpFor(100);
        EXPECT_EQ(EventsFor(client), (std::vector<Event>{{FD_READ, 0}})) << "FD_CLOSE before the data was read";

        char buffer[16];
        ASSERT_EQ(recv(client, buffer, sizeof buffer, 0), 4);
        EXPECT_EQ(std::string(buffer, 4), "tail");
        ASSERT_TRUE(PumpUntil([&] { return CountOf(client, FD_CLOSE) > 0; }));
        EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), c.LastRecv);
        if (c.LastRecv == SOCKET_ERROR) {
            EXPECT_EQ(WSAGetLastError(), c.LastRecvError);
        }
        PumpFor(100);
        EXPECT_EQ(EventsFor(client), (std::vector<Event>{{FD_READ, 0}, {FD_CLOSE, c.CloseError}}));
        ExpectIdle();

        closesocket(client);
        Received.clear();
    }
}

TEST_F(WinSockTest, AcceptIsPostedAgainOnlyAfterAccept) {
    u_short port;
    SOCKET listener = BoundSocket(port);
    ASSERT_EQ(WSAAsyncSelect(listener, Window, WM_SOCKET_NOTE, FD_ACCEPT), 0);
    sockaddr_in address = Loopback(port);
    SOCKET callers[2];
    for (SOCKET& caller : callers) {
        caller = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(caller, AsAddress(address), sizeof address), 0);  // blocking; completes in the backlog
    }

    ASSERT_TRUE(PumpUntil([&] { return CountOf(listener, FD_ACCEPT) == 1; }));
    PumpFor(100);
    EXPECT_EQ(CountOf(listener, FD_ACCEPT), 1) << "posted again before accept";

    sockaddr_in peer{};
    int peerLength = sizeof peer;
    SOCKET first = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength);
    ASSERT_NE(first, INVALID_SOCKET);
    EXPECT_EQ(peer.sin_addr.s_addr, inet_addr("127.0.0.1"));
    ASSERT_TRUE(PumpUntil([&] { return CountOf(listener, FD_ACCEPT) == 2; })) << "second caller waits unannounced";
    SOCKET second = accept(listener, nullptr, nullptr);
    ASSERT_NE(second, INVALID_SOCKET);
    PumpFor(100);
    EXPECT_EQ(CountOf(listener, FD_ACCEPT), 2);
    ExpectIdle();

    // Registering an accepted (connected) socket announces once that it can send.
    ASSERT_EQ(WSAAsyncSelect(first, Window, WM_SOCKET_NOTE, FD_READ | FD_WRITE | FD_CLOSE), 0);
    PumpFor(100);
    EXPECT_EQ(EventsFor(first), (std::vector<Event>{{FD_WRITE, 0}}));

    for (SOCKET s : {first, second, callers[0], callers[1], listener}) closesocket(s);
}

TEST_F(WinSockTest, WriteIsPostedWhenSendingCanGoOnAfterWouldBlock) {
    SOCKET client, server;
    ConnectPair(client, server, FD_WRITE | FD_CLOSE);

    // Fill the connection while the peer reads nothing.
    std::vector<char> block(65536, 'x');
    long long queued = 0;
    int result = 0;
    for (int i = 0; i < 4096 && (result = send(client, block.data(), static_cast<int>(block.size()), 0)) > 0; ++i) {
        queued += result;
    }
    ASSERT_EQ(result, SOCKET_ERROR);
    ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    PumpFor(50);
    EXPECT_EQ(CountOf(client, FD_WRITE), 0) << "FD_WRITE while the connection is full";
    ExpectIdle();

    for (long long drained = 0; drained < queued;) {
        int got = recv(server, block.data(), static_cast<int>(block.size()), 0);
        ASSERT_GT(got, 0);
        drained += got;
    }
    ASSERT_TRUE(PumpUntil([&] { return CountOf(client, FD_WRITE) > 0; }));
    PumpFor(50);
    EXPECT_EQ(EventsFor(client), (std::vector<Event>{{FD_WRITE, 0}}));

    closesocket(client);
    closesocket(server);
}

TEST_F(WinSockTest, CloseSocketDropsItsQueuedNotifications) {
    // FD_CONNECT and FD_WRITE are queued together; closing the socket in the
    // FD_CONNECT handler must drop the FD_WRITE behind it.
    u_short port;
    SOCKET listener = BoundSocket(port);
    SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(WSAAsyncSelect(client, Window, WM_SOCKET_NOTE, FD_CONNECT | FD_WRITE), 0);
    OnNote = [client](const Note& note) {
        if (WSAGETSELECTEVENT(note.LParam) == FD_CONNECT) closesocket(client);
    };
    sockaddr_in address = Loopback(port);
    connect(client, AsAddress(address), sizeof address);
    ASSERT_TRUE(PumpUntil([&] { return CountOf(client, FD_CONNECT) == 1; }));
    PumpFor(50);
    EXPECT_EQ(EventsFor(client), (std::vector<Event>{{FD_CONNECT, 0}}));
    OnNote = nullptr;

    // A notification queued for a closed socket must not reach the next
    // socket that is given the same handle.
    SOCKET server = accept(listener, nullptr, nullptr);
    ASSERT_NE(server, INVALID_SOCKET);
    Received.clear();
    ASSERT_EQ(WSAAsyncSelect(server, Window, WM_SOCKET_NOTE, FD_WRITE), 0);  // queues FD_WRITE
    ASSERT_EQ(closesocket(server), 0);
    SOCKET reused = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(reused, server) << "the system did not reuse the handle";
    ASSERT_EQ(WSAAsyncSelect(reused, Window, WM_SOCKET_NOTE, FD_READ), 0);
    PumpFor(50);
    EXPECT_TRUE(Received.empty());

    closesocket(reused);
    closesocket(listener);
}

TEST_F(WinSockTest, HostLookupLaysTheEntryOutInTheCallersBuffer) {
    struct Case {
        const char* Name;
        int BufferLength;
        int Error;
    };
    const Case cases[] = {
        {"localhost", MAXGETHOSTSTRUCT, 0},
        {"127.0.0.1", MAXGETHOSTSTRUCT, 0},
        {"nothing.invalid", MAXGETHOSTSTRUCT, WSAHOST_NOT_FOUND},
        {"localhost", 16, WSAENOBUFS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Name) + "/" + std::to_string(c.BufferLength));
        alignas(hostent) char buffer[MAXGETHOSTSTRUCT];
        std::memset(buffer, 0xab, sizeof buffer);
        Received.clear();
        HANDLE task = WSAAsyncGetHostByName(Window, WM_HOST_NOTE, c.Name, buffer, c.BufferLength);
        ASSERT_NE(task, nullptr);
        ASSERT_TRUE(PumpUntil([] { return !Received.empty(); }));
        ASSERT_EQ(Received.size(), 1u);
        const Note& note = Received[0];
        EXPECT_EQ(note.WParam, reinterpret_cast<WPARAM>(task));
        EXPECT_EQ(WSAGETASYNCERROR(note.LParam), c.Error);

        if (c.Error) {
            if (c.Error == WSAENOBUFS) {
                EXPECT_GT(WSAGETASYNCBUFLEN(note.LParam), c.BufferLength);
            }
            EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\xab')) << "buffer written";
            continue;
        }
        auto inside = [&](const void* p, std::size_t size) {
            auto* at = static_cast<const char*>(p);
            return at >= buffer && at + size <= buffer + WSAGETASYNCBUFLEN(note.LParam) &&
                   WSAGETASYNCBUFLEN(note.LParam) <= c.BufferLength;
        };
        const auto* entry = reinterpret_cast<const hostent*>(buffer);
        EXPECT_EQ(entry->h_addrtype, AF_INET);
        ASSERT_EQ(entry->h_length, 4);
        ASSERT_TRUE(inside(entry->h_name, std::strlen(entry->h_name) + 1));
        ASSERT_TRUE(inside(entry->h_aliases, sizeof(char*)));
        EXPECT_EQ(entry->h_aliases[0], nullptr);
        ASSERT_TRUE(inside(entry->h_addr_list, 2 * sizeof(char*)));
        ASSERT_TRUE(inside(entry->h_addr_list[0], 4));
        const unsigned char loopback[] = {127, 0, 0, 1};
        EXPECT_EQ(std::memcmp(entry->h_addr_list[0], loopback, 4), 0);
    }
    EXPECT_EQ(PendingHostLookups(), 0u);
}

TEST_F(WinSockTest, LookupForADestroyedWindowLeavesTheBufferAlone) {
    HWND gone = CreateNoteWindow();
    char buffer[MAXGETHOSTSTRUCT];
    std::memset(buffer, 0xab, sizeof buffer);
    ASSERT_NE(WSAAsyncGetHostByName(gone, WM_HOST_NOTE, "localhost", buffer, sizeof buffer), nullptr);
    DestroyWindow(gone);
    ASSERT_TRUE(PumpUntil([] { return PendingHostLookups() == 0; }));
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '\xab'));
    EXPECT_TRUE(Received.empty());
}

TEST(WinSockErrors, ErrnoValuesMapToWindowsSocketsErrors) {
    const struct {
        int Errno;
        int Expected;
    } cases[] = {
        {EAGAIN, WSAEWOULDBLOCK},          {EINPROGRESS, WSAEWOULDBLOCK},     {ECONNREFUSED, WSAECONNREFUSED},
        {ECONNRESET, WSAECONNRESET},       {EPIPE, WSAECONNRESET},            {ECONNABORTED, WSAECONNABORTED},
        {ETIMEDOUT, WSAETIMEDOUT},         {ENETUNREACH, WSAENETUNREACH},     {EHOSTUNREACH, WSAEHOSTUNREACH},
        {EADDRINUSE, WSAEADDRINUSE},       {EADDRNOTAVAIL, WSAEADDRNOTAVAIL}, {ENOTCONN, WSAENOTCONN},
        {EISCONN, WSAEISCONN},             {EALREADY, WSAEALREADY},           {EMFILE, WSAEMFILE},
        {ENFILE, WSAEMFILE},               {ENOBUFS, WSAENOBUFS},             {ENOMEM, WSAENOBUFS},
        {EACCES, WSAEACCES},               {EINVAL, WSAEINVAL},               {EFAULT, WSAEFAULT},
        {ENOTSOCK, WSAENOTSOCK},           {EAFNOSUPPORT, WSAEAFNOSUPPORT},   {0, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(ErrorFromErrno(c.Errno), c.Expected) << "errno " << c.Errno;
    // A failure never maps to "no error", whatever the errno.
    for (int e = 1; e < 200; ++e) {
        int error = ErrorFromErrno(e);
        EXPECT_TRUE(error >= 10000 && error < 12000) << "errno " << e << " gives " << error;
    }
}

TEST(WinSockAddresses, DottedTextConvertsBothWays) {
    const struct {
        const char* Text;
        // glibc's <sys/types.h> has its own (64-bit) u_long, so name ours.
        WinSock::u_long HostOrder;  // INADDR_NONE: rejected
    } cases[] = {
        {"127.0.0.1", 0x7f000001},   {"0.0.0.0", 0},           {"192.168.10.200", 0xc0a80ac8},
        {"10.1", 0x0a000001},        {"10.1.2", 0x0a010002},   {"0x7f.0.0.1", 0x7f000001},
        {"010.0.0.1", 0x08000001},   {"3232238280", 0xc0a80ac8},
        {"256.0.0.1", INADDR_NONE},  {"1.2.3.4.5", INADDR_NONE}, {"1.2.3.", INADDR_NONE},
        {"", INADDR_NONE},           {"ftp.example", INADDR_NONE}, {"1.2.3.4x", INADDR_NONE},
        {"08.0.0.1", INADDR_NONE},   {"10.65536", 0x0a010000},  {"10.1.65536", INADDR_NONE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(inet_addr(c.Text), c.HostOrder == INADDR_NONE ? INADDR_NONE : htonl(c.HostOrder)) << c.Text;
    }
    EXPECT_EQ(inet_addr(nullptr), INADDR_NONE);

    for (const char* text : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "10.20.30.40"}) {
        in_addr address{};
        address.s_addr = text == std::string("255.255.255.255") ? INADDR_NONE : inet_addr(text);
        EXPECT_STREQ(inet_ntoa(address), text);
    }
    const unsigned char wire[] = {0x12, 0x34};
    u_short port;
    std::memcpy(&port, wire, sizeof port);
    EXPECT_EQ(ntohs(port), 0x1234);
    EXPECT_EQ(htons(0x1234), port);
}

TEST(WinSockStartup, CallsFailUntilStartedAndAfterTheLastCleanup) {
    ASSERT_EQ(OpenSocketCount(), 0u);
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    char buffer[MAXGETHOSTSTRUCT];
    EXPECT_EQ(WSAAsyncGetHostByName(nullptr, WM_HOST_NOTE, "localhost", buffer, sizeof buffer), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);

    WSADATA data;
    EXPECT_EQ(WSAStartup(MAKEWORD(1, 0), &data), WSAVERNOTSUPPORTED);
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));

    // Starts are counted: only the last cleanup stops, and it closes what is open.
    ASSERT_EQ(WSACleanup(), 0);
    SOCKET left = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(left, INVALID_SOCKET);
    EXPECT_LE(left, 0xffffu);
    ASSERT_EQ(WSACleanup(), 0);
    EXPECT_EQ(OpenSocketCount(), 0u);
    EXPECT_EQ(closesocket(left), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

}  // namespace
