// The socket session as a data channel: the PORT texts, listening and
// accepting, and whole files sent and captured over a loopback connection
// made the way the FTP client makes one, compared byte for byte with what a
// plain blocking peer socket of the test sent or received.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "SessionTestKit.h"
#include "SockSession.h"

using namespace SessionKit;

namespace {

// A scratch folder of the test's own, removed with what it holds.
class TScratch {
public:
    TScratch() {
        char pattern[] = "/tmp/sock_transfer_XXXXXX";
        FPath = mkdtemp(pattern) ? pattern : "";
    }
    ~TScratch() {
        for (const std::string& name : FNames) std::remove((FPath + "/" + name).c_str());
        rmdir(FPath.c_str());
    }
    std::string File(const std::string& name) {
        FNames.push_back(name);
        return FPath + "/" + name;
    }

private:
    std::string FPath;
    std::vector<std::string> FNames;
};

// The packet events of a transfer: who sent them and the count each time.
struct TPackets {
    std::vector<std::int32_t> Counts;
    bool OtherSender = false;

    void Hook(TSockSession* session, bool sending) {
        auto record = [this, session, sending](TObject* sender) {
            if (sender != session) OtherSender = true;
            Counts.push_back(sending ? session->BytesSent : session->BytesRecvd);
        };
        if (sending) {
            session->OnPacketSent = record;
        } else {
            session->OnPacketRecvd = record;
        }
    }

    // Every event reports more bytes than the one before, none more than a block.
    bool Ascending() const {
        std::int32_t last = 0;
        for (std::int32_t count : Counts) {
            if (count <= last || count - last > SocketBlockSize) return false;
            last = count;
        }
        return true;
    }
};

class SockTransfer : public TSessionTest {
protected:
    TScratch Scratch;
};

// ---------------------------------------------------------------------------
// Listening, accepting and the PORT texts

TEST_F(SockTransfer, PortNumberTextIsTheTwoPortBytes) {
    struct Case {
        int Port;
        std::string Text;
    };
    const Case cases[] = {{1061, ",4,37"}, {255, ",0,255"}, {256, ",1,0"}, {65535, ",255,255"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Port);
        TSockSession* session = NewSession();
        session->Port = c.Port;
        session->Listen(true);
        ASSERT_EQ(LocalPort(session->SocketHandle), c.Port) << "port taken by something else";
        EXPECT_EQ(session->GetPortNumber(), c.Text);
        EXPECT_EQ(session->GetPortAddress(), "0,0,0,0");
        FreeSession(session);
    }

    TSockSession* session = NewSession();
    TPeer peer = ConnectPair(session);
    EXPECT_EQ(session->GetPortAddress(), "127,0,0,1");
    const int port = LocalPort(session->SocketHandle);
    EXPECT_EQ(session->GetPortNumber(), "," + std::to_string(port / 256) + "," + std::to_string(port % 256));
}

TEST_F(SockTransfer, AcceptReturnsTheIncomingConnection) {
    TSockSession* session = NewSession();
    session->Port = 0;
    session->Listen(true);
    TPeer peer = ConnectTo(LocalPort(session->SocketHandle));
    const std::uint16_t listening = session->SocketHandle;
    const std::uint16_t accepted = session->Accept();
    EXPECT_NE(accepted, listening);
    EXPECT_TRUE(session->Connected);
    EXPECT_EQ(WinSock::inet_ntoa(session->SockAddr.sin_addr), std::string("127.0.0.1"));
    EXPECT_EQ(WinSock::ntohs(session->SockAddr.sin_port), LocalPort(peer.Handle()));
    // The accepted handle is a working connection to the peer.
    ASSERT_EQ(WinSock::send(accepted, "hi", 2, 0), 2);
    EXPECT_EQ(peer.Receive(2), "hi");
    WinSock::closesocket(accepted);
}

TEST_F(SockTransfer, CancelBeforeAnyoneConnectsEndsAccept) {
    TSockSession* session = NewSession();
    session->Port = 0;
    session->Listen(true);
    After(50, [session] { session->Cancel(); });
    EXPECT_EQ(RaisedBy([&] { session->Accept(); }), (TRaised{"ESockError", "Accepting Canceled"}));
    EXPECT_TRUE(session->Canceled);
}

// ---------------------------------------------------------------------------
// Whole files

struct TSizeCase {
    std::size_t Size;
    bool Sending;
};

void PrintTo(const TSizeCase& c, std::ostream* out) { *out << (c.Sending ? "SendFile " : "CaptureFile ") << c.Size; }

class SockTransferSizes : public SockTransfer, public ::testing::WithParamInterface<TSizeCase> {};

TEST_P(SockTransferSizes, FileArrivesWholeAndEveryBlockIsReported) {
    const TSizeCase& c = GetParam();
    const std::string source = PatternBytes(c.Size, static_cast<std::uint32_t>(c.Size));
    TSockSession* session = NewSession();
    TPeer peer = DataPair(session);
    TPackets packets;
    packets.Hook(session, c.Sending);
    const std::string path = Scratch.File("file");
    const std::size_t blocks = (c.Size + SocketBlockSize - 1) / SocketBlockSize;

    if (c.Sending) {
        WriteFileBytes(path, source);
        auto received = std::make_shared<std::string>();
        RunPeer([received, peer = std::move(peer)]() mutable { *received = peer.ReceiveUntilClosed(); });
        TPumpProbe probe;
        session->SendFile(path);
        if (c.Size == 0) {
            EXPECT_FALSE(probe.Pumped()) << "an empty file waited";
        }
        EXPECT_EQ(session->BytesSent, static_cast<std::int32_t>(c.Size));
        EXPECT_EQ(session->BytesTotal, static_cast<std::int32_t>(c.Size));
        // Closed as the FTP client closes it, so what the system holds still goes out.
        WinSock::linger option{0, 0};
        WinSock::setsockopt(session->SocketHandle, WinSock::SOL_SOCKET, WinSock::SO_LINGER,
                            reinterpret_cast<const char*>(&option), sizeof option);
        session->RequestCloseSocket();
        JoinPeers();
        EXPECT_TRUE(*received == source) << "received " << received->size() << " of " << c.Size << " bytes";
    } else {
        RunPeer([source, peer = std::move(peer)]() mutable { peer.Send(source); });
        session->CaptureFile(path);
        EXPECT_LE(session->BytesRecvd, static_cast<std::int32_t>(c.Size));
        EXPECT_FALSE(session->Connected);
        EXPECT_TRUE(ReadFileBytes(path) == source) << "captured " << ReadFileBytes(path).size() << " of " << c.Size;
    }
    EXPECT_FALSE(session->TransferActive);
    EXPECT_FALSE(packets.OtherSender);
    EXPECT_TRUE(packets.Ascending()) << ::testing::PrintToString(packets.Counts);
    EXPECT_GE(packets.Counts.size(), c.Sending ? blocks : (c.Size > 0 ? 1 : 0));
    if (!packets.Counts.empty()) {
        EXPECT_EQ(packets.Counts.back(), c.Sending ? static_cast<std::int32_t>(c.Size) : session->BytesRecvd);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, SockTransferSizes,
                         ::testing::ValuesIn([] {
                             std::vector<TSizeCase> cases;
                             for (bool sending : {true, false}) {
                                 for (std::size_t size : {0, 1, 16383, 16384, 5 * 1024 * 1024 + 3}) {
                                     cases.push_back({size, sending});
                                 }
                             }
                             return cases;
                         }()));

TEST_F(SockTransfer, BytesThatCameBeforeCaptureStartTheFileAndAreCounted) {
    TSockSession* session = NewSession();
    TPeer peer = DataPair(session);
    ASSERT_TRUE(peer.Send("early"));
    ASSERT_TRUE(PumpUntil([&] { return session->InStream->Size() == 5; }));
    const std::string rest = PatternBytes(100000);
    RunPeer([rest, peer = std::move(peer)]() mutable { peer.Send(rest); });
    const std::string path = Scratch.File("early");
    session->CaptureFile(path);
    EXPECT_TRUE(ReadFileBytes(path) == "early" + rest);
    EXPECT_GE(session->BytesRecvd, 5);
    EXPECT_LE(session->BytesRecvd, static_cast<std::int32_t>(5 + rest.size()));
    EXPECT_EQ(session->InStream->Size(), 0);
}

TEST_F(SockTransfer, CancelEndsTheTransferPromptly) {
    auto source = std::make_shared<const std::string>(PatternBytes(64 << 20));
    for (bool sending : {true, false}) {
        SCOPED_TRACE(sending ? "SendFile" : "CaptureFile");
        TSockSession* session = NewSession();
        TPeer peer = DataPair(session);
        int packets = 0;
        auto cancelAtThird = [&packets, session](TObject*) {
            if (++packets == 3) session->Cancel();
        };
        const std::string path = Scratch.File(sending ? "cancel-send" : "cancel-capture");
        TRaised raised;
        if (sending) {
            WriteFileBytes(path, *source);
            session->OnPacketSent = cancelAtThird;
            RunPeer([peer = std::move(peer)]() mutable { peer.ReceiveUntilClosed(); });
            raised = RaisedBy([&] { session->SendFile(path); });
            EXPECT_LT(session->BytesSent, 1 << 20);
        } else {
            session->OnPacketRecvd = cancelAtThird;
            RunPeer([source, peer = std::move(peer)]() mutable { peer.Send(*source); });
            raised = RaisedBy([&] { session->CaptureFile(path); });
            // The partial file stays, with every byte counted so far.
            const std::string partial = ReadFileBytes(path);
            EXPECT_EQ(partial.size(), static_cast<std::size_t>(session->BytesRecvd));
            EXPECT_TRUE(source->compare(0, partial.size(), partial) == 0);
            EXPECT_LT(session->BytesRecvd, 1 << 20);
        }
        EXPECT_EQ(raised, (TRaised{"EAbortError", "Socket send aborted"}));
        EXPECT_FALSE(session->Canceled);
        EXPECT_FALSE(session->TransferActive);
        FreeSession(session);
        JoinPeers();
    }
}

// The 32-bit byte counts wrap past 2 GiB; the file must still go out once,
// whole, and the transfer end. A sparse file keeps this cheap: it reads as
// zeros, and the peer only counts them.
TEST_F(SockTransfer, FileLargerThan2GiBGoesOutOnce) {
    constexpr std::int64_t size = (std::int64_t{2} << 30) + 100000;
    const std::string path = Scratch.File("sparse");
    WriteFileBytes(path, "");
    ASSERT_EQ(truncate(path.c_str(), size), 0);
    ArmWatchdog(300000);
    TSockSession* session = NewSession();
    TPeer peer = DataPair(session);
    auto counted = std::make_shared<std::int64_t>(-1);
    RunPeer([counted, peer = std::move(peer)]() mutable {
        std::int64_t total = 0;
        std::vector<char> block(1 << 20);
        for (;;) {
            int got = WinSock::recv(peer.Handle(), block.data(), static_cast<int>(block.size()), 0);
            if (got <= 0) break;
            if (std::any_of(block.begin(), block.begin() + got, [](char c) { return c != 0; })) return;
            total += got;
            // Stops a sender that starts over instead of ending.
            if (total > size) return;
        }
        *counted = total;
    });
    session->SendFile(path);
    EXPECT_EQ(static_cast<std::uint32_t>(session->BytesSent), static_cast<std::uint32_t>(size));
    WinSock::linger option{0, 0};
    WinSock::setsockopt(session->SocketHandle, WinSock::SOL_SOCKET, WinSock::SO_LINGER,
                        reinterpret_cast<const char*>(&option), sizeof option);
    session->RequestCloseSocket();
    JoinPeers();
    EXPECT_EQ(*counted, size);
}

TEST_F(SockTransfer, PeerResetDuringSendFileRaises) {
    const std::string path = Scratch.File("reset");
    WriteFileBytes(path, PatternBytes(32 << 20));
    TSockSession* session = NewSession();
    TPeer peer = DataPair(session);
    RunPeer([peer = std::move(peer)]() mutable {
        peer.Receive(100000);
        peer.Reset();
    });
    TRaised raised = RaisedBy([&] { session->SendFile(path); });
    EXPECT_EQ(raised.Type, "ESockError") << raised.Message;
    EXPECT_LT(session->BytesSent, 32 << 20);
    EXPECT_FALSE(session->TransferActive);
}

TEST_F(SockTransfer, FileThatCannotBeOpenedOrCreated) {
    TSockSession* session = NewSession();
    TPeer peer = DataPair(session);
    TStream* text = session->InStream;
    const std::string missing = Scratch.File("missing");
    const std::string unmakeable = Scratch.File("no-such-folder") + "/file";
    EXPECT_EQ(RaisedBy([&] { session->SendFile(missing); }),
              (TRaised{"EStreamError", "Cannot open file " + missing}));
    EXPECT_EQ(RaisedBy([&] { session->CaptureFile(unmakeable); }),
              (TRaised{"EStreamError", "Cannot create file " + unmakeable}));
    EXPECT_FALSE(session->TransferActive);
    EXPECT_EQ(session->InStream, text);
    // The connection still carries text.
    session->Writeln("STILL HERE");
    EXPECT_EQ(peer.Receive(12), "STILL HERE\r\n");
}

}  // namespace
