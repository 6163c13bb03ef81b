#include "Application.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>

#include "Forms.h"
#include "Windows.h"

TApplication* Application = new TApplication();  // lives until the process ends

namespace {

int InterruptPipe[2] = {-1, -1};

void OnSignal(int) {
    int saved = errno;
    char byte = 1;
    [[maybe_unused]] ssize_t ignored = write(InterruptPipe[1], &byte, 1);
    errno = saved;
}

// A process started without descriptor 0, 1 or 2 would hand that number to
// the first descriptor the platform opens, and the terminal interface would
// then read the message queue's wake-up descriptor as its input. Such a slot
// gets /dev/null, so a missing stdin reads as an empty one.
void OpenStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

}  // namespace

TApplication::TApplication() : TComponent(nullptr) {}

TApplication::~TApplication() = default;

void TApplication::Initialize(std::unique_ptr<TRenderer> renderer) {
    OpenStandardDescriptors();
    Platform::BindGuiThread();
    FRenderer = renderer ? std::move(renderer) : CreateRenderer();
    HookInterrupts();
}

// SIGINT and SIGTERM become a call on the GUI thread through the queue: the
// handler only writes a byte that the message loop's poll() sees.
void TApplication::HookInterrupts() {
    if (InterruptPipe[0] >= 0) return;
    if (pipe2(InterruptPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    Platform::WatchDescriptor(InterruptPipe[0], POLLIN, [](short) {
        char bytes[64];
        while (read(InterruptPipe[0], bytes, sizeof bytes) > 0) {
        }
        Platform::PostCall([] {
            if (Application->OnInterrupt) Application->OnInterrupt();
        });
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

TRenderer& TApplication::Renderer() {
    if (!FRenderer) FRenderer = CreateTerminalRenderer();
    return *FRenderer;
}

void TApplication::SetTitle(const std::string& title) {
    if (title == FTitle) return;
    FTitle = title;
    Renderer().TitleChanged(title);
}

void TApplication::Minimize() {
    FMinimized = true;
    Renderer().Minimized();
}

void TApplication::Restore() {
    FMinimized = false;
    Renderer().Restored();
}

void TApplication::ProcessMessages() { Platform::DispatchPending(); }

void TApplication::HandleMessage() {
    Platform::WaitForInput(-1);
    Platform::DispatchPending();
}

void TApplication::Run() {
    if (MainForm) MainForm->Show();
    while (!FTerminated) HandleMessage();
}

void TApplication::HandleException(const std::exception& error) { MessageBox(error.what(), FTitle); }

int TApplication::MessageBox(const std::string& text, const std::string& caption) {
    TForm box(nullptr);
    box.SetCaption(caption);
    box.MessageBoxForm = true;
    box.DialogFrame = true;
    box.Centered = true;
    auto* message = new TLabel(&box, "Message", 12, 12, 300, 40);
    message->SetCaption(text);
    auto* ok = new TButton(&box, "OK", 120, 60, 75, 25);
    ok->SetCaption("OK");
    ok->Default = true;
    ok->Cancel = true;
    ok->TabOrder = 0;
    ok->ModalResult = mrOk;
    return box.ShowModal();
}
