// The FTP client: a socket session whose socket carries the control
// connection. It logs in, sends commands and judges their replies by code,
// and moves one file at a time over an active-mode data connection.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "SockSession.h"

// The kind of command that ended, as the success and failure events see it.
enum class TCmdType : int {
    cmdChangeDir = 0,
    cmdMakeDir = 1,
    cmdDelete = 2,
    cmdRemoveDir = 3,
    cmdList = 4,
    cmdRename = 5,
    cmdUpRestore = 6,
    cmdDownRestore = 7,
    cmdDownload = 8,
    cmdUpload = 9,
    cmdAppend = 10,
    cmdReInit = 11,
    cmdAllocate = 12,
    cmdNList = 13,
    cmdDoCommand = 14,
    cmdCurrentDir = 15,
};

using TSuccessEvent = std::function<void(TCmdType Trans_Type)>;
using TFailureEvent = std::function<void(bool& Handled, TCmdType Trans_Type)>;
using TUnsupportedEvent = std::function<void(TCmdType Trans_Type)>;
using TListItemEvent = std::function<void(const std::string& Listing)>;

// Carries the server's reply line, CR LF included.
class FTPException : public Exception {
public:
    using Exception::Exception;
};

class TFtpClient : public TSockSession {
public:
    explicit TFtpClient(TComponent* AOwner);
    ~TFtpClient() override;

    std::string UserID;
    std::string Password;
    TSockSession* DataSocket = nullptr;
    TNotifyEvent OnTransactionStart;
    TNotifyEvent OnTransactionStop;
    TSuccessEvent OnSuccess;
    TFailureEvent OnFailure;
    THandlerEvent OnAuthenticationNeeded;
    THandlerEvent OnAuthenticationFailed;
    TListItemEvent OnListItem;
    // Fires once the login has succeeded (it hides the session's own event).
    TNotifyEvent OnConnect;
    TUnsupportedEvent OnUnSupportedFunction;

    // Connects, reads the greeting and logs in with USER and, after 331,
    // PASS; raises FTPException with the reply to a refused login after
    // sending QUIT and closing. Returns at once when already connected.
    void Connect() override;
    // Sends QUIT and closes the socket; raises FTPException when QUIT is
    // refused (301 to 599), after closing.
    void Disconnect() override;
    // Sends one command line and reads its whole reply; returns the first line.
    std::string Transaction(const std::string& Command) override;
    // Cancels a running data transfer; does nothing otherwise.
    void Abort() override;

    // Sends Command; raises FTPException on a reply from 400 to 599 unless
    // OnFailure handles it.
    void RunCommand(const std::string& Command);
    // 1: "TYPE A", 2: "TYPE I", 3: "TYPE L 8"; anything else sends nothing.
    void Mode(int TheMode);
    // Reads the continuation lines that follow Line.
    void SkipContinuation(const std::string& Line);
    // Collects the server's answer to a cancelled transfer, for up to 0.95 s.
    void DrainReply();

    // PORT, RETR RemoteFile, then the file comes in over the data
    // connection into LocalFile (RemoteFile's text when empty); the final
    // reply is read last. Raises FTPException on a refused command or a
    // final reply from 400 to 599, EAbortError when aborted.
    void Download(const std::string& RemoteFile, const std::string& LocalFile);
    // PORT, STOR RemoteFile (LocalFile's name part when empty), then the
    // file goes out over the data connection; the final reply is read last.
    void Upload(const std::string& LocalFile, const std::string& RemoteFile);
    // The size announced in a reply line ("... (4096 bytes)"), 0 if none.
    static std::int32_t SizeFromReply(const std::string& Line);

    std::array<TStringList*, 10> StringLists{};

protected:
    void DataArrived() override;
    void SocketClosed() override;

private:
    void DiscardStaleReply();
    void FailureCheck(bool unsupported, TCmdType type, const std::string& line);
    void OpenDataConnection();
    void SendPort();
    void AcceptDataConnection();
    void WhileWatchingControl(const std::function<void()>& wait);
    void WatchControlConnection();
    std::string ReadFinalReply(std::string lastLine);
    void EndTransfer(bool completed, TCmdType type, bool drain);

    // Set while a transfer waits for its data connection or copies the file;
    // the control connection's reason to end that wait, if any.
    bool FWatchingControl = false;
    bool FControlLost = false;
    std::string FControlFailure;
};

// The text after the last "\" or ":" of a path, or the whole path.
std::string NamePart(const std::string& path);
