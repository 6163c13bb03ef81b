#include "XTesting.h"

#include "ProgramRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

extern char** environ;

namespace XTesting {

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

}  // namespace

std::filesystem::path Tool(const char* name) {
  for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
    std::filesystem::path path = std::filesystem::path(dir) / name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

std::string MissingTools() {
  for (const char* name : {"Xvfb", "xdotool", "xprop", "xwininfo", "import"}) {
    if (Tool(name).empty()) return std::string(name) + " is not installed (scripts/setup installs it)";
  }
  return "";
}

bool BinaryHasWindows(const std::filesystem::path& binary) {
  return std::filesystem::exists(binary.parent_path() / "tavix-ftp-window.so");
}

pid_t Spawn(const std::vector<std::string>& argv, const TSpawnOptions& options) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const char* out = options.OutPath.empty() ? "/dev/null" : options.OutPath.c_str();
  posix_spawn_file_actions_addopen(&actions, 1, out, O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (options.ExtraFd >= 0) posix_spawn_file_actions_adddup2(&actions, options.ExtraFd, 3);
  posix_spawn_file_actions_addclosefrom_np(&actions, options.ExtraFd >= 0 ? 4 : 3);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> variables;
  for (char** entry = environ; *entry; ++entry) {
    if (std::string(*entry).rfind("DISPLAY=", 0) != 0) variables.emplace_back(*entry);
  }
  if (!options.Display.empty()) variables.push_back("DISPLAY=" + options.Display);
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int error = options.OwnProcessGroup
                  ? SpawnInOwnGroup(pid, actions, args.data(), envp.data())
                  : posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

void Stop(pid_t pid, std::chrono::milliseconds grace) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  for (auto i = grace / 10ms; i > 0 && waitpid(pid, &status, WNOHANG) == 0; --i) std::this_thread::sleep_for(10ms);
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  TClock::time_point deadline = TClock::now() + timeout;
  while (!condition()) {
    if (TClock::now() >= deadline) return false;
    std::this_thread::sleep_for(25ms);
  }
  return true;
}

TXServer::TXServer(const TXServerOptions& options) : Settings(options) {
  for (int number = Settings.FirstDisplay; number <= Settings.LastDisplay && Pid < 0; ++number) {
    if (std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock") ||
        std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number))) {
      continue;
    }
    TryStart(number);
  }
}

TXServer::~TXServer() {
  for (pid_t helper : Helpers) Stop(helper, Settings.StopGrace);
  Stop(Pid, Settings.StopGrace);
}

pid_t TXServer::StartHelper(const std::vector<std::string>& argv) {
  pid_t pid = Spawn(argv, {.Display = Display, .OwnProcessGroup = Settings.OwnProcessGroup});
  if (pid > 0) Helpers.push_back(pid);
  return pid;
}

// Xvfb writes the display number to descriptor 3 once it accepts clients.
void TXServer::TryStart(int number) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  pid_t pid = Spawn({Tool("Xvfb").string(), ":" + std::to_string(number), "-screen", "0",
                     std::to_string(ScreenWidth) + "x" + std::to_string(ScreenHeight) + "x24", "-nolisten", "tcp",
                     "-displayfd", "3"},
                    {.ExtraFd = fds[1], .OwnProcessGroup = Settings.OwnProcessGroup});
  close(fds[1]);
  std::string ready;
  TClock::time_point deadline = TClock::now() + 10s;
  while (pid > 0 && ready.find('\n') == std::string::npos && TClock::now() < deadline) {
    pollfd entry{fds[0], POLLIN, 0};
    if (poll(&entry, 1, 100) <= 0) continue;
    char block[32];
    ssize_t got = read(fds[0], block, sizeof block);
    if (got <= 0) break;
    ready.append(block, static_cast<std::size_t>(got));
  }
  close(fds[0]);
  if (ready.find('\n') == std::string::npos) {
    Stop(pid, Settings.StopGrace);
    return;
  }
  Pid = pid;
  Display = ":" + std::to_string(number);
}

// An X server with clients coming and going quickly now and then refuses a
// connection for a moment; the client is then run again.
std::string X(const TXServer& server, const char* tool, std::vector<std::string> args) {
  TProgramResult result;
  for (int attempt = 0; attempt < 5; ++attempt) {
    result = RunProgram(Tool(tool), {.Args = args, .Env = {{"DISPLAY", server.Name()}}, .Timeout = 10s});
    bool refused = result.Stderr.find("open display") != std::string::npos ||
                   result.Stderr.find("open X server") != std::string::npos;
    if (!refused) break;
    std::this_thread::sleep_for(20ms * (attempt + 1));
  }
  return result.Stdout;
}

std::vector<std::string> FindWindows(const TXServer& server, const char* caption, bool onlyVisible) {
  std::vector<std::string> args{"search"};
  if (onlyVisible) args.emplace_back("--onlyvisible");
  args.insert(args.end(), {"--name", caption});
  std::istringstream lines(X(server, "xdotool", args));
  std::vector<std::string> ids;
  for (std::string id; std::getline(lines, id);) {
    if (!id.empty()) ids.push_back(id);
  }
  return ids;
}

std::string WaitForWindow(const TXServer& server, const char* caption, bool onlyVisible, const std::string& other) {
  std::string found;
  WaitUntil([&] {
    for (const std::string& id : FindWindows(server, caption, onlyVisible)) {
      if (id != other) found = id;
    }
    return !found.empty();
  });
  return found;
}

TWindowInfo Info(const TXServer& server, const std::string& id) {
  std::string text = X(server, "xwininfo", {"-id", id});
  TWindowInfo info;
  // The first word after "<name>:".
  auto field = [&text](const char* name) {
    std::size_t at = text.find(std::string(name) + ":");
    if (at == std::string::npos) return std::string();
    std::size_t begin = text.find_first_not_of(" \t", at + std::strlen(name) + 1);
    if (begin == std::string::npos) return std::string();
    std::size_t end = text.find_first_of(" \t\r\n", begin);
    return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  };
  auto number = [&field](const char* name) {
    std::string value = field(name);
    return value.empty() ? -1 : std::atoi(value.c_str());
  };
  info.Left = number("Absolute upper-left X");
  info.Top = number("Absolute upper-left Y");
  info.Width = number("Width");
  info.Height = number("Height");
  info.MapState = field("Map State");
  return info;
}

std::string WmState(const TXServer& server, const std::string& id) {
  std::string text = X(server, "xprop", {"-id", id, "WM_STATE"});
  if (text.find("Iconic") != std::string::npos) return "Iconic";
  if (text.find("Normal") != std::string::npos) return "Normal";
  return "";
}

bool Minimised(const TXServer& server, const std::string& id) {
  return WmState(server, id) == "Iconic" && Info(server, id).MapState == "IsUnMapped";
}

bool Restored(const TXServer& server, const std::string& id) {
  return WmState(server, id) == "Normal" && Info(server, id).MapState == "IsViewable";
}

std::filesystem::path Screenshot(const TXServer& server, const std::string& id, const std::string& name,
                                 std::chrono::milliseconds settle) {
  std::filesystem::path dir = server.Options().ScreenshotDir;
  std::filesystem::create_directories(dir);
  std::filesystem::path file = dir / (name + ".png");
  std::this_thread::sleep_for(settle);
  X(server, "import", {"-window", id, file.string()});
  return file;
}

}  // namespace XTesting
