// The window interface, driven the way a person would: on an Xvfb server of
// the test's own, with xdotool keys and clicks on the real windows, checked
// with xprop and xwininfo. The program runs with DISPLAY set and without
// TAVIX_FTP_UI; its job points at a loopback address where nothing listens
// on port 21, so every attempt is refused at once and the retry dialog
// follows the first series within a second.
//
// One test drives the retry dialog inside this process, through a real
// TRetryForm shown modally by the FLTK renderer, so the choice, the count
// typed and the focus can be read back from the model.

#include "Application.h"
#include "Forms.h"
#include "ProgramRun.h"
#include "RetryFormF.h"
#include "Windows.h"
#include "XTesting.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <future>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace XTesting;

const char* const MainCaption = "^tavix-FTP: Background file transfer\\.\\.\\.$";
const char* const RetryCaption = "^Unable login to server\\.\\.\\.$";
const char* const ErrorCaption = "^Error$";

// Xvfb on a free display :90 to :99, in the test's process group.
const TXServerOptions XOptions{.FirstDisplay = 90,
                               .LastDisplay = 99,
                               .OwnProcessGroup = false,
                               .StopGrace = 1s,
                               .ScreenshotDir = std::filesystem::path(TAVIX_BUILD_DIR) / "window-test"};

// What a window manager sends when the user clicks a window's close box;
// false when it cannot be sent. Defined at the end, after Xlib's header.
bool SendCloseRequest(const std::string& display, const std::string& id);

// A loopback address where nothing accepts on port 21: 127.0.0.1 unless a
// server of another test happens to listen there.
std::string RefusingAddress() {
  for (int last = 1; last < 255; ++last) {
    std::string address = "127.0.0." + std::to_string(last);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(21);
    inet_pton(AF_INET, address.c_str(), &target.sin_addr);
    bool refused = connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0 && errno == ECONNREFUSED;
    close(fd);
    if (refused) return address;
  }
  return "127.0.0.1";
}

// The program on the test's display, run on a thread of its own.
std::future<TProgramResult> StartProgram(const TXServer& server, std::vector<std::string> args) {
  TProgramOptions options{.Args = std::move(args),
                          .Env = {{"DISPLAY", server.Name()}, {"TAVIX_FTP_UI", ""}},
                          .Timeout = 30s};
  return std::async(std::launch::async, [options] { return RunProgram(TAVIX_BINARY, options); });
}

bool Running(std::future<TProgramResult>& program) { return program.wait_for(0s) != std::future_status::ready; }

class WindowTest : public testing::Test {
protected:
  // What the program printed, once it has ended, for a failure's message.
  void TearDown() override {
    if (HasFailure() && Program.valid() && Program.wait_for(0s) == std::future_status::ready) {
      std::cerr << "tavix-ftp: " << Describe(Program.get()) << "\n";
    }
  }

  void SetUp() override {
    if (std::string missing = MissingTools(); !missing.empty()) GTEST_SKIP() << missing;
    if (!BinaryHasWindows(TAVIX_BINARY)) GTEST_SKIP() << "tavix-ftp was built without FLTK: no window interface";
    Server = std::make_unique<TXServer>(XOptions);
    ASSERT_TRUE(Server->Running()) << "no Xvfb could be started on :90 to :99";
  }

  std::filesystem::path JobFile() {
    return WriteInformationFile(Temp.Path(), {.Server = RefusingAddress(),
                                              .Username = "user",
                                              .Password = "secret",
                                              .RemotePath = "/pub/report.bin",
                                              .LocalPath = (Temp / "report.bin").string()});
  }

  // Declared before the server, so the server goes first: a program left
  // running by a failed check loses its display and ends at once.
  std::future<TProgramResult> Program;
  std::unique_ptr<TXServer> Server;
  TTempDir Temp{"tavix-window-test"};
};

TEST_F(WindowTest, MainWindowMinimisesAndTheModalRetryDialogTakesEnterThenEscape) {
  Program = StartProgram(*Server, {JobFile().string()});
  std::future<TProgramResult>& program = Program;

  std::string main = WaitForWindow(*Server, MainCaption, false);
  ASSERT_FALSE(main.empty()) << "the main window never appeared";
  // The application's title names the program on the desktop.
  EXPECT_NE(X(*Server, "xprop", {"-id", main, "WM_ICON_NAME"}).find("\"Background FTP transfer\""),
            std::string::npos);
  EXPECT_NE(X(*Server, "xprop", {"-id", main, "WM_CLASS"}).find("Background FTP transfer"), std::string::npos);
  ASSERT_TRUE(WaitUntil([&] { return Minimised(*Server, main); })) << "the start trigger did not minimise";
  TWindowInfo mainInfo = Info(*Server, main);
  EXPECT_EQ(mainInfo.Width, 476);
  EXPECT_EQ(mainInfo.Height, 119);
  // An ordinary sizeable frame: a smallest size, no largest.
  EXPECT_EQ(X(*Server, "xprop", {"-id", main, "WM_NORMAL_HINTS"}).find("maximum size"), std::string::npos);

  std::string retry = WaitForWindow(*Server, RetryCaption, true);
  ASSERT_FALSE(retry.empty()) << "no retry dialog after the first series";
  TWindowInfo retryInfo = Info(*Server, retry);
  EXPECT_EQ(retryInfo.Width, 399);
  EXPECT_EQ(retryInfo.Height, 162);
  EXPECT_EQ(retryInfo.Left, (ScreenWidth - 399) / 2);
  EXPECT_EQ(retryInfo.Top, (ScreenHeight - 162) / 2);
  // A fixed dialog frame, and modal to the main window.
  std::string hints = X(*Server, "xprop", {"-id", retry, "WM_NORMAL_HINTS", "_NET_WM_STATE"});
  EXPECT_NE(hints.find("maximum size: 399 by 162"), std::string::npos) << hints;
  EXPECT_NE(hints.find("_NET_WM_STATE_MODAL"), std::string::npos) << hints;
  Screenshot(*Server, retry, "retry");

  // Mapped again from outside (a task bar would), the main window is
  // restored: the program marks it normal again.
  X(*Server, "xdotool", {"windowmap", main});
  ASSERT_TRUE(WaitUntil([&] { return Restored(*Server, main); })) << "the main window was not restored";
  Screenshot(*Server, main, "main");

  // The main window is disabled under the modal dialog: a click on its
  // Cancel button would end the program within 200 ms.
  X(*Server, "xdotool", {"mousemove", "--window", main, "35", "72", "click", "1"});
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(Running(program)) << "a click reached the window under the modal dialog";
  EXPECT_EQ(Info(*Server, retry).MapState, "IsViewable");

  // The dialog opens with "Retry once!" focused: one more attempt, then
  // the dialog is back in a new window.
  X(*Server, "xdotool", {"key", "Return"});
  std::string again = WaitForWindow(*Server, RetryCaption, true, retry);
  ASSERT_FALSE(again.empty()) << "Enter did not retry once";
  EXPECT_TRUE(Running(program));

  X(*Server, "xdotool", {"key", "Escape"});
  ASSERT_EQ(program.wait_for(10s), std::future_status::ready) << "Escape did not cancel";
  TProgramResult result = program.get();
  EXPECT_EQ(result.ExitCode, 0) << Describe(result);
}

struct TErrorBoxAnswer {
  const char* Name;
  bool Click;
};

class ErrorBoxTest : public WindowTest, public testing::WithParamInterface<TErrorBoxAnswer> {};

TEST_P(ErrorBoxTest, WithoutAnArgumentTheErrorBoxEndsTheProgramWithOk) {
  Program = StartProgram(*Server, {});
  std::future<TProgramResult>& program = Program;
  std::string box = WaitForWindow(*Server, ErrorCaption, true);
  ASSERT_FALSE(box.empty()) << "no error box";
  // Sized to its two lines of text, an icon and one button, in the middle.
  TWindowInfo info = Info(*Server, box);
  EXPECT_GE(info.Width, 200);
  EXPECT_LE(info.Width, 600);
  EXPECT_GE(info.Height, 80);
  EXPECT_LE(info.Height, 160);
  EXPECT_NEAR(info.Left + info.Width / 2, ScreenWidth / 2, 2);
  Screenshot(*Server, box, "error");

  if (GetParam().Click) {
    // OK is centred 12 pixels above the bottom edge; it is 25 high.
    X(*Server, "xdotool", {"mousemove", "--window", box, std::to_string(info.Width / 2),
                           std::to_string(info.Height - 12 - 12), "click", "1"});
  } else {
    X(*Server, "xdotool", {"key", "Return"});
  }
  ASSERT_EQ(program.wait_for(10s), std::future_status::ready) << "OK did not end the program";
  TProgramResult result = program.get();
  EXPECT_EQ(result.ExitCode, 0) << Describe(result);
}

INSTANTIATE_TEST_SUITE_P(Answers, ErrorBoxTest,
                         testing::Values(TErrorBoxAnswer{"Enter", false}, TErrorBoxAnswer{"Click", true}),
                         [](const testing::TestParamInfo<TErrorBoxAnswer>& row) { return row.param.Name; });

// With a window manager the main window is iconified its way and comes
// back when the manager maps it again.
TEST_F(WindowTest, UnderAWindowManagerMinimisingAndRestoringGoThroughTheManager) {
  std::filesystem::path twm = Tool("twm");
  if (twm.empty()) GTEST_SKIP() << "twm is not installed: the window manager case is not checked";
  std::filesystem::path config = Temp / "twmrc";
  WriteFile(config, "RandomPlacement\nUsePPosition \"on\"\nNoGrabServer\n");
  ASSERT_GT(Server->StartHelper({twm.string(), "-f", config.string()}), 0);
  ASSERT_TRUE(WaitUntil([&] {
    return X(*Server, "xprop", {"-root", "_MIT_PRIORITY_COLORS"}).find("not found") == std::string::npos;
  })) << "twm did not start";

  Program = StartProgram(*Server, {JobFile().string()});
  std::future<TProgramResult>& program = Program;
  std::string main = WaitForWindow(*Server, MainCaption, false);
  ASSERT_FALSE(main.empty());
  ASSERT_TRUE(WaitUntil([&] { return Minimised(*Server, main); })) << "not iconified";
  std::string retry = WaitForWindow(*Server, RetryCaption, true);
  ASSERT_FALSE(retry.empty());

  X(*Server, "xdotool", {"windowmap", main});
  ASSERT_TRUE(WaitUntil([&] { return Restored(*Server, main); })) << "not restored";

  // The manager gives the keyboard to the window under the pointer.
  X(*Server, "xdotool", {"mousemove", "--window", retry, "200", "40"});
  X(*Server, "xdotool", {"key", "Escape"});
  ASSERT_EQ(program.wait_for(10s), std::future_status::ready) << "Escape did not cancel";
  TProgramResult result = program.get();
  EXPECT_EQ(result.ExitCode, 0) << Describe(result);
}

// --- The retry dialog inside this process ------------------------------------

// One way to answer the dialog: xdotool argument lists ("{W}" is the
// dialog's window id; {"close"} asks to close it as a close box does) and
// what the model must hold afterwards.
struct TRetryAnswer {
  const char* Name;
  std::vector<std::vector<std::string>> Steps;
  int Choice;
  int Result;
  std::string Count;
  const char* Focused;  // the control with the focus afterwards, by name
};

void Drive(const TXServer& server, const std::vector<std::vector<std::string>>& steps, const std::string& window) {
  for (std::vector<std::string> step : steps) {
    if (step == std::vector<std::string>{"close"}) {
      EXPECT_TRUE(SendCloseRequest(server.Name(), window)) << "no close request could be sent";
      continue;
    }
    for (std::string& arg : step) {
      if (arg == "{W}") arg = window;
    }
    X(server, "xdotool", step);
  }
}

// Runs the message loop on this thread until `done`, while another thread
// waits for the window, drives it and, as a watchdog, ends the wait after
// ten seconds so a lost answer fails the test instead of hanging it.
void RunWhileDriving(const TXServer& server, const char* caption, std::string& previous,
                     const std::vector<std::vector<std::string>>& steps, const std::function<void()>& loop,
                     const std::function<void()>& giveUp) {
  std::atomic<bool> finished{false};
  std::thread driver([&] {
    std::string window = WaitForWindow(server, caption, true, previous);
    if (window.empty()) {
      ADD_FAILURE() << "the window did not appear";
    } else {
      previous = window;
      Drive(server, steps, window);
    }
    if (!WaitUntil([&] { return finished.load(); })) {
      ADD_FAILURE() << "the answer did not reach the model";
      Platform::PostCall(giveUp);
    }
  });
  loop();
  finished = true;
  driver.join();
}

TEST(WindowRendererTest, RetryDialogAnswersKeysAndClicksThroughTheModel) {
  if (std::string missing = MissingTools(); !missing.empty()) GTEST_SKIP() << missing;
  TXServer server(XOptions);
  ASSERT_TRUE(server.Running());
  setenv("DISPLAY", server.Name().c_str(), 1);
  std::unique_ptr<TRenderer> renderer = CreateWindowRenderer();
  if (!renderer) GTEST_SKIP() << "built without FLTK: no window interface";
  Application->Initialize(std::move(renderer));

  TRetryForm form(nullptr);
  // The spin arrows sit at the right end of the edit (179, 103, 55 x 25).
  const std::vector<TRetryAnswer> answers = {
      {"Enter on the first focus", {{"key", "Return"}}, 2, mrOk, "40", "Button1"},
      {"Space on the focused button", {{"key", "space"}}, 2, mrOk, "40", "Button1"},
      {"Alt and the access key", {{"key", "alt+r"}}, 1, mrOk, "40", "Button1"},
      {"the access key alone on a button", {{"key", "r"}}, 1, mrOk, "40", "Button1"},
      {"Tab to Cancel", {{"key", "Tab", "Return"}}, 3, mrOk, "40", "Button2"},
      {"Shift+Tab wraps to the last", {{"key", "shift+Tab", "Return"}}, 4, mrOk, "40", "Button4"},
      {"Escape", {{"key", "Escape"}}, 3, mrOk, "40", "Button1"},
      // Typed ahead in one burst: the keys after the Tabs reach the edit.
      {"a count typed, only digits taken, then the arrow key",
       {{"key", "--delay", "0", "Tab", "Tab", "Tab", "End", "BackSpace", "BackSpace", "x", "7", "a", "Up"},
        {"key", "Return"}},
       1, mrOk, "8", "SpinEdit1"},
      {"a click on a button", {{"mousemove", "--window", "{W}", "44", "140", "click", "1"}}, 4, mrOk, "40", "Button4"},
      {"a click on the up arrow, then Enter",
       {{"mousemove", "--window", "{W}", "226", "108", "click", "1"}, {"key", "Return"}}, 1, mrOk, "41", "SpinEdit1"},
      {"the close box", {{"close"}}, 0, mrCancel, "40", "Button1"},
  };
  std::string previous;
  for (const TRetryAnswer& answer : answers) {
    SCOPED_TRACE(answer.Name);
    form.SpinEdit1->SetValue(40);
    form.SetFocus(form.Button1);
    form.RetryChoice = -1;
    int result = mrNone;
    RunWhileDriving(server, RetryCaption, previous, answer.Steps, [&] { result = form.ShowModal(); },
                    [&form] { form.Close(); });
    EXPECT_EQ(form.RetryChoice, answer.Choice);
    EXPECT_EQ(result, answer.Result);
    EXPECT_EQ(form.SpinEdit1->Text(), answer.Count);
    ASSERT_NE(form.ActiveControl(), nullptr);
    EXPECT_EQ(form.ActiveControl()->Name, answer.Focused);
  }

  // The main window's close box ends the application. Nothing in this
  // process runs a modal loop after this.
  {
    TForm main(nullptr);
    main.SetCaption("Main window of the test");
    main.ClientWidth = 200;
    main.ClientHeight = 80;
    auto* button = new TButton(&main, "Button1", 60, 30, 75, 25);
    button->SetCaption("Cancel");
    button->TabOrder = 0;
    Application->MainForm = &main;
    main.Show();
    RunWhileDriving(
        server, "^Main window of the test$", previous, {{"close"}},
        [] {
          while (!Application->Terminated()) Application->HandleMessage();
        },
        [] { Application->Terminate(); });
    EXPECT_FALSE(main.Visible());
  }
}

}  // namespace

// Xlib's header comes last: it defines macros such as Button1, Status and
// None that clash with the names above. Only its types are used; the library
// is loaded at run time, so this test links without it.
#if __has_include(<X11/Xlib.h>)
#include <X11/Xlib.h>
#define TAVIX_TEST_HAVE_XLIB 1
#endif

namespace {

bool SendCloseRequest(const std::string& display, const std::string& id) {
#ifdef TAVIX_TEST_HAVE_XLIB
  void* library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  if (!library) return false;
  auto open = reinterpret_cast<Display* (*)(const char*)>(dlsym(library, "XOpenDisplay"));
  auto intern = reinterpret_cast<Atom (*)(Display*, const char*, int)>(dlsym(library, "XInternAtom"));
  auto send = reinterpret_cast<int (*)(Display*, Window, int, long, XEvent*)>(dlsym(library, "XSendEvent"));
  auto sync = reinterpret_cast<int (*)(Display*, int)>(dlsym(library, "XSync"));
  auto closeDisplay = reinterpret_cast<int (*)(Display*)>(dlsym(library, "XCloseDisplay"));
  if (!open || !intern || !send || !sync || !closeDisplay) return false;
  Display* connection = nullptr;
  for (int attempt = 0; attempt < 5 && !connection; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(20ms * attempt);
    connection = open(display.c_str());
  }
  if (!connection) return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = std::stoul(id);
  event.xclient.message_type = intern(connection, "WM_PROTOCOLS", 0);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(intern(connection, "WM_DELETE_WINDOW", 0));
  event.xclient.data.l[1] = CurrentTime;
  send(connection, event.xclient.window, 0, NoEventMask, &event);
  sync(connection, 0);
  closeDisplay(connection);
  return true;
#else
  (void)display;
  (void)id;
  return false;
#endif
}

}  // namespace
