#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A scripted FTP server for protocol tests. It listens on 127.0.0.1 on a port
// the system chooses and serves one control connection at a time on its own
// thread (accepting the next one after a close), so a test reads as the
// dialogue it checks:
//
//   TFakeFtpServer server;
//   server.OnConnect().Send("220-Welcome\r\n220 ready\r\n");
//   server.On("USER u").Send("331 Password required\r\n");
//   server.On("PASS p").Send("230 Logged in\r\n");
//   server.On("TYPE I").Send("200 Binary\r\n");
//   server.On("PORT").Send("200 PORT ok\r\n");
//   server.On("RETR /pub/a.bin").Send("150 Opening\r\n").SendFile(bytes).Send("226 Done\r\n");
//   ... run the client against server.Port() ...
//   EXPECT_EQ(server.Commands(), (std::vector<std::string>{"USER u", "PASS p", "TYPE I",
//             "PORT 127,0,0,1,4,1", "RETR /pub/a.bin", "QUIT"}));
//
// Matching: a key with a space ("USER u") matches exactly that command line; a
// key without one ("PORT") matches every command with that verb. Exact keys
// are tried before verb keys. Each script is used once, in the order queued,
// unless marked Repeat(). A command with no script left gets the default:
// QUIT gets "221 Goodbye" and the control connection is closed; any other
// command gets "500 Unknown command". A connection with no OnConnect() script
// left is greeted with "220 Fake FTP server ready". A script with no steps
// sends nothing at all (a server that stays silent).
//
// Recipes for the faults protocol tests need:
//   reply split across packets   Send("22").Pause(50ms).Send("0 hi\r\n")
//   421 greeting                 OnConnect().Send("421 Too many users\r\n").CloseControl()
//   150, 425, no data connection On("RETR x").Send("150 Opening\r\n").Send("425 No data\r\n")
//   150 and 226 in one packet    On("RETR x").Send("150 Opening\r\n226 Done\r\n").SendFile(bytes)
//   empty file, closed at once   On("RETR x").Send("150 ...\r\n").SendFile("").Send("226 ...\r\n")
//   final 426 after the data     ....SendFile(bytes).Send("426 Aborted\r\n")
//   control closed mid-transfer  ....ConnectData().SendData(part).CloseControl().SendData(rest).CloseData()
//   upload                       On("STOR x").Send("150 ...\r\n").ReceiveFile().Send("226 ...\r\n"), then Uploads()
//   PORT refused                 On("PORT").Send("500 PORT refused\r\n")
//   every login refused          On("USER u").Send("530 No\r\n").Repeat()
class TFakeFtpServer {
public:
  // One scripted step. Built through TScript; listed here so a script can be
  // stored and copied.
  struct TStep {
    enum class EKind { Send, Pause, ConnectData, SendData, ReceiveData, CloseData, CloseControl };
    EKind Kind;
    std::string Bytes;
    std::chrono::milliseconds Delay{0};
  };

  // Builds the reaction to one command (or to a new connection). The script
  // is handed to the server when the builder goes away, normally at the end
  // of the statement that made it. Steps run in order on the server thread.
  class TScript {
  public:
    TScript(TScript&& other) noexcept;
    TScript(const TScript&) = delete;
    TScript& operator=(const TScript&) = delete;
    TScript& operator=(TScript&&) = delete;
    ~TScript();

    // Writes bytes to the control connection in one send() (Nagle is off, so
    // a Pause between two Sends puts them in separate packets).
    TScript& Send(std::string bytes);
    TScript& Pause(std::chrono::milliseconds delay);
    // Connects to the address of the latest PORT command of this connection.
    // Refused, missing or non-loopback addresses are recorded in Errors() and
    // the data steps after it do nothing.
    TScript& ConnectData();
    TScript& SendData(std::string bytes);
    // Reads the data connection until the client closes it; the bytes are
    // appended to Uploads() as one entry.
    TScript& ReceiveData();
    TScript& CloseData();
    // Closes the control connection. The remaining steps still run (data may
    // keep flowing); then the server waits for the next connection.
    TScript& CloseControl();
    // ConnectData, SendData(bytes), CloseData.
    TScript& SendFile(std::string bytes);
    // ConnectData, ReceiveData, CloseData.
    TScript& ReceiveFile();
    // Keeps this script for every later match instead of using it once.
    TScript& Repeat();

  private:
    friend class TFakeFtpServer;
    TScript(TFakeFtpServer* server, std::string key, bool greeting);

    TFakeFtpServer* Server;
    std::string Key;
    bool Greeting;
    bool Repeating = false;
    std::vector<TStep> Steps;
  };

  // Listens on 127.0.0.1:0 and starts serving. Throws std::system_error.
  TFakeFtpServer();
  // Stops the thread, also when it is blocked on a client that never reads
  // or never closes, and closes every socket.
  ~TFakeFtpServer();
  TFakeFtpServer(const TFakeFtpServer&) = delete;
  TFakeFtpServer& operator=(const TFakeFtpServer&) = delete;

  std::uint16_t Port() const { return ListenPort; }

  TScript OnConnect();
  TScript On(std::string command);

  // Every command line received, across connections, CR LF stripped.
  std::vector<std::string> Commands() const;
  // The bytes of each ReceiveData, in order.
  std::vector<std::string> Uploads() const;
  // Control connections accepted so far.
  std::size_t Connections() const;
  // Steps that could not be carried out, as readable sentences.
  std::vector<std::string> Errors() const;

  // Waits until `count` commands matching `key` (same rule as On) have arrived.
  bool WaitForCommand(std::string_view key, std::chrono::milliseconds timeout,
                      std::size_t count = 1) const;
  // Waits until `count` control connections have been accepted.
  bool WaitForConnections(std::size_t count, std::chrono::milliseconds timeout) const;
  // Waits until `count` control connections have been closed (by either side).
  bool WaitForClosedConnections(std::size_t count, std::chrono::milliseconds timeout) const;

private:
  struct TEntry {
    std::string Key;
    bool Repeating;
    std::vector<TStep> Steps;
  };
  struct TSession;

  void Commit(TScript& script);
  void Serve();
  void RunSession(int control);
  std::vector<TStep> TakeScript(const std::string& line, bool greeting);
  void RunSteps(TSession& session, const std::vector<TStep>& steps);
  bool ReadLine(TSession& session, std::string& line);
  bool WaitReadable(int fd) const;
  void SetActive(int& slot, int fd);
  void CloseActive(int& slot);
  void AddError(std::string text);

  int Listener = -1;
  int WakeFd = -1;
  std::uint16_t ListenPort = 0;

  mutable std::mutex Mutex;
  mutable std::condition_variable Changed;
  bool Stopping = false;
  int ActiveControl = -1;
  int ActiveData = -1;
  std::deque<TEntry> Greetings;
  std::deque<TEntry> Scripts;
  std::vector<std::string> Received;
  std::vector<std::string> UploadedData;
  std::vector<std::string> ErrorTexts;
  std::size_t Accepted = 0;
  std::size_t Closed = 0;

  std::thread Thread;
};
