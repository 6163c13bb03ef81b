#include "ProgramRun.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace {

using TClock = std::chrono::steady_clock;

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Closes a descriptor once, whatever path leaves the function.
class TFd {
public:
  TFd() = default;
  explicit TFd(int fd) : Fd(fd) {}
  ~TFd() { Close(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return Fd; }
  void Reset(int fd) {
    Close();
    Fd = fd;
  }
  void Close() {
    if (Fd >= 0) {
      ::close(Fd);
      Fd = -1;
    }
  }

private:
  int Fd = -1;
};

void MakePipe(TFd& readEnd, TFd& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) < 0) {
    ThrowErrno("pipe2");
  }
  readEnd.Reset(fds[0]);
  writeEnd.Reset(fds[1]);
}

std::vector<std::string> MergedEnvironment(
    const std::vector<std::pair<std::string, std::string>>& extra) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    std::size_t equals = text.find('=');
    if (equals != std::string::npos) {
      variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
  }
  for (const auto& [name, value] : extra) {
    variables[name] = value;
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : variables) {
    result.push_back(name + "=" + value);
  }
  return result;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& text : strings) {
    result.push_back(text.data());
  }
  result.push_back(nullptr);
  return result;
}

// Reads what is there; false at end of file.
bool Drain(int fd, std::string& into) {
  char block[65536];
  for (;;) {
    ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 && errno == EAGAIN) {
      return true;
    }
    if (got <= 0) {
      return false;
    }
    into.append(block, static_cast<std::size_t>(got));
  }
}

}  // namespace

TProgramResult RunProgram(const std::filesystem::path& program, const TProgramOptions& options) {
  // A child that exits before reading its input must not kill the test with
  // SIGPIPE; the child gets the default action back below.
  static const bool PipeSignalIgnored = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)PipeSignalIgnored;

  TFd stdinRead, stdinWrite, stdoutRead, stdoutWrite, stderrRead, stderrWrite;
  if (options.StdinEnd != EStdinEnd::Closed) {
    MakePipe(stdinRead, stdinWrite);
  }
  MakePipe(stdoutRead, stdoutWrite);
  MakePipe(stderrRead, stderrWrite);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.StdinEnd == EStdinEnd::Closed) {
    posix_spawn_file_actions_addclose(&actions, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, stdinRead.Get(), 0);
  }
  posix_spawn_file_actions_adddup2(&actions, stdoutWrite.Get(), 1);
  posix_spawn_file_actions_adddup2(&actions, stderrWrite.Get(), 2);
  // Sockets of fixtures in this process must not leak into the child.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (!options.WorkDir.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.WorkDir.c_str());
  }

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigaddset(&signals, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argvStrings{program.string()};
  argvStrings.insert(argvStrings.end(), options.Args.begin(), options.Args.end());
  std::vector<std::string> envStrings = MergedEnvironment(options.Env);
  std::vector<char*> argv = Pointers(argvStrings);
  std::vector<char*> envp = Pointers(envStrings);

  TClock::time_point start = TClock::now();
  pid_t pid = -1;
  int error = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    errno = error;
    ThrowErrno("cannot start " + program.string());
  }
  stdinRead.Close();
  stdoutWrite.Close();
  stderrWrite.Close();

  TProgramResult result;
  std::string_view pendingInput = options.StdinText;
  if (stdinWrite.Get() >= 0) {
    ::fcntl(stdinWrite.Get(), F_SETFL, O_NONBLOCK);
    if (pendingInput.empty() && options.StdinEnd == EStdinEnd::Eof) {
      stdinWrite.Close();
    }
  }
  ::fcntl(stdoutRead.Get(), F_SETFL, O_NONBLOCK);
  ::fcntl(stderrRead.Get(), F_SETFL, O_NONBLOCK);

  TClock::time_point deadline = start + options.Timeout;
  bool killed = false;
  auto killChild = [&] {
    if (!killed) {
      ::kill(pid, SIGKILL);
      killed = true;
      result.TimedOut = true;
    }
  };

  // Collects output until both pipes close or the time is up. After a kill
  // the pipes close too, unless the child left a descendant holding them, so
  // that case gets one more second and no more.
  while (stdoutRead.Get() >= 0 || stderrRead.Get() >= 0) {
    TClock::time_point now = TClock::now();
    if (now >= deadline) {
      if (killed) {
        break;
      }
      killChild();
      deadline = now + std::chrono::seconds(1);
    }
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {stdoutRead.Get(), POLLIN, 0};
    fds[count++] = {stderrRead.Get(), POLLIN, 0};
    bool writing = stdinWrite.Get() >= 0 && !pendingInput.empty();
    if (writing) {
      fds[count++] = {stdinWrite.Get(), POLLOUT, 0};
    }
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    int ready = ::poll(fds, count, static_cast<int>(wait.count()) + 1);
    if (ready < 0 && errno != EINTR) {
      ThrowErrno("poll");
    }
    if (ready <= 0) {
      continue;
    }
    if (fds[0].revents != 0 && !Drain(stdoutRead.Get(), result.Stdout)) {
      stdoutRead.Close();
    }
    if (fds[1].revents != 0 && !Drain(stderrRead.Get(), result.Stderr)) {
      stderrRead.Close();
    }
    if (writing && fds[2].revents != 0) {
      ssize_t written = ::write(stdinWrite.Get(), pendingInput.data(), pendingInput.size());
      if (written > 0) {
        pendingInput.remove_prefix(static_cast<std::size_t>(written));
      } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
        pendingInput = {};  // The child closed its input; the rest is dropped.
      }
      if (pendingInput.empty() && options.StdinEnd == EStdinEnd::Eof) {
        stdinWrite.Close();
      }
    }
  }

  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) {
      break;
    }
    if (TClock::now() >= deadline) {
      killChild();
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start);
  if (WIFEXITED(status)) {
    result.ExitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.Signal = WTERMSIG(status);
  }
  return result;
}

std::string Describe(const TProgramResult& result) {
  std::ostringstream text;
  text << "exit code " << result.ExitCode;
  if (result.Signal != 0) {
    text << ", signal " << result.Signal << " (" << strsignal(result.Signal) << ")";
  }
  if (result.TimedOut) {
    text << ", killed after the time-out";
  }
  text << ", " << result.Elapsed.count() << " ms\n--- stdout ---\n"
       << result.Stdout << "\n--- stderr ---\n"
       << result.Stderr << "\n--------------";
  return text.str();
}

int SpawnInOwnGroup(pid_t& pid, const posix_spawn_file_actions_t& actions, char* const argv[],
                    char* const envp[]) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigaddset(&signals, SIGPIPE);
  sigaddset(&signals, SIGTERM);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int error = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv, envp);
  posix_spawnattr_destroy(&attributes);
  return error;
}

TTempDir::TTempDir(std::string_view prefix, const std::filesystem::path& parent) {
  std::string pattern = (parent / (std::string(prefix) + ".XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    ThrowErrno("mkdtemp " + pattern);
  }
  Dir = pattern;
  std::filesystem::permissions(Dir, std::filesystem::perms(0755));
}

TTempDir::~TTempDir() {
  std::error_code ignored;  // Best effort: a destructor must not throw.
  std::filesystem::remove_all(Dir, ignored);
}

std::string InformationText(const TInformation& information, std::string_view newline) {
  std::string nl(newline);
  return "[Login]" + nl +                                   //
         "Server=" + information.Server + nl +              //
         "Username=" + information.Username + nl +          //
         "Password=" + information.Password + nl +          //
         "[File]" + nl +                                    //
         "Send=" + std::to_string(information.Send) + nl +  //
         "RemotePath=" + information.RemotePath + nl +      //
         "LocalPath=" + information.LocalPath + nl +        //
         "Size=" + std::to_string(information.Size) + nl;
}

std::filesystem::path WriteInformationFile(const std::filesystem::path& dir,
                                           const TInformation& information,
                                           std::string_view name) {
  std::filesystem::path path = dir / name;
  WriteFile(path, InformationText(information));
  return path;
}

void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string PatternBytes(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  if (state == 0) {
    state = 1;  // xorshift never leaves zero
  }
  for (char& byte : bytes) {
    // xorshift32: cheap, and every byte value turns up.
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}
