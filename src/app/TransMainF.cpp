#include "TransMainF.h"

#include <sys/stat.h>
#include <unistd.h>

#include "Profile.h"
#include "RetryFormF.h"

TTransMain* TransMain = nullptr;
TransferJob Job;
std::int32_t ElapsedSeconds = 0;

namespace {

constexpr int FirstSeriesAttempts = 10;
constexpr int IndefiniteAttempts = 32000;
constexpr int TextType = 1;
constexpr int ImageType = 2;

// The driver's calls, passed on to the FTP client.
class TFtpOperations : public TTransferClient {
public:
    explicit TFtpOperations(TFtpClient& client) : FClient(client) {}
    void Connect() override { FClient.Connect(); }
    void Mode(int TheMode) override { FClient.Mode(TheMode); }
    void Download(const std::string& RemoteFile, const std::string& LocalFile) override {
        FClient.Download(RemoteFile, LocalFile);
    }
    void Upload(const std::string& LocalFile, const std::string& RemoteFile) override {
        FClient.Upload(LocalFile, RemoteFile);
    }
    void Disconnect() override { FClient.Disconnect(); }
    void Abort() override { FClient.Abort(); }

private:
    TFtpClient& FClient;
};

TLabel* CaptionLabel(TForm* form, const char* name, int left, int top, int width, const char* text) {
    auto* label = new TLabel(form, name, left, top, width, 13);
    label->Alignment = TAlignment::taRightJustify;
    label->Transparent = true;
    label->SetCaption(text);
    return label;
}

TLabel* ValueLabel(TForm* form, const char* name, int left, int top, int width, bool autoSize) {
    auto* label = new TLabel(form, name, left, top, width, 13);
    label->Transparent = true;
    label->AutoSize = autoSize;
    return label;
}

bool IsExistingFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

}  // namespace

TTransMain::TTransMain(TComponent* AOwner) : TForm(AOwner) {
    Name = "TransMain";
    SetCaption("tavix-FTP: Background file transfer...");
    ClientWidth = 329;
    ClientHeight = 104;

    Panel1 = new TPanel(this, "Panel1", 0, 0, 329, 85);
    Fill1 = new TPictureFill(this, "Fill1", 0, 0, 329, 85);
    Label1 = CaptionLabel(this, "Label1", 55, 2, 56, "Transfering:");
    Label4 = ValueLabel(this, "Label4", 115, 2, 204, false);
    Label2 = CaptionLabel(this, "Label2", 55, 16, 56, "Destination:");
    Label12 = ValueLabel(this, "Label12", 115, 16, 204, false);
    Label3 = CaptionLabel(this, "Label3", 67, 30, 44, "Progress:");
    ProgressBar1 = new TMeter(this, "ProgressBar1", 115, 30, 204, 15);
    ProgressBar1->SetRange(0, 1);
    Label5 = CaptionLabel(this, "Label5", 72, 46, 41, "Elapsed:");
    Label6 = ValueLabel(this, "Label6", 117, 46, 0, true);
    Label7 = CaptionLabel(this, "Label7", 92, 58, 21, "Left:");
    Label8 = ValueLabel(this, "Label8", 117, 58, 0, true);
    Label11 = CaptionLabel(this, "Label11", 79, 70, 34, "Speed:");
    Label10 = ValueLabel(this, "Label10", 117, 70, 0, true);
    Button1 = new TButton(this, "Button1", 8, 63, 55, 19);
    Button1->SetCaption("Cancel");
    Button1->Default = true;
    Button1->TabOrder = 0;
    Button1->OnClick = [this](TObject* sender) { Button1Click(sender); };
    Status = new TStatusBar(this, "Status", 0, 85, 329, 19);
    Status->AddPanel(200);

    FTP = new TFtpClient(this);
    FTP->Port = 21;
    FTP->ReportLevel = 0;
    FTP->ProxyPort = 0;
    FTP->Proxy = "";
    FTP->OnConnect = [this](TObject* sender) { FTPOpen(sender); };
    FTP->OnDisconnect = [this](TObject* sender) { FTPClosing(sender); };
    FTP->OnError = [this](TObject* sender, std::uint16_t error, const std::string& text) { FTPError(sender, error, text); };
    // The packet events drive the progress display, with the data session's
    // byte count.
    FTP->OnPacketRecvd = [this](TObject* sender) { PacketMoved(static_cast<TSockSession*>(sender)->BytesRecvd, false); };
    FTP->OnPacketSent = [this](TObject* sender) { PacketMoved(static_cast<TSockSession*>(sender)->BytesSent, false); };
    FTP->OnTransactionStop = [this](TObject*) {
        if (!FTP->DataSocket) return;
        PacketMoved(Job.Send ? FTP->DataSocket->BytesSent : FTP->DataSocket->BytesRecvd, true);
    };
    FFtpOperations = new TFtpOperations(*FTP);
    Client = FFtpOperations;

    Starta = new TTickTimer(this);
    Starta->SetInterval(100);
    Starta->OnTimer = [this](TObject* sender) { StartaTimer(sender); };
    Halta = new TTimer(this);
    Halta->SetEnabled(false);
    Halta->SetInterval(200);
    Halta->SetOnTimer([this](TObject* sender) { HaltaTimer(sender); });
    Timer1 = new TTickTimer(this);
    Timer1->SetInterval(1000);
    Timer1->OnTimer = [this](TObject* sender) { Timer1Timer(sender); };

    OnShow = [this](TObject* sender) { FormShow(sender); };
}

TTransMain::~TTransMain() {
    // The client reports its closing to this form's handlers: free it while
    // the form is still whole.
    delete FTP;
    FTP = nullptr;
    delete FFtpOperations;
}

void TTransMain::FormShow(TObject*) {
    SetBounds(476, 119);
    if (LoadJob()) {
        Starta->SetEnabled(true);
    } else {
        Halta->SetEnabled(true);
    }
}

bool TTransMain::LoadJob() {
    if (Arguments.empty()) {
        Application->MessageBox(
            "Neccessary information-file not supplied!\r\rPlease pass the neccessary INI file's name as a parameter!",
            "Error");
        return false;
    }
    const std::string& path = Arguments[0];
    if (!IsExistingFile(path)) {
        Application->MessageBox("Neccessary information-file not found! (" + path + ")", "Error");
        return false;
    }
    TIniFile ini(path);
    FTP->Host = ini.ReadString("Login", "Server", "");
    FTP->UserID = ini.ReadString("Login", "Username", "");
    FTP->Password = ini.ReadString("Login", "Password", "");
    Job.Send = ini.ReadBool("File", "Send", false);
    Job.RemotePath = ini.ReadString("File", "RemotePath", "");
    Job.LocalPath = ini.ReadString("File", "LocalPath", "");
    Job.Size = ini.ReadInteger("File", "Size", 0);
    // A file that cannot be deleted does not stop the transfer.
    unlink(path.c_str());
    return true;
}

void TTransMain::StartaTimer(TObject*) {
    // The start trigger fires once.
    Starta->SetEnabled(false);
    Application->Minimize();
    TransferWithRetry();
}

void TTransMain::HaltaTimer(TObject*) {
    Halta->SetEnabled(false);
    if (OnHalt) OnHalt();
}

void TTransMain::TransferWithRetry() {
    int attemptLimit = FirstSeriesAttempts;
    for (;;) {
        bool success = false;
        int attemptCount = 0;
        do {
            ++attemptCount;
            try {
                Client->Connect();
                Application->ProcessMessages();
                if (Job.Send) {
                    UploadFile();
                } else {
                    DownloadFile();
                }
                success = true;
            } catch (const std::exception&) {
                // A failed attempt; the client's OnError may have shown why.
                // One that Cancel aborted is the last: the program is about
                // to end, and a new download would empty the partial file.
                continue;
            }
            try {
                Client->Disconnect();
            } catch (const std::exception&) {
                // The transfer is done; a refused QUIT does not undo it.
            }
        } while (!success && !FCancelled && attemptCount < attemptLimit);
        if (success || FCancelled) break;

        RetryForm->ShowModal();
        int choice = RetryForm->RetryChoice;
        if (choice <= 0 || choice == 3) break;
        if (choice == 2) {
            attemptLimit = 1;
        } else if (choice == 4) {
            attemptLimit = IndefiniteAttempts;
        } else {
            attemptLimit = RetryForm->SpinEdit1->Value();
        }
    }
    Halta->SetEnabled(true);
}

void TTransMain::SetTransferType(const std::string& path) {
    std::string extension = PathExtension(path);
    Client->Mode(extension == ".TXT" || extension == ".ASC" ? TextType : ImageType);
}

void TTransMain::PrepareDisplay(const std::string& shownFile, const std::string& destination) {
    ProgressBar1->SetRange(0, 1);
    ProgressBar1->SetVisible(true);
    Label4->SetCaption(FileNamePart(shownFile));
    Label12->SetCaption(destination);
    Button1->SetVisible(true);
    Application->ProcessMessages();
}

void TTransMain::StartSecondsCounter() {
    ElapsedSeconds = 0;
    Timer1->SetEnabled(true);
}

void TTransMain::DownloadFile() {
    SetTransferType(Job.RemotePath);
    PrepareDisplay(Job.RemotePath, Job.LocalPath);
    StartSecondsCounter();
    Client->Download(Job.RemotePath, Job.LocalPath);
}

void TTransMain::UploadFile() {
    SetTransferType(Job.LocalPath);
    PrepareDisplay(Job.LocalPath, Job.RemotePath);
    StartSecondsCounter();
    Client->Upload(Job.LocalPath, Job.RemotePath);
}

void TTransMain::FTPOpen(TObject*) { Status->SetPanelText(0, "Opening connection..."); }

void TTransMain::FTPClosing(TObject*) { Status->SetPanelText(0, "Closing connection..."); }

void TTransMain::FTPError(TObject*, std::uint16_t, const std::string& Errmsg) {
    Application->MessageBox("Error: \r\rFile: " + Job.RemotePath + "\r\rError message: " + Errmsg, "Error");
}

void TTransMain::Button1Click(TObject*) {
    FCancelled = true;
    Button1->SetEnabled(false);
    try {
        Client->Abort();
    } catch (const std::exception&) {
        // Cancel ends the program whatever the abort says.
    }
    Halta->SetEnabled(true);
}

void TTransMain::Timer1Timer(TObject*) {
    ++ElapsedSeconds;
    Application->ProcessMessages();
}

// The packet events come from inside the socket handlers: the progress
// routine, which processes messages, runs from the queue instead, at most a
// few times a second.
void TTransMain::PacketMoved(std::int64_t byteCount, bool force) {
    FProgressBytes = byteCount;
    std::uint64_t now = GetTickCount64();
    if (FProgressQueued || (!force && now - FLastProgressAt < ProgressPeriodMs)) return;
    FLastProgressAt = now;
    FProgressQueued = true;
    Platform::PostCall([this] {
        FProgressQueued = false;
        FTPTransferProgress(static_cast<std::int32_t>(FProgressBytes), 0, 0);
    });
}

void TTransMain::FTPTransferProgress(std::int32_t ByteCount, std::int32_t, std::int32_t) {
    // The client's total: the size announced for a download, the local
    // file's size for an upload; -1 when it has none.
    std::int64_t total = FTP && FTP->BytesTotal > 0 ? FTP->BytesTotal : -1;
    if (total == -1) total = Job.Size;
    if (Application->Terminated() || total <= 0 || total < ByteCount) return;
    Application->ProcessMessages();
    if (!Visible()) return;
    if (ProgressBar1->MaxValue() == 0 || ProgressBar1->MaxValue() == 1) ProgressBar1->SetMaxValue(total);
    ProgressBar1->SetProgress(ByteCount);
    ProgressBar1->SetCaption(IntToStr(ProgressBar1->Progress()) + " of " + IntToStr(ProgressBar1->MaxValue()));
    if (ElapsedSeconds > 0) {
        double value = static_cast<double>(ProgressBar1->Progress());
        Label10->SetCaption(SpeedText(value / ElapsedSeconds));
        std::int64_t rate = static_cast<std::int64_t>(value / ElapsedSeconds);
        if (rate > 0) Label8->SetCaption(MinutesSeconds((ProgressBar1->MaxValue() - ProgressBar1->Progress()) / rate));
        Label6->SetCaption(MinutesSeconds(ElapsedSeconds));
    }
    std::string title = Label4->Caption() + " " + Label10->Caption() + " " + Label8->Caption();
    Application->SetTitle(title);
    Application->Hint = title;
}

std::string SpeedText(double bytesPerSecond) {
    if (bytesPerSecond < 1024) return IntToStr(static_cast<long long>(bytesPerSecond)) + " Bps";
    long long hundredths = static_cast<long long>(bytesPerSecond / 1024 * 100);
    std::string text = IntToStr(hundredths / 100);
    long long fraction = hundredths % 100;
    if (fraction != 0) {
        text += "." + std::string(fraction < 10 ? "0" : "") + IntToStr(fraction);
        if (text.back() == '0') text.pop_back();
    }
    return text + " KBps";
}

std::string MinutesSeconds(std::int64_t seconds) { return IntToStr(seconds / 60) + ":" + IntToStr(seconds % 60); }

std::string PathExtension(const std::string& path) {
    std::size_t dot = path.rfind('.');
    std::size_t separator = path.find_last_of("\\:");
    if (dot == std::string::npos || (separator != std::string::npos && separator > dot)) return "";
    return AsciiUpperCase(path.substr(dot));
}

std::string FileNamePart(const std::string& path) { return NamePart(path); }
