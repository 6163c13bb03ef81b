// The socket session: one TCP socket driven by Windows Sockets
// notifications that arrive as window messages at a hidden window of its
// own. Every operation that waits for the network pumps the message queue,
// so timers, buttons and other sessions run while it waits.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Classes.h"
#include "Streams.h"
#include "SysUtils.h"
#include "Timers.h"
#include "WinSock.h"
#include "Windows.h"

// Failures of the socket layer.
class ESockError : public Exception {
public:
    using Exception::Exception;
};

// An operation that was ended by Cancel.
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

using TOnErrorEvent = std::function<void(TObject* Sender, std::uint16_t Errno, const std::string& Errmsg)>;
using THandlerEvent = std::function<void(bool& Handled)>;
using TOnStatus = std::function<void(TObject* Sender, const std::string& Status)>;
using TOnHostResolved = std::function<void(TObject* Sender)>;

// Messages of the session's event window.
constexpr UINT WM_SOCKET_EVENT = WM_USER + 101;  // 1125: a Windows Sockets notification
constexpr UINT WM_ASYNC_DONE = WM_USER + 102;    // 1126: lookup done, or a connection came in
constexpr UINT WM_SEND_MORE = WM_USER + 103;     // 1127: run WriteFromStream
constexpr UINT WM_READ_MORE = WM_USER + 104;     // 1128: run ReadToStream

constexpr int SocketBlockSize = 16383;
constexpr std::uint16_t NoSocketHandle = 65535;
constexpr long AllSocketEvents = WinSock::FD_READ | WinSock::FD_WRITE | WinSock::FD_OOB | WinSock::FD_ACCEPT |
                                 WinSock::FD_CONNECT | WinSock::FD_CLOSE;
constexpr int LookupBufferSize = 1024;
constexpr int WriteTextBufferSize = 16385;

// The session's one-shot time-out timer: a window timer on a hidden window
// of its own, of class "TmrWindowClass"; no thread is involved.
class TThreadTimer : public TTimer {
public:
    explicit TThreadTimer(TComponent* AOwner) : TTimer(AOwner, "TmrWindowClass") {}
};

// The sessions that hold Windows Sockets; the first starts it, the last
// cleans it up.
extern std::int32_t WinsockUsers;

class TSockSession : public TComponent {
public:
    // Builds the session, starts Windows Sockets for it and opens its
    // socket; raises ESockError "Initializaton of windows sockets failed".
    explicit TSockSession(TComponent* AOwner);
    ~TSockSession() override;

    TNotifyEvent OnDataArrived;
    TNotifyEvent OnAcceptReady;
    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    TOnErrorEvent OnError;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    THandlerEvent OnConnectionRequired;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    bool TransferActive = false;
    bool HandlerBusy = false;
    std::int32_t BytesSent = 0;
    bool Canceled = false;
    bool Destroying = false;
    std::int32_t LastErrorCode = 0;
    std::int32_t Timeout = 0;
    std::int32_t ReportLevel = 0;
    std::string LastStatus;
    char* WriteTextBuffer = nullptr;
    std::string Proxy;
    std::int32_t ProxyPort = 0;
    TThreadTimer* TimeoutTimer = nullptr;
    TStream* OutStream = nullptr;
    TMemoryStream* SpareOutStream = nullptr;
    TMemoryStream* SpareInStream = nullptr;
    bool LastEventOK = false;
    bool TimedOut = false;
    std::int32_t Port = 0;
    std::int32_t BytesTotal = 0;
    std::int32_t BytesRecvd = 0;
    TNotifyEvent OnPacketRecvd;
    TNotifyEvent OnPacketSent;
    bool AsyncDone = false;
    WinSock::WSADATA WinsockData{};
    WinSock::sockaddr_in SockAddr{};
    std::string Host;
    char* LookupBuffer = nullptr;
    std::string ReplyLine;
    std::int16_t ReplyCode = 0;
    bool SendComplete = false;
    bool FileMode = false;
    TNotifyEvent OnReadCanceled;
    std::uint16_t SocketHandle = NoSocketHandle;
    HWND EventWindow = nullptr;
    TStream* InStream = nullptr;
    bool Connected = false;

    // Waits for the one incoming connection on a listening socket and
    // returns its handle; the caller closes the listening handle.
    virtual std::uint16_t Accept();
    // Looks the host up, connects and returns once connected; raises
    // ESockError otherwise.
    virtual void Connect();
    // Closes the socket (OnDisconnect fires) and opens a fresh one.
    virtual void Disconnect();
    // Sends Command and CR LF, reads one reply line, sets ReplyLine and
    // ReplyCode and returns the line.
    virtual std::string Transaction(const std::string& Command);
    // Does nothing here; the FTP client cancels its data connection.
    virtual void Abort();

    // Ends the wait in progress: its operation raises its own exception.
    void Cancel();
    // Returns when connected, giving OnConnectionRequired one chance;
    // raises Exception "Not Connected" otherwise.
    void CheckConnection();
    void RequestCloseSocket();
    void StatusMessage(std::uint8_t Level, const std::string& Text);
    void ErrorManager(std::uint16_t IgnoreCode, std::string& Text);
    void ErrorText(std::uint16_t Code, std::string& Text);

    // Line I/O over the connected socket.
    void SendBuffer(const char* Bytes, std::uint16_t Count);
    void Write(const std::string& Text);
    void Writeln(const std::string& Text);
    std::string Read(std::uint16_t Count);
    std::string ReadLn();

    // The data channel.
    void Listen(bool NotifyAsync);
    std::string GetPortAddress();
    std::string GetPortNumber();
    void SendFile(const std::string& FileName);
    void CaptureFile(const std::string& FileName);
    void WriteFromStream();
    void ReadToStream();

    // Connecting and its time-out timer.
    void ResolveHost();
    void TimerOn();
    void TimerOff();
    void TimerTriggered(TObject* Sender);

    // A reply line may be at most this long; a longer one closes the
    // connection. Unread received text is bounded by the second figure.
    static constexpr std::size_t MaxLineLength = 64 * 1024;
    static constexpr std::int64_t MaxBufferedText = 1024 * 1024;

protected:
    // Run after received bytes were added to InStream and after the socket
    // was closed, for a subclass that watches this connection while it
    // waits on another one.
    virtual void DataArrived() {}
    virtual void SocketClosed() {}

    // One pass of every wait: a pause of at most 2 ms that ends early when
    // a message or a socket is ready, then every pending message.
    static void PumpMessages();

private:
    void InitWinsock();
    void ReleaseOwned();
    void ReleaseWinsock();
    void OpenFreshSocket();
    void Dispatch(UINT message, LPARAM lParam);
    void HandleSocketEvent(int event);
    void ReadRestAtClose();
    bool BufferOverflowing();
    void RaiseIfCanceled();
    void WaitUntilSent();
    bool EndFileCopy(TStream*& slot, TStream* buffer, TFileStream*& file);
    void RaiseIfSendFailed();
    void DropUnsentText();
    void FailClosed(const char* text);
    void TakeFromInStream(std::size_t count);
    static LRESULT WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    bool FCountedAsUser = false;
    bool FSocketOpened = false;
    int FSendError = 0;  // a send failure other than WSAEWOULDBLOCK
    // How far SendFile has sent the file: BytesSent is 32 bits, files are not.
    std::int64_t FSendPosition = 0;
};
