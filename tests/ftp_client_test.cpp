// The FTP client against the scripted fake server: each test is a dialogue,
// and most assert the exact transcript of commands the server received.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Application.h"
#include "FakeFtpServer.h"
#include "FtpClient.h"
#include "RendererScripted.h"
#include "WinSock.h"
#include "Windows.h"

using namespace std::chrono_literals;
using Commands = std::vector<std::string>;

namespace {

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
    return bytes;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool FileExists(const std::string& path) { return std::ifstream(path).good(); }

// Cancels the client (and its data connection) from another thread when a
// test runs too long, so a wait that never ends fails instead of hanging.
class TClientWatchdog {
public:
    TClientWatchdog(TFtpClient& client, std::chrono::milliseconds limit)
        : Thread([this, &client, limit] {
              std::unique_lock<std::mutex> lock(Lock);
              std::chrono::milliseconds wait = limit;
              while (!Changed.wait_for(lock, wait, [this] { return Stopped; })) {
                  Expired = true;
                  Platform::PostCall([&client] {
                      client.Cancel();
                      client.Abort();
                  });
                  wait = 200ms;
              }
          }) {}
    ~TClientWatchdog() {
        {
            std::lock_guard<std::mutex> guard(Lock);
            Stopped = true;
        }
        Changed.notify_all();
        Thread.join();
        if (Expired) ADD_FAILURE() << "the watchdog had to cancel a wait that did not end";
    }

private:
    std::mutex Lock;
    std::condition_variable Changed;
    bool Stopped = false;
    std::atomic<bool> Expired = false;
    std::thread Thread;
};

class FtpClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Application->Initialize(std::make_unique<TScriptedRenderer>()); }

    void SetUp() override {
        Client = std::make_unique<TFtpClient>(nullptr);
        Client->Host = "127.0.0.1";
        Client->Port = Server.Port();
        Client->UserID = "u";
        Client->Password = "p";
        Client->ReportLevel = 1;
        Client->OnStatus = [this](TObject*, const std::string& text) { Status.push_back(text); };
        Watchdog = std::make_unique<TClientWatchdog>(*Client, 15s);
        Local = "/dev/shm/tavix-ftp-client-test-" + std::to_string(::getpid()) + ".bin";
        std::remove(Local.c_str());
    }

    void TearDown() override {
        Watchdog.reset();
        Client.reset();
        std::remove(Local.c_str());
        EXPECT_EQ(WinSock::OpenSocketCount(), 0u);
        EXPECT_TRUE(Server.Errors().empty()) << Server.Errors().front();
    }

    void ScriptLogin() {
        Server.On("USER u").Send("331 Password required\r\n");
        Server.On("PASS p").Send("230 Logged in\r\n");
    }

    bool StatusSeen(const std::string& text) const {
        return std::find(Status.begin(), Status.end(), text) != Status.end();
    }

    TFakeFtpServer Server;
    std::unique_ptr<TFtpClient> Client;
    std::unique_ptr<TClientWatchdog> Watchdog;
    std::vector<std::string> Status;
    std::string Local;
};

// ---------------------------------------------------------------------------
// Logging in

TEST_F(FtpClientTest, MultiLineGreetingIsReadBeforeUserAndLoginFiresOnConnect) {
    Server.OnConnect().Send("220-Welcome\r\n220-to the test\r\n").Pause(30ms).Send("220 ready\r\n");
    ScriptLogin();
    int logins = 0;
    Client->OnConnect = [&](TObject* sender) {
        EXPECT_EQ(sender, Client.get());
        ++logins;
    };
    Client->Connect();
    EXPECT_EQ(logins, 1);
    EXPECT_TRUE(Client->Connected);
    EXPECT_TRUE(StatusSeen("220 ready\r\n"));
    EXPECT_TRUE(StatusSeen("USER u"));
    EXPECT_TRUE(StatusSeen("PASS "));

    Client->Connect();  // already connected: nothing is sent, no event
    EXPECT_EQ(logins, 1);
    Client->Disconnect();
    EXPECT_EQ(Server.Commands(), (Commands{"USER u", "PASS p", "QUIT"}));
}

TEST_F(FtpClientTest, RepliesToUserDecideWhetherPassIsSent) {
    struct Case {
        const char* Greeting;
        const char* UserReply;
        Commands Expected;
    };
    const Case cases[] = {
        {"421 Too many users\r\n", "331 ok\r\n", {"USER u", "PASS p", "QUIT"}},  // the greeting is not judged
        {"220 hi\r\n", "230 No password needed\r\n", {"USER u", "QUIT"}},
        {"220 hi\r\n", "332 Need account\r\n", {"USER u", "QUIT"}},
        {"220 hi\r\n", "400 Odd but not a refusal\r\n", {"USER u", "QUIT"}},
    };
    for (const Case& c : cases) {
        TFakeFtpServer server;
        server.OnConnect().Send(c.Greeting);
        server.On("USER u").Send(c.UserReply);
        server.On("PASS p").Send("230 in\r\n");
        Client->Port = server.Port();
        bool opened = false;
        Client->OnConnect = [&](TObject*) { opened = true; };
        Client->Connect();
        Client->Disconnect();
        EXPECT_TRUE(opened) << c.UserReply;
        EXPECT_EQ(server.Commands(), c.Expected) << c.UserReply;
    }
}

TEST_F(FtpClientTest, RefusedPasswordRaisesTheReplyLineAfterQuitAndClose) {
    ScriptLogin();
    Server.On("PASS p").Send("530 Login incorrect.\r\n");
    Server.On("USER u").Send("331 Password required\r\n");
    Server.On("PASS p").Send("530 Login incorrect.\r\n");  // the first PASS script is taken above
    int closes = 0;
    Client->OnDisconnect = [&](TObject*) { ++closes; };
    bool opened = false;
    Client->OnConnect = [&](TObject*) { opened = true; };
    try {
        Client->Connect();
        Client->Disconnect();
        Client->Connect();
        FAIL() << "the second login should be refused";
    } catch (const FTPException& error) {
        EXPECT_EQ(error.Message(), "530 Login incorrect.\r\n");
    }
    EXPECT_FALSE(Client->Connected);
    EXPECT_TRUE(StatusSeen("Disconnected"));
    EXPECT_EQ(Server.Commands(), (Commands{"USER u", "PASS p", "QUIT", "USER u", "PASS p", "QUIT"}));
    EXPECT_GE(closes, 2);
    EXPECT_TRUE(opened);
}

TEST_F(FtpClientTest, RefusedConnectionRaisesWithoutQuit) {
    std::uint16_t closedPort;
    {
        TFakeFtpServer gone;
        closedPort = gone.Port();
    }
    Client->Port = closedPort;
    EXPECT_THROW(Client->Connect(), ESockError);
    EXPECT_FALSE(StatusSeen("Disconnected"));
    EXPECT_FALSE(StatusSeen("QUIT"));
}

// ---------------------------------------------------------------------------
// Replies and commands

TEST_F(FtpClientTest, ReplySplitAcrossPacketsIsReadWhole) {
    Server.OnConnect().Send("2").Pause(40ms).Send("20 split gre").Pause(40ms).Send("eting\r\n");
    ScriptLogin();
    Server.On("TYPE I").Send("20").Pause(40ms).Send("0 Binary\r\n");
    Client->Connect();
    Client->Mode(2);
    EXPECT_EQ(Client->ReplyCode, 200);
    EXPECT_EQ(Client->ReplyLine, "200 Binary\r\n");
    EXPECT_TRUE(StatusSeen("220 split greeting\r\n"));
}

TEST_F(FtpClientTest, ContinuationEndsAtALineStartingWithALetterAndTheRestIsDiscarded) {
    Server.On("USER u").Send("230-Welcome\r\nletters end it\r\n230 done\r\n");
    Server.On("TYPE I").Pause(100ms).Send("200 Binary\r\n");
    Client->Connect();
    Client->Mode(2);
    EXPECT_EQ(Client->ReplyLine, "200 Binary\r\n");
    Client->Disconnect();
    EXPECT_EQ(Server.Commands(), (Commands{"USER u", "TYPE I", "QUIT"}));
}

TEST_F(FtpClientTest, ModeSendsTheTypeAndJudgesTheReply) {
    ScriptLogin();
    Server.On("TYPE A").Send("200 ASCII\r\n");
    Server.On("TYPE I").Send("504 Not for this type\r\n");
    Server.On("TYPE L 8").Send("500 Unknown\r\n");
    Client->Connect();
    std::vector<TCmdType> unsupported;
    Client->OnUnSupportedFunction = [&](TCmdType type) { unsupported.push_back(type); };
    std::vector<TCmdType> succeeded;
    Client->OnSuccess = [&](TCmdType type) { succeeded.push_back(type); };

    Client->Mode(1);
    Client->Mode(7);  // nothing is sent
    EXPECT_THROW(Client->Mode(2), FTPException);
    try {
        Client->Mode(3);
        FAIL();
    } catch (const FTPException& error) {
        EXPECT_EQ(error.Message(), "500 Unknown\r\n");
    }
    EXPECT_EQ(succeeded, std::vector<TCmdType>{TCmdType::cmdDoCommand});
    EXPECT_EQ(unsupported, std::vector<TCmdType>{TCmdType::cmdDoCommand});
    EXPECT_EQ(Server.Commands(), (Commands{"USER u", "PASS p", "TYPE A", "TYPE I", "TYPE L 8"}));
}

TEST_F(FtpClientTest, FailureHandlerCanKeepACommandFromRaising) {
    ScriptLogin();
    Server.On("TYPE I").Send("550 Refused\r\n");
    Client->Connect();
    Client->OnFailure = [](bool& handled, TCmdType type) {
        EXPECT_EQ(type, TCmdType::cmdDoCommand);
        handled = true;
    };
    EXPECT_NO_THROW(Client->Mode(2));
    EXPECT_EQ(Client->ReplyCode, 550);
}

TEST_F(FtpClientTest, QuitRepliesAndAServerThatAlreadyLeft) {
    ScriptLogin();
    Server.On("QUIT").Send("500 Not now\r\n");
    int closes = 0;
    Client->OnDisconnect = [&](TObject*) { ++closes; };
    Client->Connect();
    EXPECT_THROW(Client->Disconnect(), FTPException);
    EXPECT_FALSE(Client->Connected);
    EXPECT_EQ(closes, 1);

    // A server that closes the control connection leaves nothing to quit.
    Server.On("USER u").Send("331 ok\r\n");
    Server.On("PASS p").Send("230 in\r\n").CloseControl();
    Client->Connect();
    ASSERT_TRUE(Server.WaitForClosedConnections(2, 5s));
    std::uint64_t deadline = GetTickCount64() + 5000;
    while (Client->Connected && GetTickCount64() < deadline) {
        Platform::WaitForInput(10);
        Platform::DispatchPending();
    }
    EXPECT_FALSE(Client->Connected);
    int closesBefore = closes;
    Client->Disconnect();
    EXPECT_EQ(closes, closesBefore);
    EXPECT_EQ(Server.Commands(), (Commands{"USER u", "PASS p", "QUIT", "USER u", "PASS p"}));
}

TEST_F(FtpClientTest, ReplyLineLongerThanTheLimitFailsInsteadOfGrowing) {
    Server.OnConnect().Send("220 " + std::string(TSockSession::MaxLineLength + 10, 'x'));
    try {
        Client->Connect();
        FAIL() << "a greeting without end must not log in";
    } catch (const ESockError& error) {
        EXPECT_EQ(error.Message(), "Reply Line Too Long");
    }
    EXPECT_FALSE(Client->Connected);
}

// ---------------------------------------------------------------------------
// Downloads

TEST_F(FtpClientTest, DownloadTranscriptFileAndEvents) {
    const std::string file = Pattern(3 * 16383 + 77);
    ScriptLogin();
    Server.On("TYPE I").Send("200 Binary\r\n");
    Server.On("PORT").Send("200 PORT ok\r\n");
    Server.On("RETR /pub/a.bin")
        .Send("150 Opening BINARY mode data connection for a.bin (" + std::to_string(file.size()) + " bytes)\r\n")
        .SendFile(file)
        .Send("226 Transfer complete\r\n");
    std::vector<std::string> events;
    int packets = 0;
    Client->OnTransactionStart = [&](TObject*) { events.push_back("start " + std::to_string(Client->BytesTotal)); };
    Client->OnPacketRecvd = [&](TObject* sender) {
        EXPECT_EQ(sender, Client->DataSocket);
        ++packets;
    };
    Client->OnTransactionStop = [&](TObject*) { events.push_back("stop"); };
    Client->OnSuccess = [&](TCmdType type) { events.push_back("success " + std::to_string(static_cast<int>(type))); };

    Client->Connect();
    Client->Mode(2);
    events.clear();  // TYPE I succeeded with type 14; the download's own events follow
    Client->Download("/pub/a.bin", Local);
    std::uint16_t portSeen = 0;
    {
        Commands commands = Server.Commands();
        ASSERT_EQ(commands.size(), 5u);
        int a, b, c, d, p1, p2;
        ASSERT_EQ(std::sscanf(commands[3].c_str(), "PORT %d,%d,%d,%d,%d,%d", &a, &b, &c, &d, &p1, &p2), 6);
        EXPECT_EQ(commands[3].substr(0, 14), "PORT 127,0,0,1");
        portSeen = static_cast<std::uint16_t>(p1 * 256 + p2);
    }
    Client->Disconnect();
    EXPECT_NE(portSeen, 0);
    EXPECT_EQ(Server.Commands()[4], "RETR /pub/a.bin");
    EXPECT_EQ(Server.Commands().back(), "QUIT");
    EXPECT_EQ(ReadFile(Local), file);
    EXPECT_EQ(events, (std::vector<std::string>{"start " + std::to_string(file.size()), "stop", "success 8"}));
    EXPECT_GT(packets, 0);
    EXPECT_LE(Client->BytesTotal, static_cast<std::int32_t>(file.size()));
    EXPECT_EQ(Client->DataSocket, nullptr);
    EXPECT_TRUE(StatusSeen("RETR /pub/a.bin"));
    EXPECT_TRUE(StatusSeen("226 Transfer complete\r\n"));
}

TEST_F(FtpClientTest, SizeOnTheSecondLineOfAMultiLine150) {
    ScriptLogin();
    Server.On("PORT").Send("200 ok\r\n");
    Server.On("RETR x")
        .Send("150-Opening data connection\r\n data2.bin (512 Bytes)\r\n later 999 bytes\r\n150 go\r\n")
        .SendFile(Pattern(512))
        .Send("226 done\r\n");
    std::int32_t announced = -1;
    Client->OnTransactionStart = [&](TObject*) { announced = Client->BytesTotal; };
    Client->Connect();
    Client->Download("x", Local);
    EXPECT_EQ(announced, 512);
    EXPECT_EQ(ReadFile(Local), Pattern(512));
}

TEST_F(FtpClientTest, DataConnectionClosedWithoutAByteGivesAnEmptyFile) {
    ScriptLogin();
    Server.On("PORT").Send("200 ok\r\n");
    Server.On("RETR empty").Send("150 Opening\r\n").SendFile("").Send("226 done\r\n");
    bool success = false;
    Client->OnSuccess = [&](TCmdType) { success = true; };
    Client->Connect();
    Client->Download("empty", Local);
    EXPECT_TRUE(FileExists(Local));
    EXPECT_EQ(ReadFile(Local), "");
    EXPECT_EQ(Client->BytesTotal, 0);
    EXPECT_TRUE(StatusSeen("Received 0 Bytes"));
    EXPECT_TRUE(success);
}

TEST_F(FtpClientTest, ControlRepliesThatEndATransfer) {
    // Each of these is a failed attempt, reported with the server's line, not
    // a file counted as transferred.
    struct Case {
        const char* Name;
        std::function<void(TFakeFtpServer&)> Script;
        const char* ExpectedMessage;
    };
    const std::string file = Pattern(40000);
    const Case cases[] = {
        {"final 426 after the data",
         [&](TFakeFtpServer& s) { s.On("RETR f").Send("150 Opening\r\n").SendFile(file).Send("426 Connection closed; transfer aborted.\r\n"); },
         "426 Connection closed; transfer aborted.\r\n"},
        {"150 then 425 and no data connection",
         [](TFakeFtpServer& s) { s.On("RETR f").Send("150 Opening\r\n").Pause(50ms).Send("425 Can't open data connection.\r\n"); },
         "425 Can't open data connection.\r\n"},
        {"150 and 425 in one packet",
         [](TFakeFtpServer& s) { s.On("RETR f").Send("150 Opening\r\n425 No data connection\r\n"); },
         "425 No data connection\r\n"},
        {"RETR refused", [](TFakeFtpServer& s) { s.On("RETR f").Send("550 f: No such file\r\n"); },
         "550 f: No such file\r\n"},
    };
    for (const Case& c : cases) {
        TFakeFtpServer server;
        server.On("USER u").Send("331 ok\r\n");
        server.On("PASS p").Send("230 in\r\n");
        server.On("PORT").Send("200 ok\r\n");
        c.Script(server);
        Client = std::make_unique<TFtpClient>(nullptr);
        Client->Host = "127.0.0.1";
        Client->Port = server.Port();
        Client->UserID = "u";
        Client->Password = "p";
        bool success = false;
        Client->OnSuccess = [&](TCmdType) { success = true; };
        Watchdog = std::make_unique<TClientWatchdog>(*Client, 10s);
        Client->Connect();
        try {
            Client->Download("f", Local);
            ADD_FAILURE() << c.Name << ": the download should fail";
        } catch (const FTPException& error) {
            EXPECT_EQ(error.Message(), c.ExpectedMessage) << c.Name;
        }
        EXPECT_FALSE(success) << c.Name;
        EXPECT_EQ(Client->DataSocket, nullptr) << c.Name;
        EXPECT_TRUE(Client->Connected) << c.Name << ": the control connection is kept";
        Watchdog.reset();
        std::remove(Local.c_str());
    }
}

TEST_F(FtpClientTest, RefusedPortSendsNoRetr) {
    ScriptLogin();
    Server.On("PORT").Send("500 PORT refused\r\n");
    Client->Connect();
    try {
        Client->Download("/pub/a.bin", Local);
        FAIL();
    } catch (const FTPException& error) {
        EXPECT_EQ(error.Message(), "500 PORT refused\r\n");
    }
    EXPECT_FALSE(FileExists(Local));
    Commands commands = Server.Commands();
    EXPECT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands.back().substr(0, 5), "PORT ");
}

TEST_F(FtpClientTest, ReplyAndCompletionBeforeTheDataConnectionIsAccepted) {
    const std::string file = Pattern(70000);
    ScriptLogin();
    Server.On("PORT").Send("200 ok\r\n");
    Server.On("RETR early").Send("150 Opening\r\n226 Transfer complete\r\n").Pause(50ms).SendFile(file);
    Client->Connect();
    Client->Download("early", Local);
    EXPECT_EQ(ReadFile(Local), file);
    EXPECT_TRUE(StatusSeen("226 Transfer complete\r\n"));
}

TEST_F(FtpClientTest, ServerClosingTheControlConnectionEndsTheTransferAndTheNextConnectIsFresh) {
    ScriptLogin();
    Server.On("PORT").Send("200 ok\r\n");
    Server.On("RETR big").Send("150 Opening\r\n").ConnectData().SendData(Pattern(20000)).Pause(50ms).CloseControl();
    ScriptLogin();
    Client->Connect();
    EXPECT_THROW(Client->Download("big", Local), ESockError);
    EXPECT_EQ(Client->DataSocket, nullptr);
    EXPECT_FALSE(Client->Connected);
    Client->Connect();
    EXPECT_TRUE(Client->Connected);
    EXPECT_EQ(Server.Connections(), 2u);
}

TEST_F(FtpClientTest, AbortDuringTheCopyKeepsThePartialFile) {
    ScriptLogin();
    Server.On("PORT").Send("200 ok\r\n");
    Server.On("RETR slow").Send("150 Opening\r\n").ConnectData().SendData(Pattern(5000)).Pause(3000ms).CloseData();
    int aborts = 0;
    Client->OnPacketRecvd = [&](TObject*) {
        if (aborts++ == 0) Client->Abort();
    };
    Client->Connect();
    EXPECT_THROW(Client->Download("slow", Local), EAbortError);
    EXPECT_TRUE(FileExists(Local));
    EXPECT_EQ(Client->DataSocket, nullptr);
    EXPECT_TRUE(Client->Connected);
}

TEST_F(FtpClientTest, AbortBeforeTheDataConnectionStillSendsRetrThenStops) {
    ScriptLogin();
    Server.On("PORT").Send("200 ok\r\n");
    Server.On("RETR x").Send("150 Opening\r\n");
    Client->OnStatus = [this](TObject*, const std::string& text) {
        if (text.rfind("PORT ", 0) == 0) Client->Abort();
    };
    Client->Connect();
    try {
        Client->Download("x", Local);
        FAIL();
    } catch (const ESockError& error) {
        EXPECT_EQ(error.Message(), "Accepting Canceled");
    }
    EXPECT_EQ(Server.Commands().back(), "RETR x");
    EXPECT_FALSE(FileExists(Local));
}

// ---------------------------------------------------------------------------
// Uploads

TEST_F(FtpClientTest, UploadTranscriptAndBytes) {
    const std::string file = Pattern(100000);
    {
        std::ofstream out(Local, std::ios::binary);
        out << file;
    }
    ScriptLogin();
    Server.On("PORT").Repeat().Send("200 ok\r\n");
    Server.On("STOR /in/a.bin").Send("150 Ok to send data.\r\n").ReceiveFile().Send("226 Transfer complete.\r\n");
    Server.On("STOR " + Local).Send("150 go\r\n").ReceiveFile().Send("226 ok\r\n");
    std::int32_t total = 0;
    int packets = 0;
    Client->OnTransactionStart = [&](TObject*) { total = Client->BytesTotal; };
    Client->OnPacketSent = [&](TObject*) { ++packets; };
    std::vector<TCmdType> succeeded;
    Client->OnSuccess = [&](TCmdType type) { succeeded.push_back(type); };
    Client->Connect();
    Client->Upload(Local, "/in/a.bin");
    // Without a remote name the name part of the local path is stored; a
    // path with "/" separators has no "\" or ":", so it is sent whole.
    Client->Upload(Local, "");
    Client->Disconnect();
    Commands commands = Server.Commands();
    ASSERT_EQ(commands.size(), 7u);
    EXPECT_EQ(commands[3], "STOR /in/a.bin");
    EXPECT_EQ(commands[5], "STOR " + Local);
    EXPECT_EQ(Server.Uploads(), (std::vector<std::string>{file, file}));
    EXPECT_EQ(total, static_cast<std::int32_t>(file.size()));
    EXPECT_GT(packets, 0);
    EXPECT_EQ(succeeded, (std::vector<TCmdType>{TCmdType::cmdUpload, TCmdType::cmdUpload}));
}

TEST_F(FtpClientTest, UploadOfAMissingFileSendsNothing) {
    ScriptLogin();
    Client->Connect();
    try {
        Client->Upload("/nonexistent/tavix-missing.bin", "x");
        FAIL();
    } catch (const EStreamError& error) {
        EXPECT_EQ(error.Message(), "Cannot open file /nonexistent/tavix-missing.bin");
    }
    EXPECT_EQ(Server.Commands(), (Commands{"USER u", "PASS p"}));
}

TEST_F(FtpClientTest, UploadRefusedAfterTheDataFails) {
    {
        std::ofstream out(Local, std::ios::binary);
        out << Pattern(1000);
    }
    ScriptLogin();
    Server.On("PORT").Send("200 ok\r\n");
    Server.On("STOR full").Send("150 go\r\n").ReceiveFile().Send("452 Insufficient storage space.\r\n");
    bool success = false;
    Client->OnSuccess = [&](TCmdType) { success = true; };
    Client->Connect();
    try {
        Client->Upload(Local, "full");
        FAIL();
    } catch (const FTPException& error) {
        EXPECT_EQ(error.Message(), "452 Insufficient storage space.\r\n");
    }
    EXPECT_FALSE(success);
}

TEST_F(FtpClientTest, WithoutAConnectionTransfersFailAtOnce) {
    try {
        Client->Download("x", Local);
        FAIL();
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), "Not Connected");
    }
    EXPECT_EQ(Client->DataSocket, nullptr);
    EXPECT_NO_THROW(Client->Abort());
}

// ---------------------------------------------------------------------------
// Sizes announced in replies

TEST(SizeFromReply, Table) {
    struct Case {
        const char* Line;
        std::int32_t Size;
    };
    const Case cases[] = {
        {"150 Opening BINARY mode data connection for report.txt (4096 bytes).", 4096},
        {"150 Opening data connection for data2.bin (512 Bytes)", 512},
        {"150 Opening BINARY mode data connection.", 0},
        {"150 bytes follow", 150},
        {"150 x (99999999999 bytes)", 0},
        {"BYTES first", 0},
        {"", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(TFtpClient::SizeFromReply(c.Line), c.Size) << c.Line;
}

}  // namespace
