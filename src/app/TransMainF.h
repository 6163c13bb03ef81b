// The main window: loads the job, runs the attempt loop with its retry
// policy and shows the transfer's file, destination and connection events.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "FtpClient.h"
#include "Forms.h"
#include "Timers.h"

// The job read from the information file.
struct TransferJob {
    bool Send = false;
    std::string RemotePath;
    std::string LocalPath;
    std::int32_t Size = 0;
};

// The operations the driver calls on the FTP client, and nothing else.
class TTransferClient {
public:
    virtual ~TTransferClient() = default;
    virtual void Connect() = 0;
    virtual void Mode(int TheMode) = 0;
    virtual void Download(const std::string& RemoteFile, const std::string& LocalFile) = 0;
    virtual void Upload(const std::string& LocalFile, const std::string& RemoteFile) = 0;
    virtual void Disconnect() = 0;
    virtual void Abort() = 0;
};

class TTransMain : public TForm {
public:
    explicit TTransMain(TComponent* AOwner);
    ~TTransMain() override;

    TPanel* Panel1;
    TPictureFill* Fill1;
    TLabel* Label1;
    TLabel* Label4;
    TLabel* Label2;
    TLabel* Label12;
    TLabel* Label3;
    TMeter* ProgressBar1;
    TLabel* Label5;
    TLabel* Label6;
    TLabel* Label7;
    TLabel* Label8;
    TLabel* Label11;
    TLabel* Label10;
    TButton* Button1;
    TStatusBar* Status;
    TFtpClient* FTP;
    TTickTimer* Starta;
    TTimer* Halta;
    TTickTimer* Timer1;

    void FormShow(TObject* Sender);
    void StartaTimer(TObject* Sender);
    void HaltaTimer(TObject* Sender);
    void TransferWithRetry();
    void DownloadFile();
    void UploadFile();

    void FTPOpen(TObject* Sender);
    void FTPClosing(TObject* Sender);
    void FTPError(TObject* Sender, std::uint16_t Errno, const std::string& Errmsg);
    void Button1Click(TObject* Sender);
    void Timer1Timer(TObject* Sender);
    // Shows ByteCount of the transfer's total on the meter, with the speed,
    // the time left and the time elapsed; the other two arguments are unused.
    void FTPTransferProgress(std::int32_t ByteCount, std::int32_t Unused1, std::int32_t Unused2);

    // Loads the job named by the first argument; false after a message.
    bool LoadJob();

    // The program's arguments after its own name.
    std::vector<std::string> Arguments;
    // What the driver calls; the FTP client unless a test puts another here.
    TTransferClient* Client;
    // Ends the process; HaltaTimer calls it.
    std::function<void()> OnHalt;

private:
    void SetTransferType(const std::string& path);
    void PrepareDisplay(const std::string& shownFile, const std::string& destination);
    void StartSecondsCounter();
    void PacketMoved(std::int64_t byteCount, bool force);

    std::uint64_t FLastProgressAt = 0;
    bool FProgressQueued = false;
    // Set by Cancel: the attempt loop starts no further attempt.
    bool FCancelled = false;
    std::int64_t FProgressBytes = 0;

    TTransferClient* FFtpOperations;
};

extern TTransMain* TransMain;
extern TransferJob Job;
extern std::int32_t ElapsedSeconds;

// How often the progress routine may run during a transfer.
constexpr std::uint64_t ProgressPeriodMs = 250;

// A speed in bytes per second as the progress window writes it: "512 Bps"
// below 1024, otherwise kilobytes truncated to two decimals ("12.5 KBps").
std::string SpeedText(double bytesPerSecond);
// Seconds as minutes and seconds without leading zeros: 65 gives "1:5".
std::string MinutesSeconds(std::int64_t seconds);

// The extension of a path: from its last "." when that comes after the last
// "\" and ":", upper-cased; "" otherwise.
std::string PathExtension(const std::string& path);
// The text after the last "\" or ":", or the whole path.
std::string FileNamePart(const std::string& path);
