// Checks the scripted fake FTP server with plain blocking sockets, so the
// fixture can be trusted before any client code exists.

#include "FakeFtpServer.h"
#include "ProgramRun.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;
using TLines = std::vector<std::string>;

// A blocking TCP socket whose reads give up after a time-out, so a broken
// fixture fails the test instead of hanging it.
class TSocket {
public:
  explicit TSocket(int fd = -1) : Fd(fd) {}
  TSocket(TSocket&& other) noexcept : Fd(std::exchange(other.Fd, -1)) {}
  TSocket& operator=(TSocket&& other) noexcept {
    std::swap(Fd, other.Fd);
    return *this;
  }
  ~TSocket() { Close(); }

  static TSocket Connect(std::uint16_t port) {
    TSocket result(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(result.Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("connect to the fake server failed");
    }
    return result;
  }

  void Send(std::string_view bytes) const {
    while (!bytes.empty()) {
      ssize_t sent = ::send(Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent <= 0) {
        throw std::runtime_error("send failed");
      }
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
  }

  // One recv(): what has arrived so far, "" at end of stream, nullopt on time-out.
  std::optional<std::string> ReadSome(std::chrono::milliseconds timeout = 5s) const {
    pollfd fd{Fd, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) {
      return std::nullopt;
    }
    char block[65536];
    ssize_t got = ::recv(Fd, block, sizeof block, 0);
    return std::string(block, got > 0 ? static_cast<std::size_t>(got) : 0);
  }

  // Reads until `ending` has arrived (or end of stream, or the time-out).
  std::string ReadUntil(std::string_view ending, std::chrono::milliseconds timeout = 5s) const {
    std::string text;
    TClock::time_point deadline = TClock::now() + timeout;
    while (text.find(ending) == std::string::npos && TClock::now() < deadline) {
      auto piece = ReadSome(std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - TClock::now()));
      if (!piece || piece->empty()) {
        break;
      }
      text += *piece;
    }
    return text;
  }

  std::string ReadToEnd() const { return ReadUntil(std::string_view("\0never\0", 7), 10s); }

  // True when the peer closes within the time-out (pending bytes are dropped).
  bool PeerCloses(std::chrono::milliseconds timeout = 5s) const {
    TClock::time_point deadline = TClock::now() + timeout;
    while (TClock::now() < deadline) {
      auto piece = ReadSome(std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - TClock::now()));
      if (piece && piece->empty()) {
        return true;
      }
    }
    return false;
  }

  void Close() {
    if (Fd >= 0) {
      ::close(Fd);
      Fd = -1;
    }
  }
  int Get() const { return Fd; }

private:
  int Fd;
};

// The client's side of an active-mode data connection.
class TDataListener {
public:
  TDataListener() : Listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(Listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(Listener.Get(), 1) != 0 ||
        ::getsockname(Listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("data listener failed");
    }
    Port = ntohs(address.sin_port);
  }

  std::string PortCommand() const {
    return "PORT 127,0,0,1," + std::to_string(Port >> 8) + "," + std::to_string(Port & 255);
  }

  std::optional<TSocket> Accept(std::chrono::milliseconds timeout = 5s) const {
    pollfd fd{Listener.Get(), POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) {
      return std::nullopt;
    }
    return TSocket(::accept4(Listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

  std::uint16_t Port = 0;

private:
  TSocket Listener;
};

// A port on which nothing listens: bound, then closed.
std::uint16_t ClosedPort() {
  TDataListener listener;
  return listener.Port;
}

// Sends one command line and returns the reply bytes up to `ending`.
std::string Ask(const TSocket& control, const std::string& command,
                std::string_view ending = "\r\n") {
  control.Send(command + "\r\n");
  return control.ReadUntil(ending);
}

TEST(FakeFtpServerTest, DownloadDialogueIsServedAndTranscribed) {
  const std::string file = PatternBytes(3 * 1024 * 1024 + 17);
  TFakeFtpServer server;
  server.OnConnect().Send("220-Welcome to the fake\r\n Second line\r\n220 Ready\r\n");
  server.On("USER u").Send("331 Password required\r\n");
  server.On("PASS p").Send("230 Logged in\r\n");
  server.On("TYPE I").Send("200 Binary\r\n");
  server.On("PORT").Send("200 PORT ok\r\n");
  server.On("RETR /pub/a.bin")
      .Send("150-Opening data connection\r\n 3145745 bytes\r\n150 Go\r\n")
      .SendFile(file)
      .Send("226 Transfer complete\r\n");

  TSocket control = TSocket::Connect(server.Port());
  EXPECT_EQ(control.ReadUntil("220 Ready\r\n"),
            "220-Welcome to the fake\r\n Second line\r\n220 Ready\r\n");
  EXPECT_EQ(Ask(control, "USER u"), "331 Password required\r\n");
  EXPECT_EQ(Ask(control, "PASS p"), "230 Logged in\r\n");
  EXPECT_EQ(Ask(control, "TYPE I"), "200 Binary\r\n");
  TDataListener data;
  EXPECT_EQ(Ask(control, data.PortCommand()), "200 PORT ok\r\n");
  control.Send("RETR /pub/a.bin\r\n");
  std::optional<TSocket> connection = data.Accept();
  ASSERT_TRUE(connection);
  EXPECT_TRUE(connection->ReadToEnd() == file) << "the data connection carried other bytes";
  // The socket buffers may absorb the whole file, so 226 can be there already.
  EXPECT_EQ(control.ReadUntil("226 Transfer complete\r\n"),
            "150-Opening data connection\r\n 3145745 bytes\r\n150 Go\r\n"
            "226 Transfer complete\r\n");
  EXPECT_EQ(Ask(control, "QUIT"), "221 Goodbye\r\n");
  EXPECT_TRUE(control.PeerCloses());

  EXPECT_EQ(server.Commands(),
            (TLines{"USER u", "PASS p", "TYPE I", data.PortCommand(), "RETR /pub/a.bin", "QUIT"}));
  EXPECT_TRUE(server.Errors().empty()) << server.Errors().front();
}

TEST(FakeFtpServerTest, UploadIsKeptWholeAndAnsweredOnlyAfterTheClientCloses) {
  const std::string file = PatternBytes(2 * 1024 * 1024 + 5, 7);
  TFakeFtpServer server;
  server.On("PORT").Send("200 ok\r\n");
  server.On("STOR up.bin").Send("150 Send it\r\n").ReceiveFile().Send("226 Stored\r\n");

  TSocket control = TSocket::Connect(server.Port());
  control.ReadUntil("\r\n");
  TDataListener data;
  Ask(control, data.PortCommand());
  EXPECT_EQ(Ask(control, "STOR up.bin"), "150 Send it\r\n");
  std::optional<TSocket> connection = data.Accept();
  ASSERT_TRUE(connection);
  connection->Send(file);
  EXPECT_EQ(control.ReadSome(300ms), std::nullopt) << "226 came before the upload ended";
  connection->Close();
  EXPECT_EQ(control.ReadUntil("\r\n"), "226 Stored\r\n");

  TLines uploads = server.Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].size(), file.size());
  EXPECT_TRUE(uploads[0] == file);
}

// What the client reads on the control connection is exactly what was
// scripted, and a Pause splits it into separate reads.
TEST(FakeFtpServerTest, RepliesArriveAsScripted) {
  std::string binaryLine = "200 ";
  binaryLine += PatternBytes(200000, 3);
  binaryLine += "\r\n";
  struct TCase {
    const char* Name;
    std::function<void(TFakeFtpServer::TScript&)> Script;
    std::string Whole;
    std::string FirstRead;  // empty: not checked
  };
  const std::vector<TCase> cases = {
      {"split across packets",
       [](auto& s) { s.Send("33").Pause(250ms).Send("1 Need password\r\n"); },
       "331 Need password\r\n", "33"},
      {"continuation line starting with a letter",
       [](auto& s) { s.Send("230-Hello\r\nnotes here\r\n230 Done\r\n"); },
       "230-Hello\r\nnotes here\r\n230 Done\r\n", ""},
      {"332 after USER", [](auto& s) { s.Send("332 Need account\r\n"); },
       "332 Need account\r\n", ""},
      {"one line of any length and any bytes", [&](auto& s) { s.Send(binaryLine); }, binaryLine,
       ""},
  };
  for (const TCase& row : cases) {
    SCOPED_TRACE(row.Name);
    TFakeFtpServer server;
    {
      TFakeFtpServer::TScript script = server.On("USER u");
      row.Script(script);
    }
    TSocket control = TSocket::Connect(server.Port());
    control.ReadUntil("\r\n");
    control.Send("USER u\r\n");
    std::string whole = control.ReadSome().value_or("");
    if (!row.FirstRead.empty()) {
      EXPECT_EQ(whole, row.FirstRead);
    }
    while (whole.size() < row.Whole.size()) {
      std::optional<std::string> more = control.ReadSome();
      if (!more || more->empty()) {
        break;
      }
      whole += *more;
    }
    EXPECT_EQ(whole.size(), row.Whole.size());
    EXPECT_TRUE(whole == row.Whole);
  }
}

TEST(FakeFtpServerTest, ScriptsAreUsedOnceInOrderThenRepeatThenDefault) {
  TFakeFtpServer server;
  server.On("USER u").Send("331 first\r\n");
  server.On("USER u").Send("331 second\r\n");
  server.On("USER").Send("530 any user\r\n").Repeat();
  server.On("PASS p");  // No steps: no reply at all.

  TSocket control = TSocket::Connect(server.Port());
  EXPECT_EQ(control.ReadUntil("\r\n"), "220 Fake FTP server ready\r\n");
  EXPECT_EQ(Ask(control, "USER u"), "331 first\r\n");
  EXPECT_EQ(Ask(control, "USER u"), "331 second\r\n");
  EXPECT_EQ(Ask(control, "USER u"), "530 any user\r\n");
  EXPECT_EQ(Ask(control, "USER x"), "530 any user\r\n");
  control.Send("PASS p\r\n");
  EXPECT_EQ(control.ReadSome(200ms), std::nullopt);
  EXPECT_EQ(Ask(control, "NOOP"), "500 Unknown command\r\n");
  EXPECT_EQ(server.Commands(), (TLines{"USER u", "USER u", "USER u", "USER x", "PASS p", "NOOP"}));
}

TEST(FakeFtpServerTest, ServesTheNextConnectionAfterAClose) {
  TFakeFtpServer server;
  server.OnConnect().Send("421 Too many users\r\n").CloseControl();

  TSocket first = TSocket::Connect(server.Port());
  EXPECT_EQ(first.ReadUntil("\r\n"), "421 Too many users\r\n");
  EXPECT_TRUE(first.PeerCloses());
  TSocket second = TSocket::Connect(server.Port());
  EXPECT_EQ(second.ReadUntil("\r\n"), "220 Fake FTP server ready\r\n");
  second.Close();  // The client leaves without QUIT.
  EXPECT_TRUE(server.WaitForClosedConnections(2, 5s));
  TSocket third = TSocket::Connect(server.Port());
  EXPECT_EQ(Ask(third, "USER u", "500 Unknown command\r\n"),
            "220 Fake FTP server ready\r\n500 Unknown command\r\n")
      << "each connection is greeted, the command answered after it";
  EXPECT_EQ(server.Connections(), 3u);
}

TEST(FakeFtpServerTest, DataFaults) {
  // 150 then 425 and no data connection at all.
  {
    TFakeFtpServer server;
    server.On("PORT").Send("200 ok\r\n");
    server.On("RETR a").Send("150 Opening\r\n").Send("425 Cannot open data connection\r\n");
    TSocket control = TSocket::Connect(server.Port());
    control.ReadUntil("\r\n");
    TDataListener data;
    Ask(control, data.PortCommand());
    EXPECT_EQ(Ask(control, "RETR a", "425 Cannot open data connection\r\n"),
              "150 Opening\r\n425 Cannot open data connection\r\n");
    EXPECT_FALSE(data.Accept(300ms)) << "the server connected although it said 425";
  }
  // 150 and 226 in one packet, and only then the data connection, sending nothing.
  {
    TFakeFtpServer server;
    server.On("PORT").Send("200 ok\r\n");
    server.On("RETR empty").Send("150 Opening\r\n226 Done\r\n").SendFile("");
    TSocket control = TSocket::Connect(server.Port());
    control.ReadUntil("\r\n");
    TDataListener data;
    Ask(control, data.PortCommand());
    control.Send("RETR empty\r\n");
    EXPECT_EQ(control.ReadSome(), "150 Opening\r\n226 Done\r\n");
    std::optional<TSocket> connection = data.Accept();
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->ReadToEnd(), "");
  }
  // The control connection closes mid-transfer while the data keeps flowing.
  {
    TFakeFtpServer server;
    server.On("PORT").Send("200 ok\r\n");
    server.On("RETR a")
        .Send("150 Opening\r\n")
        .ConnectData()
        .SendData("first half ")
        .CloseControl()
        .SendData("second half")
        .CloseData();
    TSocket control = TSocket::Connect(server.Port());
    control.ReadUntil("\r\n");
    TDataListener data;
    Ask(control, data.PortCommand());
    EXPECT_EQ(Ask(control, "RETR a"), "150 Opening\r\n");
    std::optional<TSocket> connection = data.Accept();
    ASSERT_TRUE(connection);
    EXPECT_TRUE(control.PeerCloses());
    EXPECT_EQ(connection->ReadToEnd(), "first half second half");
  }
  // A data step that cannot be carried out is reported, not silently dropped.
  {
    TFakeFtpServer server;
    server.On("PORT").Send("200 ok\r\n");
    server.On("RETR a").SendFile("x").Send("451 failed\r\n");
    server.On("RETR b").SendFile("x").Send("451 failed\r\n");
    TSocket control = TSocket::Connect(server.Port());
    control.ReadUntil("\r\n");
    EXPECT_EQ(Ask(control, "RETR a"), "451 failed\r\n");
    std::uint16_t port = ClosedPort();
    Ask(control, "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 255));
    EXPECT_EQ(Ask(control, "RETR b"), "451 failed\r\n");
    TLines errors = server.Errors();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("no valid PORT"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("Connection refused"), std::string::npos) << errors[1];
  }
}

TEST(FakeFtpServerTest, WaitsForCommandsWithATimeout) {
  TFakeFtpServer server;
  server.On("USER u").Send("331 ok\r\n");
  TSocket control = TSocket::Connect(server.Port());
  ASSERT_TRUE(server.WaitForConnections(1, 5s));
  EXPECT_FALSE(server.WaitForCommand("USER", 100ms));

  std::thread late([&] {
    std::this_thread::sleep_for(150ms);
    control.Send("USER u\r\nUSER v\r\n");
  });
  TClock::time_point start = TClock::now();
  EXPECT_TRUE(server.WaitForCommand("USER", 5s, 2));
  EXPECT_LT(TClock::now() - start, 3s);
  EXPECT_TRUE(server.WaitForCommand("USER v", 0ms));
  EXPECT_FALSE(server.WaitForCommand("USER w", 0ms));
  late.join();
}

TEST(FakeFtpServerTest, StopsWhileAClientNeitherReadsNorCloses) {
  TDataListener data;
  TSocket control;
  std::optional<TSocket> connection;
  TClock::time_point start;
  {
    TFakeFtpServer server;
    server.On("PORT").Send("200 ok\r\n");
    server.On("RETR big").Send("150 Opening\r\n").SendFile(std::string(64 * 1024 * 1024, 'x'));
    control = TSocket::Connect(server.Port());
    control.ReadUntil("\r\n");
    Ask(control, data.PortCommand());
    control.Send("RETR big\r\n");
    connection = data.Accept();
    ASSERT_TRUE(connection);
    std::this_thread::sleep_for(100ms);  // Let the server block in send().
    start = TClock::now();
  }
  EXPECT_LT(TClock::now() - start, 2s);
}

}  // namespace
