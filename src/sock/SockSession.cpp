#include "SockSession.h"

#include <algorithm>
#include <cstring>

#include "Application.h"

using namespace WinSock;

std::int32_t WinsockUsers = 0;

namespace {

constexpr const char* SockWindowClass = "SockWindowClass";
constexpr WORD WinsockVersion = 0x0101;

HWND CreateHiddenWindow(const char* className, WNDPROC procedure) {
    WNDCLASS windowClass;
    if (!GetClassInfo(className, &windowClass)) {
        windowClass = WNDCLASS{};
        windowClass.lpfnWndProc = procedure;
        windowClass.cbWndExtra = 4;
        windowClass.lpszClassName = className;
        if (!RegisterClass(&windowClass)) return nullptr;
    }
    return CreateWindowEx(WS_EX_TOOLWINDOW, className, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr);
}

TMemoryStream* AsBuffer(TStream* stream) { return dynamic_cast<TMemoryStream*>(stream); }

// The byte counts are 32-bit; past 2 GiB they wrap around instead of
// overflowing.
std::int32_t AddCount(std::int32_t count, std::int64_t more) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(count) + static_cast<std::uint32_t>(more));
}

bool HoldsBytes(TStream* stream) { return stream && stream->Size() > 0; }

}  // namespace

// ---------------------------------------------------------------------------
// Construction and destruction

TSockSession::TSockSession(TComponent* AOwner) : TComponent(AOwner) {
    StatusMessage(8, "Create");
    try {
        EventWindow = CreateHiddenWindow(SockWindowClass, WindowProc);
        Proxy.clear();
        LookupBuffer = new char[LookupBufferSize]();
        WriteTextBuffer = new char[WriteTextBufferSize]();
        TimeoutTimer = new TThreadTimer(this);
        TimeoutTimer->SetEnabled(false);
        TimeoutTimer->SetOnTimer([this](TObject* sender) { TimerTriggered(sender); });
        Canceled = false;
        TransferActive = false;
        Destroying = false;
        Connected = false;
        InStream = new TMemoryStream();
        SpareInStream = new TMemoryStream();
        OutStream = new TMemoryStream();
        SpareOutStream = new TMemoryStream();
        // The window learns its session only once the session can take messages.
        if (EventWindow) SetWindowLongPtr(EventWindow, GWL_USERDATA_SLOT0, reinterpret_cast<LONG_PTR>(this));
        InitWinsock();
    } catch (...) {
        ReleaseOwned();
        ReleaseWinsock();
        throw;
    }
}

TSockSession::~TSockSession() {
    StatusMessage(8, "Destroy");
    try {
        Abort();
        Cancel();
    } catch (const std::exception&) {
        // A destructor cannot raise; the rest of the clean-up still runs.
    }
    ReleaseOwned();
    try {
        Destroying = true;
        if (FSocketOpened) RequestCloseSocket();
    } catch (const std::exception&) {
        // As above: the socket stays as it is, Windows Sockets is released.
    }
    ReleaseWinsock();
}

void TSockSession::ReleaseOwned() {
    delete TimeoutTimer;
    TimeoutTimer = nullptr;
    delete[] LookupBuffer;
    LookupBuffer = nullptr;
    delete[] WriteTextBuffer;
    WriteTextBuffer = nullptr;
    if (EventWindow) DestroyWindow(EventWindow);
    EventWindow = nullptr;
    delete InStream;
    InStream = nullptr;
    delete OutStream;
    OutStream = nullptr;
    delete SpareOutStream;
    SpareOutStream = nullptr;
    delete SpareInStream;
    SpareInStream = nullptr;
}

void TSockSession::ReleaseWinsock() {
    if (!FCountedAsUser) return;
    FCountedAsUser = false;
    if (--WinsockUsers == 0) WSACleanup();
}

void TSockSession::InitWinsock() {
    StatusMessage(8, "Initializing Winsock");
    FCountedAsUser = true;
    if (++WinsockUsers == 1) WSAStartup(WinsockVersion, &WinsockData);
    SOCKET handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET || handle >= NoSocketHandle) {
        if (handle != INVALID_SOCKET) closesocket(handle);
        ReleaseWinsock();
        throw ESockError("Initializaton of windows sockets failed");
    }
    SocketHandle = static_cast<std::uint16_t>(handle);
    FSocketOpened = true;
    // Lingering on with 0 seconds: closing this socket resets the connection.
    linger option{1, 0};
    setsockopt(SocketHandle, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option), sizeof option);
    WSAAsyncSelect(SocketHandle, EventWindow, WM_SOCKET_EVENT, AllSocketEvents);
}

// ---------------------------------------------------------------------------
// The event window and its dispatcher

LRESULT TSockSession::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* session = reinterpret_cast<TSockSession*>(GetWindowLongPtr(window, GWL_USERDATA_SLOT0));
    if (!session || message < WM_SOCKET_EVENT || message > WM_READ_MORE)
        return DefWindowProc(window, message, wParam, lParam);
    try {
        session->Dispatch(message, lParam);
    } catch (...) {
        // Whatever a notification raises ends here; the session carries on.
    }
    return 0;
}

void TSockSession::Dispatch(UINT message, LPARAM lParam) {
    // Only the notifications carry an error; the send and read requests
    // carry the session itself, whose address is no error.
    if (message == WM_SOCKET_EVENT || message == WM_ASYNC_DONE) LastEventOK = WSAGETSELECTERROR(lParam) == 0;
    switch (message) {
        case WM_SOCKET_EVENT:
            HandleSocketEvent(WSAGETSELECTEVENT(lParam));
            break;
        case WM_ASYNC_DONE:
            AsyncDone = true;
            if (WSAGETSELECTEVENT(lParam) == FD_ACCEPT) Connected = true;
            break;
        case WM_SEND_MORE:
            WriteFromStream();
            break;
        case WM_READ_MORE:
            ReadToStream();
            break;
        default:
            break;
    }
}

void TSockSession::HandleSocketEvent(int event) {
    switch (event) {
        case FD_READ:
            ReadToStream();
            break;
        case FD_WRITE:
            WriteFromStream();
            break;
        case FD_ACCEPT:
            Connected = true;
            if (OnAcceptReady) OnAcceptReady(this);
            break;
        case FD_CONNECT:
            if (LastEventOK) {
                Connected = true;
                if (OnConnect) OnConnect(this);
            }
            break;
        case FD_CLOSE:
            ReadRestAtClose();
            Connected = false;
            RequestCloseSocket();
            break;
        default:
            break;
    }
}

// The peer has closed: what still waits in the socket goes to InStream,
// uncounted and without events.
void TSockSession::ReadRestAtClose() {
    char block[SocketBlockSize + 1];
    for (;;) {
        if (Canceled || BufferOverflowing()) break;
        int got = recv(SocketHandle, block, SocketBlockSize, 0);
        if (got <= 0) break;
        InStream->Seek(0, TSeekOrigin::soEnd);
        InStream->Write(block, got);
    }
    DataArrived();
}

// Received text nobody reads must not grow without bound: past the limit the
// connection is dropped, and the waits on it end with an error.
bool TSockSession::BufferOverflowing() {
    return !FileMode && InStream && InStream->Size() > MaxBufferedText;
}

// ---------------------------------------------------------------------------
// Closing, cancelling, status and errors

void TSockSession::RequestCloseSocket() {
    StatusMessage(4, "Request Close Socket");
    Connected = false;
    if (SocketHandle == NoSocketHandle) return;
    if (closesocket(SocketHandle) == SOCKET_ERROR) {
        std::string text;
        ErrorManager(WSAEWOULDBLOCK, text);
        return;
    }
    // A read or send queued for the closed socket would otherwise act on the
    // fresh one, which often gets the same handle.
    Platform::RemovePostedMessages(EventWindow, WM_READ_MORE, 0);
    Platform::RemovePostedMessages(EventWindow, WM_SEND_MORE, 0);
    if (OnDisconnect) OnDisconnect(this);
    SocketClosed();
    if (Destroying) return;
    OpenFreshSocket();
}

void TSockSession::OpenFreshSocket() {
    SOCKET handle = socket(AF_INET, SOCK_STREAM, 0);
    if (handle == INVALID_SOCKET || handle >= NoSocketHandle) {
        // The closed handle must not be kept: it may be reused by another socket.
        if (handle != INVALID_SOCKET) closesocket(handle);
        SocketHandle = NoSocketHandle;
        throw ERangeError();
    }
    SocketHandle = static_cast<std::uint16_t>(handle);
    WSAAsyncSelect(SocketHandle, EventWindow, WM_SOCKET_EVENT, AllSocketEvents);
}

void TSockSession::Disconnect() {
    StatusMessage(8, "Disconnecting");
    RequestCloseSocket();
}

void TSockSession::Cancel() {
    StatusMessage(8, "Canceling");
    Canceled = true;
}

void TSockSession::Abort() {}

void TSockSession::CheckConnection() {
    int attempts = 0;
    while (!Connected) {
        if (attempts > 0 || !OnConnectionRequired) throw Exception("Not Connected");
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled) throw Exception("Not Connected");
        ++attempts;
    }
}

void TSockSession::ErrorManager(std::uint16_t IgnoreCode, std::string& Text) {
    StatusMessage(16, "Checking Error In Error Manager");
    LastErrorCode = WSAGetLastError();
    if (LastErrorCode == IgnoreCode) {
        Text.clear();
        return;
    }
    ErrorText(static_cast<std::uint16_t>(LastErrorCode), Text);
    if (OnError) OnError(this, static_cast<std::uint16_t>(LastErrorCode), Text);
    throw ESockError(Text);
}

void TSockSession::ErrorText(std::uint16_t Code, std::string& Text) {
    StatusMessage(8, "Looking Up Error Message" + Text);
    if (Code != 0 && Text.empty()) Text = "Unknown Error No. " + IntToStr(Code);
}

void TSockSession::StatusMessage(std::uint8_t Level, const std::string& Text) {
    if (Level > ReportLevel) return;
    LastStatus = Text;
    if (OnStatus) OnStatus(this, Text);
}

void TSockSession::PumpMessages() {
    Platform::WaitForInput(2);
    Application->ProcessMessages();
}

void TSockSession::FailClosed(const char* text) { throw ESockError(text); }

// ---------------------------------------------------------------------------
// Line I/O

void TSockSession::SendBuffer(const char* Bytes, std::uint16_t Count) {
    StatusMessage(4, "Sending Buffer");
    if (Canceled) return;
    std::size_t count = Count;
    if (count == 0) {
        count = strnlen(Bytes, 65536);
        if (count > 65535) throw ERangeError();
    }
    OutStream->Seek(0, TSeekOrigin::soEnd);
    OutStream->Write(Bytes, static_cast<std::int64_t>(count));
    SendComplete = false;
    FSendError = 0;
    PostMessage(EventWindow, WM_SEND_MORE, 0, reinterpret_cast<LPARAM>(this));
    try {
        WaitUntilSent();
    } catch (...) {
        DropUnsentText();
        throw;
    }
    if (Canceled) DropUnsentText();
    RaiseIfCanceled();
}

// Text that did not go out belongs to the command that failed; left in the
// buffer it would go out ahead of the next command, even on a new connection.
void TSockSession::DropUnsentText() {
    if (auto* buffer = AsBuffer(OutStream)) buffer->Clear();
}

// A wait that ended by Cancel: the flag is cleared and the operation ends
// with the abort that the send, read and copy operations share.
void TSockSession::RaiseIfCanceled() {
    if (!Canceled) return;
    Canceled = false;
    throw EAbortError("Socket send aborted");
}

// Waits until WriteFromStream has sent everything or the session is
// cancelled; a connection that is gone or failed will never take the rest.
void TSockSession::WaitUntilSent() {
    while (!SendComplete && !Canceled) {
        RaiseIfSendFailed();
        if (!Connected) FailClosed("Connection Closed");
        PumpMessages();
    }
}

void TSockSession::RaiseIfSendFailed() {
    if (FSendError == 0) return;
    std::string text;
    ErrorText(static_cast<std::uint16_t>(FSendError), text);
    FSendError = 0;
    throw ESockError(text);
}

void TSockSession::Write(const std::string& Text) {
    StatusMessage(8, "Write");
    std::size_t length = std::min<std::size_t>(strnlen(Text.c_str(), Text.size()), WriteTextBufferSize);
    // Nothing to send would leave the send wait without an end.
    if (length == 0) return;
    std::memcpy(WriteTextBuffer, Text.data(), length);
    SendBuffer(WriteTextBuffer, static_cast<std::uint16_t>(length));
}

void TSockSession::Writeln(const std::string& Text) {
    StatusMessage(8, "Writeln");
    Write(Text + "\r\n");
}

void TSockSession::TakeFromInStream(std::size_t count) {
    auto* buffer = AsBuffer(InStream);
    std::int64_t rest = buffer->Size() - static_cast<std::int64_t>(count);
    if (rest <= 0) {
        buffer->Clear();
        return;
    }
    SpareInStream->Clear();
    SpareInStream->Write(buffer->Memory() + count, rest);
    buffer->Clear();
    buffer->Write(SpareInStream->Memory(), rest);
}

std::string TSockSession::Read(std::uint16_t Count) {
    StatusMessage(8, "Read( " + IntToStr(Count) + " )");
    if (Count > 0) {
        while (InStream->Size() < Count && !Canceled) {
            if (!Connected) FailClosed("Connection Closed");
            PumpMessages();
        }
    }
    RaiseIfCanceled();
    auto* buffer = AsBuffer(InStream);
    if (!buffer) return "";
    std::int64_t count = Count;
    if (count == 0) {
        count = buffer->Size();
        if (count > 65535) throw ERangeError();
    }
    std::string text(buffer->Memory(), static_cast<std::size_t>(count));
    TakeFromInStream(static_cast<std::size_t>(count));
    return text;
}

std::string TSockSession::ReadLn() {
    StatusMessage(8, "ReadLn");
    const char* lineEnd = nullptr;
    for (;;) {
        auto* buffer = AsBuffer(InStream);
        if (buffer && buffer->Size() > 0) {
            lineEnd = static_cast<const char*>(std::memchr(buffer->Memory(), '\n', static_cast<std::size_t>(buffer->Size())));
            if (lineEnd) break;
            if (static_cast<std::size_t>(buffer->Size()) > MaxLineLength) {
                RequestCloseSocket();
                FailClosed("Reply Line Too Long");
            }
        }
        if (!Connected && !Canceled) FailClosed("Connection Closed");
        PumpMessages();
        if (Canceled) break;
    }
    if (Canceled) throw EAbortError("Socket readln aborted");
    auto* buffer = AsBuffer(InStream);
    std::size_t length = static_cast<std::size_t>(lineEnd - buffer->Memory()) + 1;
    std::string line(buffer->Memory(), length);
    std::int64_t rest = buffer->Size() - static_cast<std::int64_t>(length);
    if (rest <= 0) {
        buffer->Clear();
    } else {
        SpareInStream->Clear();
        SpareInStream->Write(buffer->Memory() + length, rest);
        buffer->Clear();
        InStream = SpareInStream;
        SpareInStream = buffer;
    }
    return line;
}

std::string TSockSession::Transaction(const std::string& Command) {
    StatusMessage(8, "Transaction");
    ReplyCode = 0;
    Writeln(Command);
    ReplyLine = ReadLn();
    StatusMessage(1, ReplyLine);
    std::size_t digits = 0;
    while (digits < ReplyLine.size() && digits < 10 && ReplyLine[digits] >= '0' && ReplyLine[digits] <= '9') ++digits;
    if (digits > 0) {
        long long value = std::stoll(ReplyLine.substr(0, digits));
        if (value > 2147483647) value = 0;
        if (value < -32768 || value > 32767) throw ERangeError();
        ReplyCode = static_cast<std::int16_t>(value);
    }
    return ReplyLine;
}

// ---------------------------------------------------------------------------
// The data channel

void TSockSession::Listen(bool NotifyAsync) {
    StatusMessage(8, "Listening");
    SockAddr = sockaddr_in{};
    SockAddr.sin_family = AF_INET;
    SockAddr.sin_addr.s_addr = inet_addr("0.0.0.0");
    SockAddr.sin_port = htons(static_cast<u_short>(Port));
    AsyncDone = false;
    bind(SocketHandle, reinterpret_cast<const sockaddr*>(&SockAddr), sizeof SockAddr);
    WSAAsyncSelect(SocketHandle, EventWindow, NotifyAsync ? WM_ASYNC_DONE : WM_SOCKET_EVENT, FD_ACCEPT);
    listen(SocketHandle, 1);
}

std::string TSockSession::GetPortAddress() {
    sockaddr_in local{};
    int length = sizeof local;
    getsockname(SocketHandle, reinterpret_cast<sockaddr*>(&local), &length);
    std::string text = inet_ntoa(local.sin_addr);
    std::replace(text.begin(), text.end(), '.', ',');
    return text;
}

std::string TSockSession::GetPortNumber() {
    sockaddr_in local{};
    int length = sizeof local;
    getsockname(SocketHandle, reinterpret_cast<sockaddr*>(&local), &length);
    const auto* port = reinterpret_cast<const unsigned char*>(&local.sin_port);
    return "," + IntToStr(port[0]) + "," + IntToStr(port[1]);
}

std::uint16_t TSockSession::Accept() {
    while (!AsyncDone && !Canceled) PumpMessages();
    if (Canceled) throw ESockError("Accepting Canceled");
    if (!LastEventOK) throw ESockError("Error creating Data Connection");
    StatusMessage(4, "Accepting");
    sockaddr_in peer{};
    int length = sizeof peer;
    SOCKET handle = accept(SocketHandle, reinterpret_cast<sockaddr*>(&peer), &length);
    if (handle == INVALID_SOCKET || handle > 65535) throw ERangeError();
    SockAddr = peer;
    if (Canceled) closesocket(handle);
    RaiseIfCanceled();
    return static_cast<std::uint16_t>(handle);
}

void TSockSession::SendFile(const std::string& FileName) {
    StatusMessage(8, "SendFile");
    TStream* buffer = OutStream;
    TransferActive = true;
    FileMode = true;
    TFileStream* file = nullptr;
    auto restore = [&] { EndFileCopy(OutStream, buffer, file); };
    try {
        file = new TFileStream(FileName, TFileMode::fmOpenRead);
        OutStream = file;
        SendComplete = false;
        BytesSent = 0;
        FSendPosition = 0;
        FSendError = 0;
        BytesTotal = static_cast<std::int32_t>(file->Size());
        // An empty file has nothing to send: it is complete at once.
        if (file->Size() == 0) SendComplete = true;
        PostMessage(EventWindow, WM_SEND_MORE, 0, reinterpret_cast<LPARAM>(this));
        WaitUntilSent();
    } catch (...) {
        restore();
        throw;
    }
    restore();
    RaiseIfCanceled();
}

// Ends a file copy on every way out: the file is closed, the memory buffer
// is back in its slot and the copy's flags are clear. False when the file
// did not take every byte written to it.
bool TSockSession::EndFileCopy(TStream*& slot, TStream* buffer, TFileStream*& file) {
    bool written = !file || (file->Flush() && !file->Failed());
    delete file;
    file = nullptr;
    slot = buffer;
    TransferActive = false;
    FileMode = false;
    return written;
}

void TSockSession::WriteFromStream() {
    if (HandlerBusy) return;
    HandlerBusy = true;
    struct Release {
        bool& Flag;
        ~Release() { Flag = false; }
    } release{HandlerBusy};
    StatusMessage(8, "WriteFromStream");
    bool pending = FileMode ? OutStream->Position() < OutStream->Size() : OutStream->Size() > 0;
    if (!pending || Canceled) return;
    OutStream->SetPosition(FileMode ? FSendPosition : 0);
    char block[SocketBlockSize + 1];
    std::int64_t n = OutStream->Read(block, SocketBlockSize);
    std::int64_t p = OutStream->Position();
    int sent = send(SocketHandle, block, static_cast<int>(n), 0);
    if (sent == SOCKET_ERROR) {
        LastErrorCode = WSAGetLastError();
        OutStream->SetPosition(0);
        // Only a full buffer is worth waiting out; FD_WRITE resumes then.
        if (LastErrorCode != WSAEWOULDBLOCK) FSendError = LastErrorCode;
        return;
    }
    if (p - n + sent >= OutStream->Size()) {
        if (!FileMode) AsBuffer(OutStream)->Clear();
        SendComplete = true;
    } else {
        if (FileMode) {
            OutStream->SetPosition(p - n + sent);
        } else {
            auto* current = AsBuffer(OutStream);
            SpareOutStream->Clear();
            SpareOutStream->Write(current->Memory() + sent, current->Size() - sent);
            current->Clear();
            OutStream = SpareOutStream;
            SpareOutStream = current;
            OutStream->SetPosition(0);
        }
        PostMessage(EventWindow, WM_SEND_MORE, 0, reinterpret_cast<LPARAM>(this));
    }
    if (FileMode) FSendPosition += sent;
    BytesSent = AddCount(BytesSent, sent);
    if (TransferActive && OnPacketSent) OnPacketSent(this);
}

void TSockSession::CaptureFile(const std::string& FileName) {
    TStream* buffer = InStream;
    TransferActive = true;
    FileMode = true;
    StatusMessage(8, "CaptureFile");
    TFileStream* file = nullptr;
    bool writeFailed = false;
    auto restore = [&] { writeFailed = !EndFileCopy(InStream, buffer, file); };
    try {
        file = new TFileStream(FileName, TFileMode::fmCreate);
        InStream = file;
        BytesRecvd = 0;
        if (HoldsBytes(buffer)) {
            auto* early = AsBuffer(buffer);
            file->Write(early->Memory(), early->Size());
            BytesRecvd = static_cast<std::int32_t>(early->Size());
            early->Clear();
        }
        while (Connected && !Canceled) PumpMessages();
    } catch (...) {
        restore();
        throw;
    }
    restore();
    RaiseIfCanceled();
    // A file that did not take every byte is no finished download.
    if (writeFailed) throw EStreamError("Cannot write file " + FileName);
}

void TSockSession::ReadToStream() {
    if (Canceled) {
        WSAAsyncSelect(SocketHandle, EventWindow, 0, 0);
        if (OnReadCanceled) OnReadCanceled(this);
    }
    if (HandlerBusy) return;
    HandlerBusy = true;
    bool received = false;
    {
        struct Release {
            bool& Flag;
            ~Release() { Flag = false; }
        } release{HandlerBusy};
        StatusMessage(8, "ReadToStream");
        if (BufferOverflowing()) {
            RequestCloseSocket();
            return;
        }
        InStream->Seek(0, TSeekOrigin::soEnd);
        char block[SocketBlockSize + 1];
        int n = recv(SocketHandle, block, SocketBlockSize, 0);
        if (n == SOCKET_ERROR) {
            LastErrorCode = WSAGetLastError();
            // Nothing to read yet (the block before filled the buffer exactly)
            // is no error: FD_READ comes when there is.
            if (LastErrorCode == WSAEWOULDBLOCK) return;
            std::string text;
            ErrorText(static_cast<std::uint16_t>(LastErrorCode), text);
            if (OnError) OnError(this, static_cast<std::uint16_t>(LastErrorCode), text);
        } else if (n > 0) {
            // (0 is the end of the stream: nothing came, FD_CLOSE follows.)
            received = true;
            InStream->Write(block, n);
            if (TransferActive) {
                BytesRecvd = AddCount(BytesRecvd, n);
                if (OnPacketRecvd) OnPacketRecvd(this);
            }
            // A full block may have left more behind. Once cancelled, the
            // reading stops here: a fast peer would otherwise keep every
            // block full and the wait would never get to see the cancel.
            if (n == SocketBlockSize && !Canceled) {
                PostMessage(EventWindow, WM_READ_MORE, 0, reinterpret_cast<LPARAM>(this));
            }
        }
    }
    if (received) {
        if (OnDataArrived) OnDataArrived(this);
        DataArrived();
    }
}

// ---------------------------------------------------------------------------
// Connecting

void TSockSession::Connect() {
    StatusMessage(8, "Connecting");
    Canceled = false;
    if (Connected) throw ESockError("Already connected");
    int attempts = 0;
    for (;;) {
        try {
            ResolveHost();
        } catch (const ESockError& error) {
            // A failed lookup leaves the address 0, which is judged below.
            if (error.Message() != "Host Lookup Failed") throw;
        }
        if (SockAddr.sin_addr.s_addr != 0) break;
        if (attempts > 0 || !OnInvalidHost) throw ESockError("Null Remote Address");
        bool handled = false;
        OnInvalidHost(handled);
        if (!handled) throw ESockError("Null Remote Address");
        ++attempts;
    }
    SockAddr.sin_family = AF_INET;
    SockAddr.sin_port = htons(static_cast<u_short>(Proxy.empty() ? Port : ProxyPort));
    AsyncDone = false;
    LastEventOK = true;
    connect(SocketHandle, reinterpret_cast<const sockaddr*>(&SockAddr), sizeof SockAddr);
    TimerOn();
    do {
        PumpMessages();
    } while (!(Connected || TimedOut || Canceled || !LastEventOK));
    TimerOff();
    if (!TimedOut && !Canceled && LastEventOK) return;
    if (OnConnectionFailed) OnConnectionFailed(this);
    if (TimedOut) throw ESockError("Connection Timed Out");
    if (Canceled) throw ESockError("Connection Canceled");
    throw ESockError("Connection Failed");
}

void TSockSession::ResolveHost() {
    StatusMessage(8, "Resolve Host");
    const std::string& name = Proxy.empty() ? Host : Proxy;
    // The lookup takes at most 127 characters; a longer name is no name.
    if (name.size() > 127) {
        SockAddr.sin_addr.s_addr = 0;
        throw ESockError("Host Lookup Failed");
    }
    char text[128] = {};
    std::memcpy(text, name.data(), name.size());
    SockAddr.sin_addr.s_addr = inet_addr(text);
    if (SockAddr.sin_addr.s_addr != INADDR_NONE) return;
    SockAddr.sin_addr.s_addr = 0;
    TimerOn();
    AsyncDone = false;
    WSAAsyncGetHostByName(EventWindow, WM_ASYNC_DONE, text, LookupBuffer, LookupBufferSize);
    do {
        PumpMessages();
    } while (!(AsyncDone || TimedOut || Canceled));
    TimerOff();
    if (TimedOut) throw ESockError("Host Lookup Timed Out");
    if (Canceled) throw ESockError("Host Lookup Canceled");
    if (!LastEventOK) throw ESockError("Host Lookup Failed");
    const auto* entry = reinterpret_cast<const hostent*>(LookupBuffer);
    if (entry->h_addr_list && entry->h_addr_list[0])
        std::memcpy(&SockAddr.sin_addr.s_addr, entry->h_addr_list[0], 4);
    if (OnHostResolved) OnHostResolved(this);
}

void TSockSession::TimerOn() {
    StatusMessage(8, "Timer On");
    TimedOut = false;
    if (Timeout < 0) throw ERangeError();
    TimeoutTimer->SetInterval(static_cast<std::uint32_t>(Timeout));
    TimeoutTimer->SetEnabled(true);
}

void TSockSession::TimerOff() {
    StatusMessage(8, "Timer Off");
    TimeoutTimer->SetEnabled(false);
}

void TSockSession::TimerTriggered(TObject*) {
    StatusMessage(8, "Timer Triggered");
    TimerOff();
    TimedOut = true;
    Abort();
}
