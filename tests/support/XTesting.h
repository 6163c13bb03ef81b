#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// Window tests: an Xvfb server of the test's own on a free display, programs
// started on it and ended by their pid, and the xdotool, xprop, xwininfo and
// import runs that drive the windows and read them back.
//
//   if (std::string missing = XTesting::MissingTools(); !missing.empty())
//     GTEST_SKIP() << missing;
//   XTesting::TXServer server({.FirstDisplay = 90, .LastDisplay = 99, ...});
//   ASSERT_TRUE(server.Running());
//   ... start the program with DISPLAY=server.Name() ...
//   std::string id = XTesting::WaitForWindow(server, "^Caption$", true);
//   XTesting::X(server, "xdotool", {"key", "Return"});
//
// Nothing here asserts: a query that finds nothing returns an empty string,
// -1 or false, and the test says what it expected.
namespace XTesting {

// The size of every test screen.
constexpr int ScreenWidth = 1024;
constexpr int ScreenHeight = 768;

// The tool's path in /usr/bin, /usr/local/bin or /bin; empty when it is in
// none of them.
std::filesystem::path Tool(const char* name);

// Empty when Xvfb, xdotool, xprop, xwininfo and import are all installed;
// otherwise a skip message naming the first one missing.
std::string MissingTools();

// True when the program at `binary` was built with the window interface,
// which is a module beside it.
bool BinaryHasWindows(const std::filesystem::path& binary);

struct TSpawnOptions {
  std::string Display{};  // the child's DISPLAY; empty: none, the test's own is dropped
  int ExtraFd = -1;       // when set, becomes the child's descriptor 3
  // Standard output and error are appended to this file; empty: /dev/null.
  std::filesystem::path OutPath{};
  // As SpawnInOwnGroup: a process group of its own and default signals.
  // Otherwise the child stays in the test's group and inherits its signals.
  bool OwnProcessGroup = false;
};

// Starts argv[0] (a path) with input from /dev/null and no descriptors above
// the ones named; -1 when it cannot be started. The caller ends it with Stop.
pid_t Spawn(const std::vector<std::string>& argv, const TSpawnOptions& options = {});

// Ends a process this test started, by its pid: SIGTERM, then SIGKILL once
// `grace` has passed. Does nothing for a pid <= 0.
void Stop(pid_t pid, std::chrono::milliseconds grace);

// Checks `condition` every 25 ms; false when it is still false at `timeout`.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

struct TXServerOptions {
  // Displays tried in turn; one with a lock or socket file is passed over.
  // Suites that may run side by side use ranges of their own.
  int FirstDisplay = 0;
  int LastDisplay = 0;
  bool OwnProcessGroup = false;  // for Xvfb and the helpers, as in TSpawnOptions
  std::chrono::milliseconds StopGrace{1000};  // for Xvfb and the helpers, as in Stop
  std::filesystem::path ScreenshotDir{};      // where Screenshot writes
};

// An Xvfb server of ScreenWidth x ScreenHeight on the first free display of
// the range, ready for clients once constructed, and stopped by its pid with
// its helpers on destruction.
class TXServer {
public:
  explicit TXServer(const TXServerOptions& options);
  ~TXServer();
  TXServer(const TXServer&) = delete;
  TXServer& operator=(const TXServer&) = delete;

  bool Running() const { return Pid > 0; }
  // ":<number>", for DISPLAY.
  const std::string& Name() const { return Display; }
  const TXServerOptions& Options() const { return Settings; }
  // Starts a program on this display and stops it with the server.
  pid_t StartHelper(const std::vector<std::string>& argv);

private:
  void TryStart(int number);

  TXServerOptions Settings;
  pid_t Pid = -1;
  std::string Display;
  std::vector<pid_t> Helpers;
};

// Runs an X client (a Tool name) on the display and returns its standard
// output. A connection refused for a moment is tried again, up to five times.
std::string X(const TXServer& server, const char* tool, std::vector<std::string> args);

// The ids of the windows whose name matches the regular expression `caption`.
std::vector<std::string> FindWindows(const TXServer& server, const char* caption, bool onlyVisible);

// Waits up to 10 s for a window matching `caption` other than `other` and
// returns its id (the last one found); empty when none came.
std::string WaitForWindow(const TXServer& server, const char* caption, bool onlyVisible,
                          const std::string& other = "");

struct TWindowInfo {
  int Left = -1, Top = -1, Width = -1, Height = -1;  // -1 when not reported
  std::string MapState;                              // "IsViewable", "IsUnMapped", ...
};

// The window's place, size and map state, as xwininfo reports them.
TWindowInfo Info(const TXServer& server, const std::string& id);

// "Iconic" or "Normal" from WM_STATE; empty when neither.
std::string WmState(const TXServer& server, const std::string& id);

// Iconic and unmapped.
bool Minimised(const TXServer& server, const std::string& id);

// Normal and viewable.
bool Restored(const TXServer& server, const std::string& id);

// Waits `settle` so the window finishes drawing, then writes it to
// <ScreenshotDir>/<name>.png and returns that path.
std::filesystem::path Screenshot(const TXServer& server, const std::string& id, const std::string& name,
                                 std::chrono::milliseconds settle = std::chrono::milliseconds(150));

}  // namespace XTesting
