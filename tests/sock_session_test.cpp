// The socket session on its control-connection side: starting Windows
// Sockets, status reports, connecting (lookups, refusals, time-outs,
// cancelling), the peer closing or resetting, and line I/O over a real
// loopback connection whose other end is a plain blocking socket of the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "SessionTestKit.h"
#include "SockSession.h"

using namespace SessionKit;

namespace {

bool InOrder(const std::vector<std::string>& seen, const std::vector<std::string>& wanted) {
    auto at = seen.begin();
    for (const std::string& text : wanted) {
        at = std::find(at, seen.end(), text);
        if (at == seen.end()) return false;
        ++at;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Starting and ending Windows Sockets

// Not a TSessionTest: the fixture holds Windows Sockets itself.
TEST(SockSessionStartup, FirstSessionStartsWindowsSocketsAndLastCleansUp) {
    Platform::BindGuiThread();
    const std::size_t windows = Platform::LiveWindowCount();
    const std::size_t watched = Platform::WatchedDescriptorCount();
    auto socketsWork = [] {
        WinSock::SOCKET probe = WinSock::socket(WinSock::AF_INET, WinSock::SOCK_STREAM, 0);
        if (probe == WinSock::INVALID_SOCKET) return false;
        WinSock::closesocket(probe);
        return true;
    };
    ASSERT_EQ(WinsockUsers, 0);
    ASSERT_FALSE(socketsWork()) << "Windows Sockets already started";

    auto* first = new TSockSession(nullptr);
    EXPECT_EQ(WinsockUsers, 1);
    EXPECT_TRUE(socketsWork());
    auto* second = new TSockSession(nullptr);
    EXPECT_EQ(WinsockUsers, 2);
    EXPECT_NE(first->SocketHandle, second->SocketHandle);
    EXPECT_EQ(WinSock::OpenSocketCount(), 2u);

    delete first;
    EXPECT_EQ(WinsockUsers, 1);
    EXPECT_TRUE(socketsWork()) << "the first session's end cleaned up what the second still uses";
    delete second;
    EXPECT_EQ(WinsockUsers, 0);
    EXPECT_FALSE(socketsWork()) << "the last session did not clean up";
    EXPECT_EQ(WinSock::WSAGetLastError(), WinSock::WSANOTINITIALISED);
    EXPECT_EQ(WinSock::OpenSocketCount(), 0u);
    EXPECT_EQ(Platform::LiveWindowCount(), windows);
    EXPECT_EQ(Platform::WatchedDescriptorCount(), watched);
}

// ---------------------------------------------------------------------------
// Status reports

class SockSessionReportLevel : public TSessionTest, public ::testing::WithParamInterface<int> {};

// One conversation that reports at every level: a connect (8), a sent
// command (4), the reply line (1) and the error manager (16).
TEST_P(SockSessionReportLevel, ReachesOnStatusOnlyUpToTheLevel) {
    const int level = GetParam();
    TSockSession* session = NewSession(level);
    TEventLog& log = Watch(session);
    TPeer peer = ConnectPair(session);
    ASSERT_TRUE(peer.Send("200 fine\r\n"));
    session->Transaction("NOOP");
    WinSock::WSASetLastError(WinSock::WSAENOTSOCK);
    std::string text;
    EXPECT_EQ(RaisedBy([&] { session->ErrorManager(WinSock::WSAEWOULDBLOCK, text); }),
              (TRaised{"ESockError", "Unknown Error No. 10038"}));

    EXPECT_EQ(log.StatusCount("Connecting") > 0, level >= 8);
    EXPECT_EQ(log.StatusCount("Sending Buffer") > 0, level >= 4);
    EXPECT_EQ(log.StatusCount("200 fine\r\n") > 0, level >= 1);
    EXPECT_EQ(log.StatusCount("Checking Error In Error Manager") > 0, level >= 16);
    if (level == 0) {
        EXPECT_TRUE(log.Statuses.empty());
        EXPECT_EQ(session->LastStatus, "");
    } else {
        ASSERT_FALSE(log.Statuses.empty());
        EXPECT_EQ(session->LastStatus, log.Statuses.back());
    }
    if (level >= 8) {
        EXPECT_TRUE(InOrder(log.Statuses, {"Connecting", "Resolve Host", "Timer On", "Timer Off"}))
            << ::testing::PrintToString(log.Statuses);
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, SockSessionReportLevel, ::testing::Values(0, 1, 4, 8, 16));

// ---------------------------------------------------------------------------
// Connecting

using SockSessionConnect = TSessionTest;

TEST_F(SockSessionConnect, DisconnectBeforeConnectingFiresOnDisconnectAndOpensAFreshSocket) {
    TSockSession* session = NewSession();
    TEventLog& log = Watch(session);
    const std::size_t sockets = WinSock::OpenSocketCount();
    session->Disconnect();
    EXPECT_EQ(log.Events, (std::vector<std::string>{"Disconnect"}));
    EXPECT_FALSE(session->Connected);
    EXPECT_EQ(WinSock::OpenSocketCount(), sockets);

    // The fresh socket is registered: it connects like the first one.
    TPeer peer = ConnectPair(session);
    EXPECT_TRUE(session->Connected);
    EXPECT_EQ(log.Count("Connect"), 1u);
}

TEST_F(SockSessionConnect, ConnectsToAListenerOnceOnly) {
    TSockSession* session = NewSession();
    TEventLog& log = Watch(session);
    TPeer peer = ConnectPair(session);
    EXPECT_TRUE(peer.Open());
    EXPECT_TRUE(session->Connected);
    EXPECT_EQ(log.Events, (std::vector<std::string>{"Connect"}));

    EXPECT_EQ(RaisedBy([&] { session->Connect(); }), (TRaised{"ESockError", "Already connected"}));
    EXPECT_TRUE(session->Connected);
    EXPECT_EQ(log.Events, (std::vector<std::string>{"Connect"}));
}

// Windows Sockets lets a socket whose connect failed connect again; Linux
// answers the first connect after a failed one with ECONNABORTED.
TEST_F(SockSessionConnect, RefusedPortFailsAndTheSameSocketConnectsLater) {
    TSockSession* session = NewSession();
    TEventLog& log = Watch(session);
    TListener closed(5, false);
    const std::uint16_t handle = session->SocketHandle;
    session->Host = "127.0.0.1";
    session->Port = closed.Port();
    EXPECT_EQ(RaisedBy([&] { session->Connect(); }), (TRaised{"ESockError", "Connection Failed"}));
    EXPECT_EQ(log.Events, (std::vector<std::string>{"ConnectionFailed"}));
    EXPECT_FALSE(session->Connected);
    EXPECT_EQ(session->SocketHandle, handle);

    TListener listener;
    session->Port = listener.Port();
    session->Connect();
    EXPECT_EQ(session->SocketHandle, handle);
    EXPECT_TRUE(session->Connected);
    EXPECT_EQ(log.Events, (std::vector<std::string>{"ConnectionFailed", "Connect"}));
    TPeer peer = listener.Accept();
    EXPECT_TRUE(peer.Open());
}

// How OnInvalidHost answers when asked.
enum class THostHandler { None, NotHandled, HandledOnly, PointsAtListener };

struct THostCase {
    const char* Name;
    std::string Host;
    THostHandler Handler;
    std::string Error;  // empty: connects
    std::size_t Asked;
    std::size_t Lookups;  // lookups started, seen as the lookup's "Timer On"
    std::size_t Resolved;
};

void PrintTo(const THostCase& c, std::ostream* out) { *out << c.Name; }

class SockSessionHost : public TSessionTest, public ::testing::WithParamInterface<THostCase> {};

TEST_P(SockSessionHost, ResolvesOrEndsAsNullRemoteAddress) {
    const THostCase& c = GetParam();
    TSockSession* session = NewSession(8);
    TEventLog& log = Watch(session);
    TListener listener;
    std::size_t asked = 0;
    if (c.Handler != THostHandler::None) {
        session->OnInvalidHost = [&](bool& handled) {
            ++asked;
            handled = c.Handler != THostHandler::NotHandled;
            if (c.Handler == THostHandler::PointsAtListener) session->Host = "127.0.0.1";
        };
    }
    session->Host = c.Host;
    session->Port = listener.Port();
    TRaised raised = RaisedBy([&] { session->Connect(); });
    if (c.Error.empty()) {
        EXPECT_EQ(raised, TRaised{});
        EXPECT_TRUE(session->Connected);
        TPeer peer = listener.Accept();
        EXPECT_TRUE(peer.Open());
    } else {
        EXPECT_EQ(raised, (TRaised{"ESockError", c.Error}));
        EXPECT_FALSE(session->Connected);
        EXPECT_EQ(log.Count("ConnectionFailed"), 0u) << "no connect was tried";
    }
    EXPECT_EQ(asked, c.Asked);
    EXPECT_EQ(log.Count("HostResolved"), c.Resolved);
    // Connect's own timer reports "Timer On" once when it gets to connect.
    EXPECT_EQ(log.StatusCount("Timer On"), c.Lookups + (c.Error.empty() ? 1 : 0));
}

const std::string LongestName = std::string(119, 'a') + ".invalid";  // 127 characters
const std::string NullAddress = "Null Remote Address";

INSTANTIATE_TEST_SUITE_P(
    Hosts, SockSessionHost,
    ::testing::Values(
        THostCase{"UnresolvableNoHandler", "nothing.invalid", THostHandler::None, NullAddress, 0, 1, 0},
        THostCase{"UnresolvableNotHandled", "nothing.invalid", THostHandler::NotHandled, NullAddress, 1, 1, 0},
        THostCase{"UnresolvableHandledHostKept", "nothing.invalid", THostHandler::HandledOnly, NullAddress, 1, 2, 0},
        THostCase{"UnresolvableHandlerFixesHost", "nothing.invalid", THostHandler::PointsAtListener, "", 1, 1, 0},
        THostCase{"NullAddressNoHandler", "0.0.0.0", THostHandler::None, NullAddress, 0, 0, 0},
        THostCase{"NullAddressHandledHostKept", "0.0.0.0", THostHandler::HandledOnly, NullAddress, 1, 0, 0},
        THostCase{"Localhost", "localhost", THostHandler::None, "", 0, 1, 1},
        THostCase{"Name127Characters", LongestName, THostHandler::None, NullAddress, 0, 1, 0},
        THostCase{"Name128Characters", std::string(128, 'b'), THostHandler::HandledOnly, NullAddress, 1, 0, 0},
        THostCase{"Name100000Characters", std::string(100000, 'c'), THostHandler::None, NullAddress, 0, 0, 0}),
    [](const ::testing::TestParamInfo<THostCase>& row) { return std::string(row.param.Name); });

TEST_F(SockSessionConnect, PeerThatNeverAnswersTimesOut) {
    TSockSession* session = NewSession();
    TEventLog& log = Watch(session);
    TSilentPeer silent;
    session->Host = "127.0.0.1";
    session->Port = silent.Port();
    session->Timeout = 300;
    const std::uint64_t start = GetTickCount64();
    EXPECT_EQ(RaisedBy([&] { session->Connect(); }), (TRaised{"ESockError", "Connection Timed Out"}));
    const std::uint64_t took = GetTickCount64() - start;
    EXPECT_GE(took, 290u);
    EXPECT_LT(took, 3000u);
    EXPECT_TRUE(session->TimedOut);
    EXPECT_FALSE(session->Connected);
    EXPECT_EQ(log.Events, (std::vector<std::string>{"ConnectionFailed"}));
}

struct TCancelCase {
    const char* Name;
    std::string Host;
    std::string CancelAtStatus;  // empty: cancel from a timer after 100 ms
    std::string Error;
    std::vector<std::string> Events;
};

void PrintTo(const TCancelCase& c, std::ostream* out) { *out << c.Name; }

class SockSessionCancelConnect : public TSessionTest, public ::testing::WithParamInterface<TCancelCase> {};

TEST_P(SockSessionCancelConnect, EndsTheWaitWithItsOwnError) {
    const TCancelCase& c = GetParam();
    TSockSession* session = NewSession(8);
    TEventLog& log = Watch(session);
    TSilentPeer silent;
    session->Host = c.Host;
    session->Port = silent.Port();
    if (c.CancelAtStatus.empty()) {
        After(100, [session] { session->Cancel(); });
    } else {
        session->OnStatus = [&, session](TObject*, const std::string& text) {
            if (text == c.CancelAtStatus) session->Cancel();
        };
    }
    EXPECT_EQ(RaisedBy([&] { session->Connect(); }), (TRaised{"ESockError", c.Error}));
    EXPECT_FALSE(session->Connected);
    EXPECT_EQ(log.Events, c.Events);
}

INSTANTIATE_TEST_SUITE_P(
    Cancels, SockSessionCancelConnect,
    ::testing::Values(
        TCancelCase{"ConnectFromTimer", "127.0.0.1", "", "Connection Canceled", {"ConnectionFailed"}},
        TCancelCase{"ConnectFromStatus", "127.0.0.1", "Timer On", "Connection Canceled", {"ConnectionFailed"}},
        TCancelCase{"LookupAtResolveHost", "localhost", "Resolve Host", "Host Lookup Canceled", {}},
        TCancelCase{"LookupAtTimerOn", "localhost", "Timer On", "Host Lookup Canceled", {}}),
    [](const ::testing::TestParamInfo<TCancelCase>& row) { return std::string(row.param.Name); });

TEST_F(SockSessionConnect, NegativeTimeoutIsARangeError) {
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        TSockSession* session = NewSession();
        TListener listener;
        session->Host = host;
        session->Port = listener.Port();
        session->Timeout = -1;
        EXPECT_EQ(RaisedBy([&] { session->Connect(); }), (TRaised{"ERangeError", "Range check error"}));
        FreeSession(session);
    }
}

// ---------------------------------------------------------------------------
// The peer ending the connection

using SockSessionPeerEnd = TSessionTest;

TEST_F(SockSessionPeerEnd, PeerCloseLeavesItsBytesInInStreamAndDisconnects) {
    for (std::size_t size : {std::size_t{3}, std::size_t{300000}}) {
        SCOPED_TRACE(size);
        TSockSession* session = NewSession();
        TEventLog& log = Watch(session);
        TPeer peer = ConnectPair(session);
        const std::string bytes = PatternBytes(size);
        RunPeer([peer = std::move(peer), bytes]() mutable {
            peer.Send(bytes);
            peer.Close();
        });
        ASSERT_TRUE(PumpUntil([&] { return log.Count("Disconnect") > 0; }));
        EXPECT_FALSE(session->Connected);
        EXPECT_EQ(log.Events, (std::vector<std::string>{"Connect", "Disconnect"}));
        EXPECT_TRUE(SessionText(session->InStream) == bytes) << "InStream holds " << session->InStream->Size();
        EXPECT_NE(session->SocketHandle, NoSocketHandle) << "no fresh socket";
    }
}

// A full block makes the session read again at once. After two blocks and a
// reset that second read fails; after one block with the peer still there it
// only finds nothing to read yet, which is no error.
TEST_F(SockSessionPeerEnd, FailedReadReachesOnErrorAndAnEmptyOneDoesNot) {
    struct Case {
        const char* Name;
        std::size_t Size;
        bool Reset;
        std::vector<std::string> Events;
    };
    const Case cases[] = {
        {"reset", 2 * SocketBlockSize, true, {"Connect", "Error 10054 Unknown Error No. 10054", "Disconnect"}},
        {"still open", SocketBlockSize, false, {"Connect"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TSockSession* session = NewSession();
        TEventLog& log = Watch(session);
        TPeer peer = ConnectPair(session);
        const std::string bytes = PatternBytes(c.Size);
        ASSERT_TRUE(peer.Send(bytes));
        if (c.Reset) peer.Reset();
        ASSERT_TRUE(PumpUntil([&] { return session->InStream->Size() == static_cast<std::int64_t>(c.Size); }));
        PumpUntil([] { return false; }, 100);
        EXPECT_EQ(log.Events, c.Events);
        EXPECT_TRUE(SessionText(session->InStream) == bytes);
        FreeSession(session);
    }
}

TEST_F(SockSessionPeerEnd, SessionFreedWhileConnectedFiresOnDisconnectAndClosesTheConnection) {
    TSockSession* session = NewSession();
    TEventLog& log = Watch(session);
    TPeer peer = ConnectPair(session);
    FreeSession(session);
    EXPECT_EQ(log.Events, (std::vector<std::string>{"Connect", "Disconnect"}));
    char byte;
    EXPECT_LE(WinSock::recv(peer.Handle(), &byte, 1, 0), 0);
}

// ---------------------------------------------------------------------------
// Line I/O on a connected session

class SockSessionLines : public TSessionTest {
protected:
    void SetUp() override {
        TSessionTest::SetUp();
        Session = NewSession();
        Log = &Watch(Session);
        Peer = ConnectPair(Session);
        ASSERT_TRUE(Peer.Open());
    }

    void TearDown() override {
        Peer.Close();
        TSessionTest::TearDown();
    }

    TSockSession* Session = nullptr;
    TEventLog* Log = nullptr;
    TPeer Peer;
};

TEST_F(SockSessionLines, ReadLnReturnsOneLineWithItsEnding) {
    struct Case {
        const char* Name;
        std::vector<std::string> Pieces;  // sent 30 ms apart while ReadLn waits
        std::vector<std::string> Lines;
    };
    const Case cases[] = {
        {"split across packets", {"220 he", "llo wor", "ld\r\n"}, {"220 hello world\r\n"}},
        {"bare LF", {"one\ntwo\r\n"}, {"one\n", "two\r\n"}},
        {"NUL inside", {std::string("a\0b\0\r\n", 6)}, {std::string("a\0b\0\r\n", 6)}},
        {"empty line", {"\r\n\n"}, {"\r\n", "\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        for (std::size_t i = 0; i < c.Pieces.size(); ++i) {
            After(static_cast<unsigned>(30 * i + 1), [this, piece = c.Pieces[i]] { Peer.Send(piece); });
        }
        for (const std::string& line : c.Lines) EXPECT_EQ(Session->ReadLn(), line);
        EXPECT_EQ(Session->InStream->Size(), 0);
    }
}

TEST_F(SockSessionLines, SecondBufferedLineComesWithoutWaiting) {
    ASSERT_TRUE(Peer.Send("first\r\nsecond\r\nthird"));
    EXPECT_EQ(Session->ReadLn(), "first\r\n");
    ASSERT_TRUE(PumpUntil([&] { return SessionText(Session->InStream) == "second\r\nthird"; }));
    TPumpProbe probe;
    EXPECT_EQ(Session->ReadLn(), "second\r\n");
    EXPECT_FALSE(probe.Pumped()) << "ReadLn waited with a line buffered";
    EXPECT_EQ(SessionText(Session->InStream), "third");
}

TEST_F(SockSessionLines, ReadTakesExactlyTheCountAsked) {
    TPumpProbe probe;
    EXPECT_EQ(Session->Read(0), "");
    EXPECT_FALSE(probe.Pumped()) << "Read(0) waited";

    ASSERT_TRUE(Peer.Send("abc"));
    ASSERT_TRUE(PumpUntil([&] { return Session->InStream->Size() == 3; }));
    After(50, [this] { Peer.Send("defgh"); });
    EXPECT_EQ(Session->Read(5), "abcde");
    EXPECT_EQ(Session->Read(0), "fgh");
    EXPECT_EQ(Session->InStream->Size(), 0);
}

TEST_F(SockSessionLines, TransactionTakesTheReplyCodeFromLeadingDigits) {
    struct Case {
        std::string Reply;
        std::string Error;  // a range error, or empty
        std::int16_t Code;
    };
    const Case cases[] = {
        {"220 Service ready\r\n", "", 220},
        {"0421 x\r\n", "", 421},
        {"abc 123\r\n", "", 0},
        {"530 x\r\n", "", 530},
        {"32767 x\r\n", "", 32767},
        {"32768 x\r\n", "Range check error", 0},
        {"99999 x\r\n", "Range check error", 0},
        {"99999999999 x\r\n", "", 0},  // ten digits taken, too large for a code: none
        {"\r\n", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Reply);
        Session->ReplyCode = 7;
        ASSERT_TRUE(Peer.Send(c.Reply));
        std::string line;
        TRaised raised = RaisedBy([&] { line = Session->Transaction("NOOP"); });
        EXPECT_EQ(Peer.Receive(6), "NOOP\r\n");
        if (c.Error.empty()) {
            EXPECT_EQ(raised, TRaised{});
            EXPECT_EQ(line, c.Reply);
        } else {
            EXPECT_EQ(raised, (TRaised{"ERangeError", c.Error}));
        }
        EXPECT_EQ(Session->ReplyLine, c.Reply);
        EXPECT_EQ(Session->ReplyCode, c.Code);
    }
}

TEST_F(SockSessionLines, WritelnPutsTheTextAndLineEndOnTheWire) {
    struct Case {
        std::string Text;
        std::string Wire;
    };
    const std::string longest(16383, 'L');
    const std::string tooLong(16384, 'T');
    const Case cases[] = {
        {"QUIT", "QUIT\r\n"},
        {longest, longest + "\r\n"},
        {tooLong, tooLong + "\r"},  // the text buffer holds 16385 characters
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text.size());
        Session->Writeln(c.Text);
        Session->Writeln("END");
        EXPECT_TRUE(Peer.ReceiveUntil("END\r\n") == c.Wire);
    }
}

TEST_F(SockSessionLines, CancelledReadLnKeepsFailingUntilCanceledIsCleared) {
    After(50, [this] { Session->Cancel(); });
    EXPECT_EQ(RaisedBy([&] { Session->ReadLn(); }), (TRaised{"EAbortError", "Socket readln aborted"}));
    EXPECT_TRUE(Session->Canceled);

    ASSERT_TRUE(Peer.Send("ready\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return Session->InStream->Size() == 7; }));
    EXPECT_EQ(RaisedBy([&] { Session->ReadLn(); }), (TRaised{"EAbortError", "Socket readln aborted"}));
    Session->Canceled = false;
    EXPECT_EQ(Session->ReadLn(), "ready\r\n");
}

// Lines already buffered still come out after the close; the wait for one
// more ends with the close, whether it came before the wait or during it.
TEST_F(SockSessionLines, PeerClosingEndsReadLnAfterTheBufferedLines) {
    for (bool closeAtOnce : {true, false}) {
        SCOPED_TRACE(closeAtOnce ? "closed before the first ReadLn" : "closed while ReadLn waits");
        TSockSession* session = NewSession();
        TEventLog& log = Watch(session);
        TPeer peer = ConnectPair(session);
        ASSERT_TRUE(peer.Send("one\r\ntwo\r\npart"));
        if (closeAtOnce) {
            peer.Close();
        } else {
            After(50, [&peer] { peer.Close(); });
        }
        EXPECT_EQ(session->ReadLn(), "one\r\n");
        EXPECT_EQ(session->ReadLn(), "two\r\n");
        EXPECT_EQ(RaisedBy([&] { session->ReadLn(); }), (TRaised{"ESockError", "Connection Closed"}));
        EXPECT_FALSE(session->Connected);
        EXPECT_EQ(log.Events, (std::vector<std::string>{"Connect", "Disconnect"}));
        EXPECT_EQ(SessionText(session->InStream), "part");
        FreeSession(session);
    }
}

TEST_F(SockSessionLines, OverlongReplyLineClosesTheConnection) {
    RunPeer([peer = std::move(Peer)]() mutable {
        peer.Send(std::string(70000, 'x'));
        peer.ReceiveUntilClosed();
    });
    EXPECT_EQ(RaisedBy([&] { Session->ReadLn(); }), (TRaised{"ESockError", "Reply Line Too Long"}));
    EXPECT_FALSE(Session->Connected);
    EXPECT_EQ(Log->Count("Disconnect"), 1u);
}

TEST_F(SockSessionLines, UnreadTextIsBoundedByClosingTheConnection) {
    RunPeer([peer = std::move(Peer)]() mutable { peer.Send(std::string(8 << 20, 'y')); });
    ASSERT_TRUE(PumpUntil([&] { return !Session->Connected; }));
    EXPECT_LE(Session->InStream->Size(), TSockSession::MaxBufferedText + SocketBlockSize);
    EXPECT_EQ(Log->Count("Disconnect"), 1u);
}

// A command that could not be sent is dropped: it must not go out first on
// the next connection.
TEST_F(SockSessionLines, TextThatFailedToGoOutNeverReachesALaterConnection) {
    Peer.Close();
    ASSERT_TRUE(PumpUntil([&] { return !Session->Connected; }));
    EXPECT_EQ(RaisedBy([&] { Session->Writeln("USER stale"); }), (TRaised{"ESockError", "Connection Closed"}));

    TPeer next = ConnectPair(Session);
    Session->Writeln("USER fresh");
    Session->Writeln("END");
    EXPECT_EQ(next.ReceiveUntil("END\r\n"), "USER fresh\r\n");
}

}  // namespace
