#include "FtpClient.h"

#include <cstring>

#include "Application.h"

using namespace WinSock;

namespace {

constexpr double DrainDays = 1.1e-5;
constexpr std::uint64_t DrainMs = static_cast<std::uint64_t>(DrainDays * 24 * 60 * 60 * 1000);

bool InRange(int code, int low, int high) { return code >= low && code <= high; }

bool IsFailureCode(int code) { return InRange(code, 301, 599); }

// A reply line continues the reply when it begins with a space or has "-"
// as its fourth character.
bool IsContinuation(const std::string& line) {
    return (!line.empty() && line[0] == ' ') || (line.size() >= 4 && line[3] == '-');
}

// The value of a line's leading digits, -1 when it has none.
long long LeadingNumber(const std::string& line) {
    long long value = 0;
    std::size_t digits = 0;
    while (digits < line.size() && digits < 10 && line[digits] >= '0' && line[digits] <= '9') {
        value = value * 10 + (line[digits] - '0');
        ++digits;
    }
    return digits == 0 ? -1 : value;
}

TCmdType CommandType(const std::string& command) {
    std::string word = command.substr(0, command.find(' ')) + " ";
    if (word == "CWD ") return TCmdType::cmdChangeDir;
    if (word == "DELE ") return TCmdType::cmdDelete;
    if (word == "MKD ") return TCmdType::cmdMakeDir;
    if (word == "RMD ") return TCmdType::cmdRemoveDir;
    return command == "PWD" ? TCmdType::cmdCurrentDir : TCmdType::cmdDoCommand;
}

}  // namespace

std::string NamePart(const std::string& path) {
    std::size_t separator = path.find_last_of("\\:");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

TFtpClient::TFtpClient(TComponent* AOwner) : TSockSession(AOwner) {
    Port = 21;
    DataSocket = nullptr;
    for (auto& list : StringLists) list = new TStringList();
}

TFtpClient::~TFtpClient() {
    try {
        Abort();
        Cancel();
        if (Connected) Disconnect();
    } catch (const std::exception&) {
        // Nothing can be reported from here; the socket is closed below.
    }
    for (auto& list : StringLists) delete list;
}

// ---------------------------------------------------------------------------
// The control session

void TFtpClient::Connect() {
    Canceled = false;
    if (Connected) return;
    if (auto* buffer = dynamic_cast<TMemoryStream*>(InStream)) buffer->Clear();
    TSockSession::Connect();
    try {
        SkipContinuation(" ");
        if ((UserID.empty() || Password.empty()) && OnAuthenticationNeeded) {
            bool handled = false;
            OnAuthenticationNeeded(handled);
        }
        StatusMessage(1, "USER " + UserID);
        Transaction("USER " + UserID + (Proxy.empty() ? "" : "@" + Host));
        if (InRange(ReplyCode, 401, 599)) throw FTPException(ReplyLine);
        if (ReplyCode == 331) {
            StatusMessage(1, "PASS ");
            Transaction("PASS " + Password);
            if (InRange(ReplyCode, 401, 599)) throw FTPException(ReplyLine);
        }
        if (OnConnect) OnConnect(this);
    } catch (...) {
        Disconnect();
        StatusMessage(1, "Disconnected");
        throw;
    }
}

void TFtpClient::RunCommand(const std::string& Command) {
    TCmdType type = CommandType(Command);
    Canceled = false;
    CheckConnection();
    StatusMessage(1, Command);
    DiscardStaleReply();
    Transaction(Command);
    if (InRange(ReplyCode, 400, 599)) {
        if (InRange(ReplyCode, 500, 502) && OnUnSupportedFunction) OnUnSupportedFunction(type);
        if (!OnFailure) throw FTPException(ReplyLine);
        bool handled = false;
        OnFailure(handled, type);
        if (!handled) throw FTPException(ReplyLine);
        return;
    }
    if (OnSuccess) OnSuccess(type);
}

void TFtpClient::Mode(int TheMode) {
    switch (TheMode) {
        case 1:
            RunCommand("TYPE A");
            break;
        case 2:
            RunCommand("TYPE I");
            break;
        case 3:
            RunCommand("TYPE L 8");
            break;
        default:
            break;
    }
}

void TFtpClient::Disconnect() {
    Canceled = false;
    if (!Connected) return;
    StatusMessage(1, "QUIT");
    try {
        DiscardStaleReply();
        Transaction("QUIT");
        if (InRange(ReplyCode, 301, 599)) throw FTPException(ReplyLine);
    } catch (...) {
        TSockSession::Disconnect();
        throw;
    }
    TSockSession::Disconnect();
}

void TFtpClient::Abort() {
    if (DataSocket) DataSocket->Cancel();
}

std::string TFtpClient::Transaction(const std::string& Command) {
    std::string line = TSockSession::Transaction(Command);
    SkipContinuation(line);
    return line;
}

void TFtpClient::SkipContinuation(const std::string& Line) {
    std::string line = Line;
    while (IsContinuation(line)) {
        line = ReadLn();
        StatusMessage(1, line);
    }
}

void TFtpClient::DrainReply() {
    Canceled = false;
    std::uint64_t start = GetTickCount64();
    std::string text;
    for (;;) {
        text = Read(0);
        PumpMessages();
        if (!text.empty() || GetTickCount64() - start > DrainMs) break;
    }
    StatusMessage(1, text);
}

// What is left of an earlier reply is dropped before the next command. It
// is taken in pieces a single Read can return, so no amount of stale text
// makes every later command fail.
void TFtpClient::DiscardStaleReply() {
    while (InStream && InStream->Size() > 0) {
        Read(static_cast<std::uint16_t>(std::min<std::int64_t>(InStream->Size(), 65535)));
    }
}

// ---------------------------------------------------------------------------
// File transfer

void TFtpClient::FailureCheck(bool unsupported, TCmdType type, const std::string& line) {
    if (!IsFailureCode(ReplyCode)) return;
    if (unsupported && InRange(ReplyCode, 500, 502) && OnUnSupportedFunction) OnUnSupportedFunction(type);
    if (!OnFailure) throw FTPException(line);
    bool handled = false;
    OnFailure(handled, type);
    if (!handled) throw FTPException(line);
}

std::int32_t TFtpClient::SizeFromReply(const std::string& Line) {
    std::size_t at = AsciiUpperCase(Line).find("BYTE");
    if (at == std::string::npos) return 0;
    std::size_t end = at;
    while (end > 0 && !(Line[end - 1] >= '0' && Line[end - 1] <= '9')) --end;
    if (end == 0) return 0;
    std::size_t begin = end;
    while (begin > 0 && Line[begin - 1] >= '0' && Line[begin - 1] <= '9') --begin;
    long long value = 0;
    for (std::size_t i = begin; i < end; ++i) {
        value = value * 10 + (Line[i] - '0');
        if (value > 2147483647) return 0;
    }
    return static_cast<std::int32_t>(value);
}

void TFtpClient::OpenDataConnection() {
    Canceled = false;
    CheckConnection();
    FControlLost = false;
    FControlFailure.clear();
    DataSocket = new TSockSession(this);
}

// Sends "PORT a,b,c,d,p1,p2": this side's address on the control connection
// and the data socket's listening port; raises FTPException when refused.
void TFtpClient::SendPort() {
    DiscardStaleReply();
    DataSocket->Timeout = Timeout;
    DataSocket->Port = 0;
    DataSocket->Listen(true);
    std::string line = "PORT " + GetPortAddress() + DataSocket->GetPortNumber();
    StatusMessage(1, line);
    Transaction(line);
}

void TFtpClient::AcceptDataConnection() {
    std::uint16_t listening = DataSocket->SocketHandle;
    std::uint16_t accepted = 0;
    WhileWatchingControl([&] { accepted = DataSocket->Accept(); });
    DataSocket->SocketHandle = accepted;
    closesocket(listening);
    WSAAsyncSelect(accepted, DataSocket->EventWindow, WM_SOCKET_EVENT, AllSocketEvents);
}

// Runs a wait on the data connection while the control connection is
// watched: the server closing it, or a failure reply (a 425 after the 150,
// say), ends the wait with that reason instead of waiting for ever.
void TFtpClient::WhileWatchingControl(const std::function<void()>& wait) {
    FWatchingControl = true;
    try {
        WatchControlConnection();
        if (FControlLost || !FControlFailure.empty()) DataSocket->Cancel();
        wait();
    } catch (...) {
        FWatchingControl = false;
        if (!FControlFailure.empty()) throw FTPException(FControlFailure);
        if (FControlLost) throw ESockError("Connection Closed");
        throw;
    }
    FWatchingControl = false;
}

void TFtpClient::WatchControlConnection() {
    if (!FWatchingControl || !DataSocket) return;
    if (auto* buffer = dynamic_cast<TMemoryStream*>(InStream)) {
        const char* text = buffer->Memory();
        std::size_t size = static_cast<std::size_t>(buffer->Size());
        for (std::size_t start = 0; start < size && FControlFailure.empty();) {
            const char* end = static_cast<const char*>(std::memchr(text + start, '\n', size - start));
            if (!end) break;
            std::string line(text + start, static_cast<std::size_t>(end - text) + 1 - start);
            if (InRange(static_cast<int>(LeadingNumber(line)), 400, 599)) FControlFailure = line;
            start = static_cast<std::size_t>(end - text) + 1;
        }
    }
    if (!Connected) FControlLost = true;
    if (FControlLost || !FControlFailure.empty()) DataSocket->Cancel();
}

void TFtpClient::DataArrived() { WatchControlConnection(); }

void TFtpClient::SocketClosed() { WatchControlConnection(); }

// Reads and reports the final reply unless the control connection was
// cancelled or timed out; returns the line that stands as the reply.
std::string TFtpClient::ReadFinalReply(std::string lastLine) {
    if (!Canceled && !TimedOut) lastLine = ReadLn();
    StatusMessage(1, lastLine);
    if (!Canceled && !TimedOut) SkipContinuation(lastLine);
    return lastLine;
}

void TFtpClient::EndTransfer(bool completed, TCmdType type, bool drain) {
    delete DataSocket;
    DataSocket = nullptr;
    FWatchingControl = false;
    if (completed && OnSuccess) OnSuccess(type);
    if (drain && Canceled) DrainReply();
}

void TFtpClient::Download(const std::string& RemoteFile, const std::string& LocalFile) {
    OpenDataConnection();
    bool completed = false;
    std::string finalReply;
    try {
        SendPort();
        FailureCheck(false, TCmdType::cmdDownload, ReplyLine);
        if (OnPacketRecvd) DataSocket->OnPacketRecvd = OnPacketRecvd;
        StatusMessage(1, "RETR " + RemoteFile);
        BytesTotal = 0;
        TSockSession::Transaction("RETR " + RemoteFile);
        FailureCheck(false, TCmdType::cmdDownload, ReplyLine);
        BytesTotal = SizeFromReply(ReplyLine);
        std::string line = ReplyLine;
        while (IsContinuation(line)) {
            line = ReadLn();
            StatusMessage(1, line);
            if (BytesTotal == 0) BytesTotal = SizeFromReply(line);
            FailureCheck(true, TCmdType::cmdDownload, line);
        }
        AcceptDataConnection();
        if (OnTransactionStart) OnTransactionStart(this);
        if (!Canceled && !TimedOut) {
            WhileWatchingControl([&] { DataSocket->CaptureFile(LocalFile.empty() ? RemoteFile : LocalFile); });
        }
        if (OnTransactionStop) OnTransactionStop(this);
        DataSocket->RequestCloseSocket();
        BytesTotal = DataSocket->BytesRecvd;
        StatusMessage(1, "Received " + IntToStr(BytesTotal) + " Bytes");
        finalReply = ReadFinalReply(line);
        // A final failure reply says the file did not arrive whole.
        completed = !InRange(static_cast<int>(LeadingNumber(finalReply)), 400, 599);
    } catch (...) {
        EndTransfer(false, TCmdType::cmdDownload, true);
        throw;
    }
    EndTransfer(completed, TCmdType::cmdDownload, true);
    if (!completed) throw FTPException(finalReply);
}

void TFtpClient::Upload(const std::string& LocalFile, const std::string& RemoteFile) {
    OpenDataConnection();
    bool completed = false;
    std::string finalReply;
    try {
        DiscardStaleReply();
        {
            TFileStream probe(LocalFile, TFileMode::fmOpenRead);
            BytesTotal = static_cast<std::int32_t>(probe.Size());
        }
        SendPort();
        FailureCheck(false, TCmdType::cmdUpload, ReplyLine);
        if (OnPacketSent) DataSocket->OnPacketSent = OnPacketSent;
        if (!RemoteFile.empty()) {
            StatusMessage(1, "STOR " + RemoteFile);
            Transaction("STOR " + RemoteFile);
        } else {
            StatusMessage(1, "STOR " + LocalFile);
            Transaction("STOR " + NamePart(LocalFile));
        }
        FailureCheck(true, TCmdType::cmdUpload, ReplyLine);
        std::string line = ReplyLine;
        AcceptDataConnection();
        if (OnTransactionStart) OnTransactionStart(this);
        if (!Canceled && !TimedOut) WhileWatchingControl([&] { DataSocket->SendFile(LocalFile); });
        if (OnTransactionStop) OnTransactionStop(this);
        // Lingering off: the close below still delivers what the system holds.
        linger option{0, 0};
        setsockopt(DataSocket->SocketHandle, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option), sizeof option);
        DataSocket->RequestCloseSocket();
        finalReply = ReadFinalReply(line);
        completed = !InRange(static_cast<int>(LeadingNumber(finalReply)), 400, 599);
    } catch (...) {
        EndTransfer(false, TCmdType::cmdUpload, false);
        throw;
    }
    EndTransfer(completed, TCmdType::cmdUpload, false);
    if (!completed) throw FTPException(finalReply);
}
