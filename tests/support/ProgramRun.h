#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Runs programs for end-to-end tests, and writes the files they read.

// What the child finds on its standard input after StdinText.
enum class EStdinEnd {
  Eof,       // a pipe, closed after the text: reads then see end of input
  KeepOpen,  // a pipe kept open: reads after the text block until the timeout
  Closed,    // no descriptor 0 at all (the text is ignored): reads fail
};

// Every field has a default, so designated initializers may name only some:
//   RunProgram(TAVIX_BINARY, {.Args = {ini}, .Env = {{"TAVIX_FTP_UI", "console"}}})
struct TProgramOptions {
  std::vector<std::string> Args{};  // argv[1] onwards
  // Added to the test's own environment, replacing variables of the same name,
  // e.g. {"TAVIX_FTP_UI", "console"}.
  std::vector<std::pair<std::string, std::string>> Env{};
  std::string StdinText{};
  EStdinEnd StdinEnd = EStdinEnd::Eof;
  // The child is killed (SIGKILL, by its pid) when it runs longer.
  std::chrono::milliseconds Timeout{60000};
  std::filesystem::path WorkDir{};  // empty: the test's current directory
};

struct TProgramResult {
  int ExitCode = -1;  // the exit status, or -1 when a signal ended the child
  int Signal = 0;     // the signal that ended the child, 0 when it exited
  bool TimedOut = false;
  std::string Stdout{};
  std::string Stderr{};
  std::chrono::milliseconds Elapsed{0};
};

// Starts `program` and waits for it, feeding stdin and collecting stdout and
// stderr. Throws std::system_error when the program cannot be started.
TProgramResult RunProgram(const std::filesystem::path& program,
                          const TProgramOptions& options = {});

// Exit code, signal, time-out and both outputs, for assertion messages.
std::string Describe(const TProgramResult& result);

// posix_spawn for a child that leads a process group of its own (so the
// group can be ended as one), starts with no signal blocked and with SIGPIPE
// and SIGTERM at their default actions, whatever this process set for them.
// `argv[0]` is the program's path. Returns posix_spawn's error number, 0 when
// the child started; its pid is then in `pid`.
int SpawnInOwnGroup(pid_t& pid, const posix_spawn_file_actions_t& actions, char* const argv[],
                    char* const envp[]);

// A fresh directory (mode 0755) removed with everything in it on destruction.
// Under /dev/shm by default so big files stay in memory.
class TTempDir {
public:
  explicit TTempDir(std::string_view prefix = "tavix-test",
                    const std::filesystem::path& parent = "/dev/shm");
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::filesystem::path& Path() const { return Dir; }
  std::filesystem::path operator/(std::string_view name) const { return Dir / name; }

private:
  std::filesystem::path Dir;
};

// The fields of an information file. Send: 0 download, 1 upload.
struct TInformation {
  std::string Server{};
  std::string Username{};
  std::string Password{};
  int Send = 0;
  std::string RemotePath{};
  std::string LocalPath{};
  std::uint64_t Size = 0;
};

// The INI text: [Login] Server, Username, Password; [File] Send, RemotePath,
// LocalPath, Size; lines end in `newline`.
std::string InformationText(const TInformation& information,
                            std::string_view newline = "\r\n");

// Writes InformationText into dir/name and returns the path.
std::filesystem::path WriteInformationFile(const std::filesystem::path& dir,
                                           const TInformation& information,
                                           std::string_view name = "job.ini");

// Whole-file helpers; both throw std::runtime_error on failure.
void WriteFile(const std::filesystem::path& path, std::string_view bytes);
std::string ReadFile(const std::filesystem::path& path);

// Deterministic pseudo-random bytes (all 256 values occur), for payloads.
std::string PatternBytes(std::size_t size, std::uint32_t seed = 1);
