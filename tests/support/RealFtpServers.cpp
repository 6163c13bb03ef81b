#include "RealFtpServers.h"

#include "ProgramRun.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

constexpr const char* Python = "/usr/bin/python3";
constexpr const char* PyftpdlibModule = "/usr/lib/python3/dist-packages/pyftpdlib/__init__.py";
constexpr const char* Vsftpd = "/usr/sbin/vsftpd";
// Written by scripts/setup: password check only, no login-shell check.
constexpr const char* PamService = "tavix-ftp-test";
constexpr unsigned AddressesPerKind = 8;
constexpr auto ReadyTimeout = 10s;
constexpr auto StopTimeout = 5s;

unsigned BaseOctet(EFtpServerKind kind) {
  return kind == EFtpServerKind::Pyftpdlib ? 21 : 41;
}

// The script sits next to this file in the source tree.
std::filesystem::path PyftpdlibScript() {
  return std::filesystem::path(__FILE__).parent_path() / "pyftpd_server.py";
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

sockaddr_in Endpoint(const std::string& address) {
  sockaddr_in endpoint{};
  endpoint.sin_family = AF_INET;
  endpoint.sin_port = htons(TRealFtpServer::Port);
  inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr);
  return endpoint;
}

// True when nothing listens on address:21. SO_REUSEADDR keeps connections
// in TIME_WAIT from a previous run from counting as busy.
bool PortFree(const std::string& address) {
  int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) {
    return false;
  }
  int on = 1;
  ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in endpoint = Endpoint(address);
  bool free = ::bind(probe, reinterpret_cast<sockaddr*>(&endpoint), sizeof endpoint) == 0;
  ::close(probe);
  return free;
}

// Connects and reads the greeting; true when it is "220 <banner>".
bool Greets(const std::string& address, const std::string& banner) {
  int control = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (control < 0) {
    return false;
  }
  sockaddr_in endpoint = Endpoint(address);
  std::string greeting;
  if (::connect(control, reinterpret_cast<sockaddr*>(&endpoint), sizeof endpoint) == 0) {
    TClock::time_point deadline = TClock::now() + 2s;
    while (greeting.find('\n') == std::string::npos && TClock::now() < deadline) {
      pollfd fd{control, POLLIN, 0};
      if (::poll(&fd, 1, 200) <= 0) {
        continue;
      }
      char block[512];
      ssize_t got = ::recv(control, block, sizeof block, 0);
      if (got <= 0) {
        break;
      }
      greeting.append(block, static_cast<std::size_t>(got));
    }
  }
  ::close(control);
  return greeting.rfind("220 " + banner, 0) == 0;
}

std::string VsftpdConfig(const std::string& address, const std::filesystem::path& home,
                         const std::filesystem::path& empty, const std::filesystem::path& log,
                         const std::string& banner) {
  std::ostringstream text;
  text << "listen=YES\n"
          "listen_ipv6=NO\n"
          "listen_address="
       << address
       << "\n"
          "listen_port=21\n"
          "background=NO\n"
          "anonymous_enable=NO\n"
          "local_enable=YES\n"
          "write_enable=YES\n"
          "local_umask=022\n"
          "local_root="
       << home.string()
       << "\n"
          // The home is the root the client sees, as with pyftpdlib.
          "chroot_local_user=YES\n"
          "allow_writeable_chroot=YES\n"
          "port_enable=YES\n"
          "connect_from_port_20=NO\n"
          "pasv_enable=YES\n"
          "seccomp_sandbox=NO\n"
          "delay_failed_login=0\n"
          "userlist_enable=NO\n"
          "pam_service_name="
       << PamService
       << "\n"
          "secure_chroot_dir="
       << empty.string()
       << "\n"
          "xferlog_enable=YES\n"
          "xferlog_std_format=NO\n"
          "log_ftp_protocol=YES\n"
          "vsftpd_log_file="
       << log.string()
       << "\n"
          "ftpd_banner="
       << banner << "\n";
  return text.str();
}

// Every process below `root`, read from /proc.
std::vector<pid_t> Descendants(pid_t root) {
  std::vector<std::pair<pid_t, pid_t>> parents;  // (pid, parent pid)
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    // /proc/<pid>/stat: pid (comm) state ppid ...; comm may hold spaces.
    std::string stat = ReadAll(entry.path() / "stat");
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) {
      continue;
    }
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    long parent = 0;
    if (fields >> state >> parent) {
      parents.emplace_back(static_cast<pid_t>(std::stol(name)), static_cast<pid_t>(parent));
    }
  }
  std::vector<pid_t> found{root};
  for (std::size_t next = 0; next < found.size(); ++next) {
    for (const auto& [pid, parent] : parents) {
      if (parent == found[next]) {
        found.push_back(pid);
      }
    }
  }
  found.erase(found.begin());
  return found;
}

}  // namespace

std::string_view KindName(EFtpServerKind kind) {
  return kind == EFtpServerKind::Pyftpdlib ? "pyftpdlib" : "vsftpd";
}

std::string TRealFtpServer::UnavailableReason(EFtpServerKind kind) {
  if (::geteuid() != 0) {
    return "real FTP servers listen on port 21, which needs root: run the tests as root";
  }
  if (kind == EFtpServerKind::Pyftpdlib) {
    if (::access(Python, X_OK) != 0 || ::access(PyftpdlibModule, R_OK) != 0) {
      return "python3-pyftpdlib is not installed: run scripts/setup";
    }
    if (::access(PyftpdlibScript().c_str(), R_OK) != 0) {
      return "missing " + PyftpdlibScript().string();
    }
    return {};
  }
  if (::access(Vsftpd, X_OK) != 0) {
    return "vsftpd is not installed: run scripts/setup";
  }
  if (::getpwnam(AccountName) == nullptr) {
    return std::string("the local user ") + AccountName + " does not exist: run scripts/setup";
  }
  if (::access((std::string("/etc/pam.d/") + PamService).c_str(), R_OK) != 0) {
    return std::string("the PAM service ") + PamService + " is missing: run scripts/setup";
  }
  return {};
}

std::unique_ptr<TRealFtpServer> TRealFtpServer::Start(EFtpServerKind kind, unsigned index) {
  if (std::string why = UnavailableReason(kind); !why.empty()) {
    throw std::runtime_error(why);
  }
  std::string failures;
  for (unsigned n = index; n < AddressesPerKind; ++n) {
    std::string address = "127.0.0." + std::to_string(BaseOctet(kind) + n);
    if (!PortFree(address)) {
      failures += address + ":21 is in use\n";
      continue;
    }
    std::unique_ptr<TRealFtpServer> server(new TRealFtpServer);
    server->ServerAddress = address;
    std::string failure;
    if (server->TryStart(kind, n, failure)) {
      return server;
    }
    failures += failure + "\n";
  }
  throw std::runtime_error("cannot start " + std::string(KindName(kind)) + ":\n" + failures);
}

bool TRealFtpServer::TryStart(EFtpServerKind kind, unsigned index, std::string& failure) {
  static std::atomic<unsigned> Counter{0};
  ServerKind = kind;
  std::string pattern = "/dev/shm/tavix-ftp-" + std::string(KindName(kind)) + "-" +
                        std::to_string(index) + ".XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    failure = "mkdtemp " + pattern + ": " + std::strerror(errno);
    return false;
  }
  RunDir = pattern;
  // vsftpd sessions run as the test account, which must reach the home.
  std::filesystem::permissions(RunDir, std::filesystem::perms(0755));
  HomeDir = RunDir / "home";
  std::filesystem::create_directory(HomeDir);
  OutputLog = RunDir / "output.log";
  std::string banner = "tavix-test-" + std::string(KindName(kind)) + "-" +
                       std::to_string(::getpid()) + "-" + std::to_string(Counter++);

  std::vector<std::string> args;
  if (kind == EFtpServerKind::Pyftpdlib) {
    CommandLog = RunDir / "commands.log";
    args = {Python,       PyftpdlibScript().string(), "--address",   ServerAddress,
            "--user",     AccountName,                "--password",  AccountPassword,
            "--home",     HomeDir.string(),           "--command-log", CommandLog.string(),
            "--banner",   banner};
  } else {
    const passwd* account = ::getpwnam(AccountName);
    if (account == nullptr || ::chown(HomeDir.c_str(), account->pw_uid, account->pw_gid) != 0) {
      failure = std::string("cannot give the home to ") + AccountName;
      return false;
    }
    std::filesystem::path empty = RunDir / "empty";
    std::filesystem::create_directory(empty);
    CommandLog = RunDir / "vsftpd.log";
    std::filesystem::path config = RunDir / "vsftpd.conf";
    {
      std::ofstream out(config);
      out << VsftpdConfig(ServerAddress, HomeDir, empty, CommandLog, banner);
    }
    std::filesystem::permissions(config, std::filesystem::perms(0600));
    args = {Vsftpd, config.string()};
  }

  int output = ::open(OutputLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (output < 0) {
    failure = "cannot create " + OutputLog.string();
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, output, 1);
  posix_spawn_file_actions_adddup2(&actions, output, 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::vector<char*> argv;
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  extern char** environ;
  // A process group of its own, so Stop() ends the sessions it forked too.
  int error = SpawnInOwnGroup(Pid, actions, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(output);
  if (error != 0) {
    Pid = -1;
    failure = "cannot run " + args[0] + ": " + std::strerror(error);
    return false;
  }

  TClock::time_point deadline = TClock::now() + ReadyTimeout;
  while (TClock::now() < deadline) {
    int status = 0;
    if (::waitpid(Pid, &status, WNOHANG) == Pid) {
      Pid = -1;
      failure = std::string(KindName(kind)) + " on " + ServerAddress + " exited at start:\n" + Output();
      Stop();
      return false;
    }
    if (Greets(ServerAddress, banner)) {
      return true;
    }
    std::this_thread::sleep_for(50ms);
  }
  failure = std::string(KindName(kind)) + " on " + ServerAddress + " did not greet within " +
            std::to_string(ReadyTimeout.count()) + " s:\n" + Output();
  Stop();
  return false;
}

TRealFtpServer::~TRealFtpServer() {
  Stop();
}

void TRealFtpServer::Stop() {
  if (Pid > 0) {
    // The server leads its own process group. vsftpd moves each session to
    // a session of its own, so those are found as descendants while the
    // server still lives and can still be told from unrelated processes.
    for (pid_t session : Descendants(Pid)) {
      ::kill(session, SIGKILL);
    }
    // The leader is only reaped after the last signal to the group, so the
    // group's id cannot have passed to anyone else when that signal goes.
    ::kill(-Pid, SIGTERM);
    TClock::time_point deadline = TClock::now() + StopTimeout;
    siginfo_t info{};
    for (;;) {
      info.si_pid = 0;
      if (::waitid(P_PID, static_cast<id_t>(Pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
          info.si_pid == Pid || TClock::now() >= deadline) {
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
    ::kill(-Pid, SIGKILL);
    int status = 0;
    ::waitpid(Pid, &status, 0);
    Pid = -1;
  }
  if (!RunDir.empty()) {
    std::error_code ignored;  // Best effort: Stop() runs from the destructor.
    std::filesystem::remove_all(RunDir, ignored);
    RunDir.clear();
  }
}

std::string TRealFtpServer::Url(std::string_view path) const {
  while (!path.empty() && path.front() == '/') {
    path.remove_prefix(1);
  }
  return "ftp://" + User() + ":" + Password() + "@" + ServerAddress + "/" + std::string(path);
}

std::filesystem::path TRealFtpServer::PutFile(std::string_view name, std::string_view bytes) const {
  std::filesystem::path path = HomeDir / name;
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
      throw std::runtime_error("cannot write " + path.string());
    }
  }
  if (ServerKind == EFtpServerKind::Vsftpd) {
    const passwd* account = ::getpwnam(AccountName);
    if (account == nullptr || ::chown(path.c_str(), account->pw_uid, account->pw_gid) != 0) {
      throw std::runtime_error("cannot give " + path.string() + " to " + AccountName);
    }
  }
  return path;
}

std::vector<std::string> TRealFtpServer::Commands() const {
  std::vector<std::string> commands;
  std::istringstream log(ReadAll(CommandLog));
  std::string line;
  // vsftpd: ... FTP command: Client "127.0.0.1", "USER tavixftp"
  const std::string marker = "FTP command: Client \"";
  while (std::getline(log, line)) {
    if (ServerKind == EFtpServerKind::Pyftpdlib) {
      commands.push_back(line);
      continue;
    }
    std::size_t at = line.find(marker);
    if (at == std::string::npos) {
      continue;
    }
    std::size_t open = line.find("\", \"", at + marker.size());
    std::size_t close = line.rfind('"');
    if (open != std::string::npos && close > open + 4) {
      commands.push_back(line.substr(open + 4, close - open - 4));
    }
  }
  return commands;
}

std::size_t TRealFtpServer::CountCommands(std::string_view verb) const {
  std::size_t count = 0;
  for (const std::string& command : Commands()) {
    if (std::string_view(command).substr(0, command.find(' ')) == verb) {
      ++count;
    }
  }
  return count;
}

std::string TRealFtpServer::Output() const {
  return ReadAll(OutputLog);
}
