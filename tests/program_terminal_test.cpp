// The built program with the terminal interface: its error boxes, the retry
// dialog answered through stdin, the ends of input, and SIGINT and SIGTERM.
// Every path ends with exit code 0.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ProgramRun.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

const char* const Title = "[title] Background FTP transfer\n";
const char* const DialogStart = "[Unable login to server...]\n";
const char* const Dialog =
    "[Unable login to server...]\n"
    "Unable to login to server...\n"
    "The reason for this may be one of the following:\n"
    "   - Your password is incorrect.\n"
    "   - The server has reached it's capacity of allowed simultanious users.\n"
    "   - Bad transfer/connection.\n"
    "Please select one of the below actions:\n"
    "  i) Retry indefinitely!\n"
    "  r) Retry according to above!\n"
    "  o) Retry once!\n"
    "  c) Cancel\n"
    "Retry count: 40\n";

std::string ErrorBox(const std::string& lines) { return "[Error]\n" + lines + "\n[OK]\n"; }

const std::string NotSupplied = ErrorBox(
    "Neccessary information-file not supplied!\n\nPlease pass the neccessary INI file's name as a parameter!");

// The FTP client reports its connection events on the status bar, which the
// terminal shows as "[status] ..." lines; what they say is the client's own
// business, so the comparisons leave them out.
std::string WithoutStatusLines(const std::string& text) {
    std::string kept;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        if (text.compare(at, 9, "[status] ") != 0) kept.append(text, at, end - at);
        at = end;
    }
    return kept;
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

TProgramResult RunConsole(std::vector<std::string> args, std::string input, EStdinEnd end = EStdinEnd::Eof,
                   std::chrono::milliseconds timeout = 30s) {
    TProgramOptions options;
    options.Args = std::move(args);
    options.Env = {{"TAVIX_FTP_UI", "console"}};
    options.StdinText = std::move(input);
    options.StdinEnd = end;
    options.Timeout = timeout;
    return RunProgram(TAVIX_BINARY, options);
}

bool SomethingListensOnLoopbackPort21() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(21);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool listening = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return listening;
}

TEST(ProgramTerminal, ErrorBoxesNameTheProblemThenTheProgramEnds) {
    TTempDir dir("tavix-terminal");
    // The path has a blank; unquoted it arrives as two arguments and the
    // program looks for the first one only.
    WriteFile(dir / "my job.ini", "[Login]\nServer=127.0.0.1\n");
    std::filesystem::create_directory(dir / "folder");
    struct Row {
        std::vector<std::string> Args;
        std::string Box;
    };
    std::vector<Row> rows = {
        {{}, NotSupplied},
        {{(dir / "my").string(), "job.ini"},
         ErrorBox("Neccessary information-file not found! (" + (dir / "my").string() + ")")},
        {{(dir / "folder").string()},
         ErrorBox("Neccessary information-file not found! (" + (dir / "folder").string() + ")")},
    };
    for (const Row& row : rows) {
        TProgramResult result = RunConsole(row.Args, "\n");
        SCOPED_TRACE(Describe(result));
        EXPECT_EQ(result.ExitCode, 0);
        EXPECT_EQ(WithoutStatusLines(result.Stderr), Title + row.Box);
        // The halt timer ends the program 200 ms after OK.
        EXPECT_GE(result.Elapsed, 190ms);
        EXPECT_LT(result.Elapsed, 10s);
    }
    EXPECT_TRUE(std::filesystem::exists(dir / "my job.ini"));
}

TEST(ProgramTerminal, AnErrorBoxWaitsForOneLineOrTheEndOfInput) {
    struct Row {
        const char* Name;
        std::string Input;
        EStdinEnd End;
        bool Waits;
    };
    std::vector<Row> rows = {
        {"open and silent", "", EStdinEnd::KeepOpen, true},
        {"a line, kept open", "\n", EStdinEnd::KeepOpen, false},
        {"any line", "whatever\n", EStdinEnd::KeepOpen, false},
        {"end of input", "", EStdinEnd::Eof, false},
        {"no stdin at all", "", EStdinEnd::Closed, false},
    };
    for (const Row& row : rows) {
        TProgramResult result = RunConsole({}, row.Input, row.End, 1500ms);
        SCOPED_TRACE(std::string(row.Name) + "\n" + Describe(result));
        EXPECT_EQ(WithoutStatusLines(result.Stderr), Title + NotSupplied);
        EXPECT_EQ(result.TimedOut, row.Waits);
        if (!row.Waits) {
            EXPECT_EQ(result.ExitCode, 0);
        }
    }
}

// A job against 127.0.0.1 port 21 with nothing listening: every attempt
// fails (the stand-in client fails at once, a real one is refused), so the
// retry dialog comes up and stdin answers it.
TEST(ProgramTerminal, TheRetryDialogIsAnsweredThroughStdin) {
    if (SomethingListensOnLoopbackPort21()) GTEST_SKIP() << "something listens on 127.0.0.1 port 21";
    struct Row {
        const char* Input;
        EStdinEnd End;
        std::size_t Dialogs;
        const char* Shows;  // also printed, after the first prompt
    };
    std::vector<Row> rows = {
        {"c\n", EStdinEnd::Eof, 1, ""},
        {"o\nc\n", EStdinEnd::Eof, 2, ""},
        {"O\nC\n", EStdinEnd::Eof, 2, ""},
        {"\n\nc\n", EStdinEnd::Eof, 3, ""},
        {"r   3\nc\n", EStdinEnd::Eof, 2, "Retry count: 3\n"},
        {"r\nc\n", EStdinEnd::Eof, 2, "Retry count: 40\n"},
        {"i\nc\n", EStdinEnd::Eof, 2, ""},
        {"x\no\nc\n", EStdinEnd::Eof, 2, "x"},
        {"retry\nc\n", EStdinEnd::Eof, 1, "retry"},
        {"o 5\nc\n", EStdinEnd::Eof, 1, "o 5"},
        {"o\n", EStdinEnd::Eof, 2, ""},  // then end of input closes it
        {"", EStdinEnd::Eof, 1, ""},
        {"", EStdinEnd::Closed, 1, ""},
    };
    for (const Row& row : rows) {
        TTempDir dir("tavix-terminal");
        std::filesystem::path job = WriteInformationFile(
            dir.Path(), TInformation{"127.0.0.1", "anne", "secret", 0, "/pub/readme.txt", (dir / "out.txt").string(), 0});
        TProgramResult result = RunConsole({job.string()}, row.Input, row.End);
        SCOPED_TRACE(std::string("input \"") + row.Input + "\"\n" + Describe(result));
        EXPECT_EQ(result.ExitCode, 0);
        EXPECT_FALSE(result.TimedOut);
        EXPECT_FALSE(std::filesystem::exists(job)) << "the information file is still there";
        EXPECT_EQ(result.Stderr.rfind(Title, 0), 0u);
        std::size_t first = result.Stderr.find(Dialog);
        ASSERT_NE(first, std::string::npos);
        std::size_t promptEnd = result.Stderr.find('\n', first + std::string(Dialog).size());
        EXPECT_GT(promptEnd, first + std::string(Dialog).size()) << "no prompt after the choices";
        // A client that reports each failure in an error box takes lines of
        // the input for those boxes; the dialogs can then not be counted.
        if (result.Stderr.find("[Error]") == std::string::npos) {
            EXPECT_EQ(Occurrences(result.Stderr, DialogStart), row.Dialogs);
            EXPECT_NE(result.Stderr.find(row.Shows, promptEnd), std::string::npos) << "missing: " << row.Shows;
        }
    }
}

// Runs the program with stdin kept open, waits for `marker` on its stderr,
// sends `signal`, and reports how it ended and how long that took.
struct SignalOutcome {
    bool MarkerSeen = false;
    bool Exited = false;
    int ExitCode = -1;
    int Signal = 0;
    std::chrono::milliseconds AfterSignal{0};
    std::string Stderr;
};

SignalOutcome RunAndSignal(const std::vector<std::string>& args, const std::string& marker, int signal) {
    int input[2], errors[2];
    EXPECT_EQ(pipe2(input, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(errors, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, errors[1], 2);
    std::vector<std::string> strings{TAVIX_BINARY};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& text : strings) argv.push_back(text.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment{"TAVIX_FTP_UI=console"};
    for (char** entry = environ; *entry; ++entry) {
        if (std::string(*entry).rfind("TAVIX_FTP_UI=", 0) != 0) environment.emplace_back(*entry);
    }
    std::vector<char*> envp;
    for (std::string& text : environment) envp.push_back(text.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, TAVIX_BINARY, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(errors[1]);
    SignalOutcome outcome;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << TAVIX_BINARY;
        close(input[1]);
        close(errors[0]);
        return outcome;
    }

    auto readFor = [&](auto until, std::chrono::steady_clock::time_point deadline) {
        while (!until() && std::chrono::steady_clock::now() < deadline) {
            pollfd entry{errors[0], POLLIN, 0};
            if (poll(&entry, 1, 20) <= 0) continue;
            char block[4096];
            ssize_t got = read(errors[0], block, sizeof block);
            if (got <= 0) return;
            outcome.Stderr.append(block, static_cast<std::size_t>(got));
        }
    };
    auto start = std::chrono::steady_clock::now();
    readFor([&] { return outcome.Stderr.find(marker) != std::string::npos; }, start + 20s);
    outcome.MarkerSeen = outcome.Stderr.find(marker) != std::string::npos;
    std::this_thread::sleep_for(50ms);  // the program is now waiting for input
    auto signalled = std::chrono::steady_clock::now();
    kill(pid, signal);

    int status = 0;
    bool done = false;
    while (!done && std::chrono::steady_clock::now() < signalled + 10s) {
        done = waitpid(pid, &status, WNOHANG) == pid;
        if (!done) std::this_thread::sleep_for(5ms);
    }
    outcome.AfterSignal =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled);
    if (!done) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    readFor([] { return false; }, std::chrono::steady_clock::now() + 1s);
    close(input[1]);
    close(errors[0]);
    outcome.Exited = done && WIFEXITED(status);
    outcome.ExitCode = outcome.Exited ? WEXITSTATUS(status) : -1;
    outcome.Signal = done && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return outcome;
}

TEST(ProgramTerminal, SigtermAndSigintActAsCancel) {
    TTempDir dir("tavix-terminal");
    struct Row {
        const char* Name;
        int Signal;
        bool WithJob;
        const char* Marker;
    };
    std::vector<Row> rows = {
        {"SIGTERM in the retry dialog", SIGTERM, true, "Retry count: 40\n"},
        {"SIGINT in the retry dialog", SIGINT, true, "Retry count: 40\n"},
        {"SIGTERM in an error box", SIGTERM, false, "[OK]\n"},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args;
        std::filesystem::path job;
        if (row.WithJob) {
            if (SomethingListensOnLoopbackPort21()) GTEST_SKIP() << "something listens on 127.0.0.1 port 21";
            job = WriteInformationFile(dir.Path(), TInformation{"127.0.0.1", "anne", "secret", 0, "/pub/a.txt",
                                                                (dir / "a.txt").string(), 0});
            args = {job.string()};
        }
        SignalOutcome outcome = RunAndSignal(args, row.Marker, row.Signal);
        SCOPED_TRACE(std::string(row.Name) + "\n--- stderr ---\n" + outcome.Stderr);
        EXPECT_TRUE(outcome.MarkerSeen);
        EXPECT_TRUE(outcome.Exited) << "ended by signal " << outcome.Signal;
        EXPECT_EQ(outcome.ExitCode, 0);
        EXPECT_LT(outcome.AfterSignal, 3s);
    }
}

}  // namespace
