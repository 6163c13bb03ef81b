#include "FakeFtpServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

namespace {

constexpr const char* DefaultGreeting = "220 Fake FTP server ready\r\n";
constexpr std::size_t ReadBlock = 65536;

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::string Verb(const std::string& line) {
  return line.substr(0, line.find(' '));
}

bool Matches(std::string_view key, const std::string& line) {
  if (key.find(' ') != std::string_view::npos) {
    return key == line;
  }
  return key == Verb(line);
}

// Parses "PORT a,b,c,d,p1,p2" into an address; false when malformed.
bool ParsePort(const std::string& line, sockaddr_in& address) {
  unsigned v[6];
  char tail = 0;
  if (std::sscanf(line.c_str(), "PORT %u,%u,%u,%u,%u,%u%c", &v[0], &v[1], &v[2], &v[3], &v[4],
                  &v[5], &tail) != 6) {
    return false;
  }
  for (unsigned part : v) {
    if (part > 255) {
      return false;
    }
  }
  address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl((v[0] << 24) | (v[1] << 16) | (v[2] << 8) | v[3]);
  address.sin_port = htons(static_cast<std::uint16_t>((v[4] << 8) | v[5]));
  return true;
}

std::string Describe(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

// Writes everything; false when the peer has gone. MSG_NOSIGNAL keeps a
// closed peer from raising SIGPIPE in the test process.
bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

}  // namespace

struct TFakeFtpServer::TSession {
  int Control = -1;
  int Data = -1;
  bool ControlOpen = true;
  bool HavePort = false;
  sockaddr_in PortAddress{};
  std::string Buffer;
};

// --- TScript ---------------------------------------------------------------

TFakeFtpServer::TScript::TScript(TFakeFtpServer* server, std::string key, bool greeting)
    : Server(server), Key(std::move(key)), Greeting(greeting) {}

TFakeFtpServer::TScript::TScript(TScript&& other) noexcept
    : Server(std::exchange(other.Server, nullptr)),
      Key(std::move(other.Key)),
      Greeting(other.Greeting),
      Repeating(other.Repeating),
      Steps(std::move(other.Steps)) {}

TFakeFtpServer::TScript::~TScript() {
  if (Server != nullptr) {
    Server->Commit(*this);
  }
}

TFakeFtpServer::TScript& TFakeFtpServer::TScript::Send(std::string bytes) {
  Steps.push_back({TStep::EKind::Send, std::move(bytes), {}});
  return *this;
}

TFakeFtpServer::TScript& TFakeFtpServer::TScript::Pause(std::chrono::milliseconds delay) {
  Steps.push_back({TStep::EKind::Pause, {}, delay});
  return *this;
}

TFakeFtpServer::TScript& TFakeFtpServer::TScript::ConnectData() {
  Steps.push_back({TStep::EKind::ConnectData, {}, {}});
  return *this;
}

TFakeFtpServer::TScript& TFakeFtpServer::TScript::SendData(std::string bytes) {
  Steps.push_back({TStep::EKind::SendData, std::move(bytes), {}});
  return *this;
}

TFakeFtpServer::TScript& TFakeFtpServer::TScript::ReceiveData() {
  Steps.push_back({TStep::EKind::ReceiveData, {}, {}});
  return *this;
}

TFakeFtpServer::TScript& TFakeFtpServer::TScript::CloseData() {
  Steps.push_back({TStep::EKind::CloseData, {}, {}});
  return *this;
}

TFakeFtpServer::TScript& TFakeFtpServer::TScript::CloseControl() {
  Steps.push_back({TStep::EKind::CloseControl, {}, {}});
  return *this;
}

TFakeFtpServer::TScript& TFakeFtpServer::TScript::SendFile(std::string bytes) {
  return ConnectData().SendData(std::move(bytes)).CloseData();
}

TFakeFtpServer::TScript& TFakeFtpServer::TScript::ReceiveFile() {
  return ConnectData().ReceiveData().CloseData();
}

TFakeFtpServer::TScript& TFakeFtpServer::TScript::Repeat() {
  Repeating = true;
  return *this;
}

// --- Server ----------------------------------------------------------------

TFakeFtpServer::TFakeFtpServer() {
  Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Listener < 0) {
    ThrowErrno("fake FTP server: socket");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(Listener, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
      ::listen(Listener, 8) < 0) {
    int error = errno;
    ::close(Listener);
    errno = error;
    ThrowErrno("fake FTP server: bind/listen on 127.0.0.1");
  }
  socklen_t length = sizeof address;
  ::getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &length);
  ListenPort = ntohs(address.sin_port);

  WakeFd = ::eventfd(0, EFD_CLOEXEC);
  if (WakeFd < 0) {
    int error = errno;
    ::close(Listener);
    errno = error;
    ThrowErrno("fake FTP server: eventfd");
  }
  Thread = std::thread([this] { Serve(); });
}

TFakeFtpServer::~TFakeFtpServer() {
  {
    std::lock_guard lock(Mutex);
    Stopping = true;
    // Shutting the sockets down wakes a send() that a client never drains.
    if (ActiveControl >= 0) {
      ::shutdown(ActiveControl, SHUT_RDWR);
    }
    if (ActiveData >= 0) {
      ::shutdown(ActiveData, SHUT_RDWR);
    }
  }
  Changed.notify_all();
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(WakeFd, &one, sizeof one);
  Thread.join();
  ::close(Listener);
  ::close(WakeFd);
}

TFakeFtpServer::TScript TFakeFtpServer::OnConnect() {
  return TScript(this, {}, true);
}

TFakeFtpServer::TScript TFakeFtpServer::On(std::string command) {
  return TScript(this, std::move(command), false);
}

void TFakeFtpServer::Commit(TScript& script) {
  std::lock_guard lock(Mutex);
  TEntry entry{std::move(script.Key), script.Repeating, std::move(script.Steps)};
  (script.Greeting ? Greetings : Scripts).push_back(std::move(entry));
}

std::vector<std::string> TFakeFtpServer::Commands() const {
  std::lock_guard lock(Mutex);
  return Received;
}

std::vector<std::string> TFakeFtpServer::Uploads() const {
  std::lock_guard lock(Mutex);
  return UploadedData;
}

std::size_t TFakeFtpServer::Connections() const {
  std::lock_guard lock(Mutex);
  return Accepted;
}

std::vector<std::string> TFakeFtpServer::Errors() const {
  std::lock_guard lock(Mutex);
  return ErrorTexts;
}

bool TFakeFtpServer::WaitForCommand(std::string_view key, std::chrono::milliseconds timeout,
                                    std::size_t count) const {
  std::unique_lock lock(Mutex);
  return Changed.wait_for(lock, timeout, [&] {
    return static_cast<std::size_t>(std::count_if(
               Received.begin(), Received.end(),
               [&](const std::string& line) { return Matches(key, line); })) >= count;
  });
}

bool TFakeFtpServer::WaitForConnections(std::size_t count,
                                        std::chrono::milliseconds timeout) const {
  std::unique_lock lock(Mutex);
  return Changed.wait_for(lock, timeout, [&] { return Accepted >= count; });
}

bool TFakeFtpServer::WaitForClosedConnections(std::size_t count,
                                              std::chrono::milliseconds timeout) const {
  std::unique_lock lock(Mutex);
  return Changed.wait_for(lock, timeout, [&] { return Closed >= count; });
}

void TFakeFtpServer::AddError(std::string text) {
  {
    std::lock_guard lock(Mutex);
    ErrorTexts.push_back(std::move(text));
  }
  Changed.notify_all();
}

// Registers a socket so the destructor can shut it down; a socket made while
// stopping is shut down at once.
void TFakeFtpServer::SetActive(int& slot, int fd) {
  std::lock_guard lock(Mutex);
  slot = fd;
  if (Stopping) {
    ::shutdown(fd, SHUT_RDWR);
  }
}

void TFakeFtpServer::CloseActive(int& slot) {
  std::lock_guard lock(Mutex);
  if (slot >= 0) {
    ::close(slot);
    slot = -1;
  }
}

// Blocks until fd is readable; false when the server is stopping.
bool TFakeFtpServer::WaitReadable(int fd) const {
  std::array<pollfd, 2> fds{{{fd, POLLIN, 0}, {WakeFd, POLLIN, 0}}};
  for (;;) {
    int ready = ::poll(fds.data(), fds.size(), -1);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready < 0 || fds[1].revents != 0) {
      return false;
    }
    return true;
  }
}

void TFakeFtpServer::Serve() {
  while (WaitReadable(Listener)) {
    int control = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (control < 0) {
      continue;
    }
    int on = 1;
    ::setsockopt(control, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    {
      std::lock_guard lock(Mutex);
      ++Accepted;
    }
    Changed.notify_all();
    RunSession(control);
    {
      std::lock_guard lock(Mutex);
      ++Closed;
    }
    Changed.notify_all();
  }
}

void TFakeFtpServer::RunSession(int control) {
  TSession session;
  session.Control = control;
  SetActive(ActiveControl, control);

  RunSteps(session, TakeScript({}, true));
  std::string line;
  while (session.ControlOpen && ReadLine(session, line)) {
    {
      std::lock_guard lock(Mutex);
      Received.push_back(line);
    }
    Changed.notify_all();
    if (Verb(line) == "PORT") {
      session.HavePort = ParsePort(line, session.PortAddress);
    }
    RunSteps(session, TakeScript(line, false));
  }
  CloseActive(ActiveData);
  CloseActive(ActiveControl);
}

std::vector<TFakeFtpServer::TStep> TFakeFtpServer::TakeScript(const std::string& line,
                                                              bool greeting) {
  std::lock_guard lock(Mutex);
  std::deque<TEntry>& queue = greeting ? Greetings : Scripts;
  auto found = queue.end();
  if (greeting) {
    found = queue.begin();
  } else {
    found = std::find_if(queue.begin(), queue.end(),
                         [&](const TEntry& entry) { return entry.Key == line; });
    if (found == queue.end()) {
      found = std::find_if(queue.begin(), queue.end(), [&](const TEntry& entry) {
        return entry.Key.find(' ') == std::string::npos && entry.Key == Verb(line);
      });
    }
  }
  if (found != queue.end()) {
    std::vector<TStep> steps = found->Steps;
    if (!found->Repeating) {
      queue.erase(found);
    }
    return steps;
  }
  if (greeting) {
    return {{TStep::EKind::Send, DefaultGreeting, {}}};
  }
  if (Verb(line) == "QUIT") {
    return {{TStep::EKind::Send, "221 Goodbye\r\n", {}}, {TStep::EKind::CloseControl, {}, {}}};
  }
  return {{TStep::EKind::Send, "500 Unknown command\r\n", {}}};
}

bool TFakeFtpServer::ReadLine(TSession& session, std::string& line) {
  for (;;) {
    std::size_t end = session.Buffer.find('\n');
    if (end != std::string::npos) {
      line = session.Buffer.substr(0, end);
      session.Buffer.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      return true;
    }
    if (!WaitReadable(session.Control)) {
      return false;
    }
    char block[4096];
    ssize_t got = ::recv(session.Control, block, sizeof block, 0);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    session.Buffer.append(block, static_cast<std::size_t>(got));
  }
}

void TFakeFtpServer::RunSteps(TSession& session, const std::vector<TStep>& steps) {
  for (const TStep& step : steps) {
    {
      std::lock_guard lock(Mutex);
      if (Stopping) {
        return;
      }
    }
    switch (step.Kind) {
      case TStep::EKind::Send:
        if (session.ControlOpen && !SendAll(session.Control, step.Bytes)) {
          AddError("Send: the client closed the control connection before \"" +
                   step.Bytes.substr(0, 40) + "\"");
        }
        break;

      case TStep::EKind::Pause: {
        std::unique_lock lock(Mutex);
        Changed.wait_for(lock, step.Delay, [this] { return Stopping; });
        break;
      }

      case TStep::EKind::ConnectData: {
        CloseActive(ActiveData);
        session.Data = -1;
        if (!session.HavePort) {
          AddError("ConnectData: no valid PORT command on this connection");
          break;
        }
        if ((ntohl(session.PortAddress.sin_addr.s_addr) >> 24) != 127) {
          // Tests talk to loopback only; never connect anywhere else.
          AddError("ConnectData: PORT address " + Describe(session.PortAddress) +
                   " is not a loopback address");
          break;
        }
        int data = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (data < 0) {
          AddError(std::string("ConnectData: socket: ") + std::strerror(errno));
          break;
        }
        SetActive(ActiveData, data);
        int result;
        do {
          result = ::connect(data, reinterpret_cast<const sockaddr*>(&session.PortAddress),
                             sizeof session.PortAddress);
        } while (result < 0 && errno == EINTR);
        if (result < 0) {
          AddError("ConnectData: connect to " + Describe(session.PortAddress) + ": " +
                   std::strerror(errno));
          CloseActive(ActiveData);
          break;
        }
        session.Data = data;
        break;
      }

      case TStep::EKind::SendData:
        if (session.Data >= 0 && !SendAll(session.Data, step.Bytes)) {
          AddError("SendData: the client closed the data connection");
        }
        break;

      case TStep::EKind::ReceiveData: {
        if (session.Data < 0) {
          break;
        }
        std::string bytes;
        std::string block(ReadBlock, '\0');
        while (WaitReadable(session.Data)) {
          ssize_t got = ::recv(session.Data, block.data(), block.size(), 0);
          if (got < 0 && errno == EINTR) {
            continue;
          }
          if (got <= 0) {
            break;
          }
          bytes.append(block.data(), static_cast<std::size_t>(got));
        }
        {
          std::lock_guard lock(Mutex);
          UploadedData.push_back(std::move(bytes));
        }
        Changed.notify_all();
        break;
      }

      case TStep::EKind::CloseData:
        CloseActive(ActiveData);
        session.Data = -1;
        break;

      case TStep::EKind::CloseControl:
        CloseActive(ActiveControl);
        session.Control = -1;
        session.ControlOpen = false;
        break;
    }
  }
}
