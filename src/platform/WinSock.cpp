// POSIX headers come first. Several of their macros (AF_INET, SOL_SOCKET,
// INADDR_ANY, htons...) carry names that WinSock.h declares with Windows
// values, so the POSIX values are captured here and the macros removed before
// WinSock.h is read.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {
namespace Posix {
constexpr int Inet = AF_INET;
constexpr int Stream = SOCK_STREAM;
constexpr int Tcp = IPPROTO_TCP;
constexpr int SolSocket = SOL_SOCKET;
constexpr int SoLinger = SO_LINGER;
}  // namespace Posix
}  // namespace

#undef AF_INET
#undef SOCK_STREAM
#undef IPPROTO_TCP
#undef SOL_SOCKET
#undef SO_LINGER
#undef INADDR_ANY
#undef INADDR_NONE
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

#include "WinSock.h"

namespace WinSock {

namespace {

constexpr int AllEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr int MaxHandle = 0xffff;

enum class SocketState { Idle, Connecting, Connected, Listening };

// What the socket has done and what it may report next. The registration
// fields and the re-enabling flags follow the rules of WSAAsyncSelect: an
// event that was posted is not posted again until the call that re-enables
// it (recv for FD_READ, accept for FD_ACCEPT, a blocked send for FD_WRITE).
struct SocketRecord {
    SocketState State = SocketState::Idle;
    bool NonBlocking = false;

    HWND Window = nullptr;  // null while not registered
    UINT Message = 0;
    long Mask = 0;
    bool Watched = false;
    std::vector<std::pair<HWND, UINT>> Targets;  // every registration, for purging at close

    bool ReadEnabled = true;
    bool AcceptEnabled = true;
    bool WriteWanted = false;
    bool PeerClosed = false;
    int PeerError = 0;  // 0 for a graceful close
    bool ClosePosted = false;
};

// Outlives static destruction, since threads other than the main one may
// still close sockets while the process exits.
struct SocketTable {
    std::mutex Lock;
    std::unordered_map<int, SocketRecord> Records;
};

SocketTable& Sockets() {
    static SocketTable* table = new SocketTable();
    return *table;
}

std::mutex StartLock;
std::atomic<int> StartCount{0};
std::atomic<unsigned> StartEpoch{0};  // advanced by the last WSACleanup
std::atomic<std::size_t> PendingLookups{0};
std::atomic<std::uintptr_t> LastTaskId{0};

thread_local int LastError = 0;

bool Started() { return StartCount.load() > 0; }

int Fail(int error) {
    LastError = error;
    return SOCKET_ERROR;
}

SOCKET FailSocket(int error) {
    LastError = error;
    return INVALID_SOCKET;
}

SocketRecord* FindLocked(SOCKET s) {
    if (s > MaxHandle) return nullptr;
    auto& records = Sockets().Records;
    auto it = records.find(static_cast<int>(s));
    return it == records.end() ? nullptr : &it->second;
}

bool Known(SOCKET s) {
    std::lock_guard<std::mutex> guard(Sockets().Lock);
    return FindLocked(s) != nullptr;
}

bool IsConnectionLoss(int error) {
    switch (error) {
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAETIMEDOUT:
        case WSAENETRESET:
        case WSAENETDOWN:
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH:
            return true;
        default:
            return false;
    }
}

// The error a failed connect or a reset left on the socket, as an errno;
// reading it clears it.
int PendingErrno(int fd) {
    int value = 0;
    socklen_t length = sizeof value;
    if (::getsockopt(fd, Posix::SolSocket, SO_ERROR, &value, &length) < 0) return errno;
    return value;
}

int BytesWaiting(int fd) {
    int count = 0;
    int result;
    do {
        result = ::ioctl(fd, FIONREAD, &count);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? 0 : count;
}

void Post(SOCKET s, const SocketRecord& record, int event, int error) {
    PostMessage(record.Window, record.Message, s, WSAMAKESELECTREPLY(event, error));
}

// The poll() events that can lead to the next notification, and no others:
// a readiness that nobody will act on would wake the loop on every pass.
short Interest(const SocketRecord& record) {
    if (!record.Window) return 0;
    int events = 0;
    switch (record.State) {
        case SocketState::Idle:
            break;
        case SocketState::Connecting:
            events = POLLOUT;  // also tracks completion when FD_CONNECT is not asked for
            break;
        case SocketState::Listening:
            if ((record.Mask & FD_ACCEPT) && record.AcceptEnabled) events = POLLIN;
            break;
        case SocketState::Connected:
            // POLLRDHUP notices the peer's close even while FD_READ waits for a recv.
            if (!record.PeerClosed) {
                events |= POLLRDHUP;
                if ((record.Mask & FD_READ) && record.ReadEnabled) events |= POLLIN;
            }
            if ((record.Mask & FD_WRITE) && record.WriteWanted) events |= POLLOUT;
            break;
    }
    return static_cast<short>(events);
}

void Rearm(int fd, const SocketRecord& record) {
    if (record.Watched) Platform::SetWatchEvents(fd, Interest(record));
}

void NotePeerClosed(SocketRecord& record, int error) {
    if (record.PeerClosed) return;
    record.PeerClosed = true;
    record.PeerError = error;
}

// Once the peer has closed, no more data can arrive, so FD_READ for what is
// left and the final FD_CLOSE are decided here rather than by poll(): at end
// of stream POLLIN would stay set for good. FD_CLOSE waits until the data has
// been read out, unless nobody asked for FD_READ.
void SettleClosedPeer(SOCKET s, SocketRecord& record) {
    if (!record.Window || record.State != SocketState::Connected || !record.PeerClosed || record.ClosePosted) return;
    if ((record.Mask & FD_READ) && BytesWaiting(static_cast<int>(s)) > 0) {
        if (record.ReadEnabled) {
            Post(s, record, FD_READ, 0);
            record.ReadEnabled = false;
        }
        return;
    }
    if (record.Mask & FD_CLOSE) {
        Post(s, record, FD_CLOSE, record.PeerError);
        record.ClosePosted = true;
    }
}

// Runs on the GUI thread from the poll loop; turns readiness into posted
// notifications.
void OnSocketReady(int fd, short revents) {
    std::lock_guard<std::mutex> guard(Sockets().Lock);
    auto s = static_cast<SOCKET>(fd);
    SocketRecord* record = FindLocked(s);
    if (!record || !record->Window) return;
    const long mask = record->Mask;
    switch (record->State) {
        case SocketState::Idle:
            break;
        case SocketState::Connecting:
            if (revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) {
                int error = ErrorFromErrno(PendingErrno(fd));
                record->State = error ? SocketState::Idle : SocketState::Connected;
                if (mask & FD_CONNECT) Post(s, *record, FD_CONNECT, error);
                if (!error && (mask & FD_WRITE)) Post(s, *record, FD_WRITE, 0);
            }
            break;
        case SocketState::Listening:
            if ((revents & POLLIN) && (mask & FD_ACCEPT) && record->AcceptEnabled) {
                Post(s, *record, FD_ACCEPT, 0);
                record->AcceptEnabled = false;
            }
            break;
        case SocketState::Connected:
            if (revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) {
                NotePeerClosed(*record, (revents & POLLERR) ? ErrorFromErrno(PendingErrno(fd)) : 0);
            }
            if (!record->PeerClosed && (revents & POLLIN) && (mask & FD_READ) && record->ReadEnabled) {
                Post(s, *record, FD_READ, 0);
                record->ReadEnabled = false;
            }
            if ((revents & (POLLOUT | POLLERR | POLLHUP)) && (mask & FD_WRITE) && record->WriteWanted) {
                Post(s, *record, FD_WRITE, 0);
                record->WriteWanted = false;
            }
            SettleClosedPeer(s, *record);
            break;
    }
    Rearm(fd, *record);
}

SOCKET AddSocket(int fd, SocketState state) {
    if (fd > MaxHandle) {
        // The callers keep handles in 16 bits.
        ::close(fd);
        return FailSocket(WSAEMFILE);
    }
    std::lock_guard<std::mutex> guard(Sockets().Lock);
    SocketRecord record;
    record.State = state;
    Sockets().Records[fd] = std::move(record);
    return static_cast<SOCKET>(fd);
}

// Stops the watch, drops notifications still queued for this handle, closes.
int Release(int fd, const SocketRecord& record) {
    if (record.Watched) Platform::UnwatchDescriptor(fd);
    for (const auto& [window, message] : record.Targets) {
        Platform::RemovePostedMessages(window, message, static_cast<WPARAM>(fd));
    }
    // Linux releases the descriptor even when close() is interrupted, so it
    // must not be retried: the number may already belong to someone else.
    if (::close(fd) < 0 && errno != EINTR) return ErrorFromErrno(errno);
    return 0;
}

int ToPosixAddress(const sockaddr* name, int namelen, ::sockaddr_in& out) {
    if (!name || namelen < static_cast<int>(sizeof(sockaddr_in))) return WSAEFAULT;
    sockaddr_in in;
    std::memcpy(&in, name, sizeof in);
    if (in.sin_family != AF_INET) return WSAEAFNOSUPPORT;
    out = {};
    out.sin_family = static_cast<sa_family_t>(Posix::Inet);
    out.sin_port = in.sin_port;
    out.sin_addr.s_addr = in.sin_addr.s_addr;
    return 0;
}

void FromPosixAddress(const ::sockaddr_in& in, sockaddr* name) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = in.sin_port;
    out.sin_addr.s_addr = in.sin_addr.s_addr;
    std::memcpy(name, &out, sizeof out);
}

// Errors that say the call itself was wrong, as opposed to the outcome of
// reaching the peer.
bool IsCallError(int errnoValue) {
    switch (errnoValue) {
        case EISCONN:
        case EALREADY:
        case EINVAL:
        case EFAULT:
        case EAFNOSUPPORT:
        case EBADF:
        case ENOTSOCK:
            return true;
        default:
            return false;
    }
}

// A blocking connect interrupted by a signal goes on in the kernel; calling
// connect again would only report EALREADY, so wait for it to finish instead.
int FinishInterruptedConnect(int fd) {
    pollfd entry{fd, POLLOUT, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, -1);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return errno;
    return PendingErrno(fd);
}

struct HostLookup {
    HWND Window;
    UINT Message;
    std::string Name;
    char* Buffer;
    int BufferLength;
    HANDLE Task;
    unsigned Epoch;

    // Written by the worker before it hands the lookup to the GUI thread.
    int Error = 0;
    std::string CanonicalName;
    std::vector<u_long> Addresses;  // network order
};

// RFC 6761: names under "invalid" never resolve, so no query is sent.
bool IsReservedInvalid(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!name.empty() && name.back() == '.') name.pop_back();
    const std::string suffix = ".invalid";
    return name == "invalid" ||
           (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0);
}

int ErrorFromResolver(int result, int errnoValue) {
    switch (result) {
        case EAI_NONAME:
            return WSAHOST_NOT_FOUND;
        case EAI_AGAIN:
            return WSATRY_AGAIN;
        case EAI_NODATA:
        case EAI_ADDRFAMILY:
            return WSANO_DATA;
        case EAI_MEMORY:
            return WSAENOBUFS;
        case EAI_SYSTEM:
            return errnoValue ? ErrorFromErrno(errnoValue) : WSANO_RECOVERY;
        default:
            return WSANO_RECOVERY;
    }
}

// Runs on the worker thread: asks the system resolver (hosts file, then DNS)
// for the IPv4 addresses of the name.
void Resolve(HostLookup& lookup) {
    addrinfo hints{};
    hints.ai_family = Posix::Inet;
    hints.ai_socktype = Posix::Stream;
    hints.ai_protocol = Posix::Tcp;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    int result = ::getaddrinfo(lookup.Name.c_str(), nullptr, &hints, &list);
    int errnoValue = errno;
    if (result != 0) {
        lookup.Error = ErrorFromResolver(result, errnoValue);
        return;
    }
    lookup.CanonicalName = list->ai_canonname ? list->ai_canonname : lookup.Name;
    for (addrinfo* entry = list; entry; entry = entry->ai_next) {
        if (entry->ai_family != Posix::Inet || entry->ai_addrlen < sizeof(::sockaddr_in)) continue;
        ::sockaddr_in address;
        std::memcpy(&address, entry->ai_addr, sizeof address);
        u_long value = address.sin_addr.s_addr;
        if (std::find(lookup.Addresses.begin(), lookup.Addresses.end(), value) == lookup.Addresses.end()) {
            lookup.Addresses.push_back(value);
        }
    }
    ::freeaddrinfo(list);
    if (lookup.Addresses.empty()) lookup.Error = WSANO_DATA;
}

std::size_t RoundUp(std::size_t value, std::size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// Lays out a hostent at the start of the caller's buffer, followed by the
// alias list (empty), the address list, the 4-byte addresses and the name,
// every pointer pointing inside the buffer. Written with memcpy, since the
// caller's buffer need not be aligned.
int LayOutHostEntry(const HostLookup& lookup, int& needed) {
    const std::size_t pointerSize = sizeof(char*);
    const std::size_t count = lookup.Addresses.size();
    const std::size_t aliasesAt = RoundUp(sizeof(hostent), alignof(char*));
    const std::size_t listAt = aliasesAt + pointerSize;
    const std::size_t addressesAt = listAt + (count + 1) * pointerSize;
    const std::size_t nameAt = addressesAt + count * sizeof(u_long);
    const std::size_t total = nameAt + lookup.CanonicalName.size() + 1;
    needed = static_cast<int>(std::min<std::size_t>(total, 0xffff));
    if (lookup.BufferLength < 0 || total > static_cast<std::size_t>(lookup.BufferLength)) return WSAENOBUFS;

    char* base = lookup.Buffer;
    char* const none = nullptr;
    hostent entry;
    entry.h_name = base + nameAt;
    entry.h_aliases = reinterpret_cast<char**>(base + aliasesAt);
    entry.h_addrtype = AF_INET;
    entry.h_length = sizeof(u_long);
    entry.h_addr_list = reinterpret_cast<char**>(base + listAt);
    std::memcpy(base, &entry, sizeof entry);
    std::memcpy(base + aliasesAt, &none, pointerSize);
    for (std::size_t i = 0; i < count; ++i) {
        char* address = base + addressesAt + i * sizeof(u_long);
        std::memcpy(address, &lookup.Addresses[i], sizeof(u_long));
        std::memcpy(base + listAt + i * pointerSize, &address, pointerSize);
    }
    std::memcpy(base + listAt + count * pointerSize, &none, pointerSize);
    std::memcpy(base + nameAt, lookup.CanonicalName.c_str(), lookup.CanonicalName.size() + 1);
    return 0;
}

// Runs on the GUI thread. The result is dropped if the window is gone (its
// buffer may be too) or Windows Sockets was cleaned up since the request.
void CompleteLookup(const HostLookup& lookup) {
    --PendingLookups;
    if (lookup.Epoch != StartEpoch.load() || !IsWindow(lookup.Window)) return;
    int needed = 0;
    int error = lookup.Error;
    if (!error) error = LayOutHostEntry(lookup, needed);
    SendMessage(lookup.Window, lookup.Message, reinterpret_cast<WPARAM>(lookup.Task),
                WSAMAKEASYNCREPLY(needed, error));
}

void HandToGuiThread(std::shared_ptr<HostLookup> lookup) {
    Platform::PostCall([lookup] { CompleteLookup(*lookup); });
}

HANDLE NextTask() {
    std::uintptr_t id;
    do {
        id = ++LastTaskId;
    } while (id == 0);
    return reinterpret_cast<HANDLE>(id);
}

}  // namespace

int ErrorFromErrno(int errnoValue) {
    switch (errnoValue) {
        case 0:
            return 0;
        case EINTR:
            return WSAEINTR;
        case EBADF:
            return WSAEBADF;
        case EACCES:
        case EPERM:
            return WSAEACCES;
        case EFAULT:
            return WSAEFAULT;
        case EINVAL:
            return WSAEINVAL;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINPROGRESS:  // a non-blocking connect that goes on
            return WSAEWOULDBLOCK;
        case EALREADY:
            return WSAEALREADY;
        case ENOTSOCK:
            return WSAENOTSOCK;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        case ENOPROTOOPT:
            return WSAENOPROTOOPT;
        case EPROTONOSUPPORT:
            return WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT:
        case EPROTOTYPE:
            return WSAESOCKTNOSUPPORT;
        case EOPNOTSUPP:
            return WSAEOPNOTSUPP;
        case EAFNOSUPPORT:
            return WSAEAFNOSUPPORT;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case ENETRESET:
            return WSAENETRESET;
        case ECONNABORTED:
        case EPROTO:  // accept: the connection failed before it was taken
            return WSAECONNABORTED;
        case ECONNRESET:
        case EPIPE:  // sending on a connection that is gone
            return WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM:
            return WSAENOBUFS;
        case EISCONN:
            return WSAEISCONN;
        case ENOTCONN:
            return WSAENOTCONN;
        case ESHUTDOWN:
            return WSAESHUTDOWN;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case EHOSTDOWN:
            return WSAEHOSTDOWN;
        case EHOSTUNREACH:
            return WSAEHOSTUNREACH;
        default:
            // Anything else is a failure of the system below the socket.
            return WSAENETDOWN;
    }
}

int WSAStartup(WORD versionRequested, WSADATA* data) {
    if (!data) return WSAEFAULT;
    int major = versionRequested & 0xff;
    int minor = versionRequested >> 8;
    *data = WSADATA{};
    data->wVersion = MAKEWORD(1, 1);
    data->wHighVersion = MAKEWORD(1, 1);
    std::snprintf(data->szDescription, sizeof data->szDescription, "Windows Sockets 1.1 on POSIX sockets");
    std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
    data->iMaxSockets = MaxHandle;
    data->iMaxUdpDg = 0;
    if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
    std::lock_guard<std::mutex> guard(StartLock);
    ++StartCount;
    return 0;
}

int WSACleanup() {
    {
        std::lock_guard<std::mutex> guard(StartLock);
        if (StartCount.load() == 0) return Fail(WSANOTINITIALISED);
        if (--StartCount > 0) return 0;
        ++StartEpoch;
    }
    // The last cleanup closes what is still open.
    std::vector<std::pair<int, SocketRecord>> open;
    {
        std::lock_guard<std::mutex> guard(Sockets().Lock);
        for (auto& entry : Sockets().Records) open.emplace_back(entry.first, std::move(entry.second));
        Sockets().Records.clear();
    }
    for (const auto& [fd, record] : open) Release(fd, record);
    return 0;
}

int WSAGetLastError() { return LastError; }

void WSASetLastError(int error) { LastError = error; }

SOCKET socket(int af, int type, int protocol) {
    if (!Started()) return FailSocket(WSANOTINITIALISED);
    if (af != AF_INET) return FailSocket(WSAEAFNOSUPPORT);
    if (type != SOCK_STREAM) return FailSocket(WSAESOCKTNOSUPPORT);
    if (protocol != 0 && protocol != IPPROTO_TCP) return FailSocket(WSAEPROTONOSUPPORT);
    int fd = ::socket(Posix::Inet, Posix::Stream | SOCK_CLOEXEC, Posix::Tcp);
    if (fd < 0) return FailSocket(ErrorFromErrno(errno));
    return AddSocket(fd, SocketState::Idle);
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    if (!Known(s)) return Fail(WSAENOTSOCK);
    if (level != SOL_SOCKET || optname != SO_LINGER) return Fail(WSAENOPROTOOPT);
    if (!optval || optlen < static_cast<int>(sizeof(linger))) return Fail(WSAEFAULT);
    linger value;
    std::memcpy(&value, optval, sizeof value);
    ::linger posixValue{value.l_onoff != 0, value.l_linger};
    if (::setsockopt(static_cast<int>(s), Posix::SolSocket, Posix::SoLinger, &posixValue, sizeof posixValue) < 0) {
        return Fail(ErrorFromErrno(errno));
    }
    return 0;
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    if (!Known(s)) return Fail(WSAENOTSOCK);
    ::sockaddr_in address;
    if (int error = ToPosixAddress(name, namelen, address)) return Fail(error);
    if (::bind(static_cast<int>(s), reinterpret_cast<const ::sockaddr*>(&address), sizeof address) < 0) {
        return Fail(ErrorFromErrno(errno));
    }
    return 0;
}

int listen(SOCKET s, int backlog) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    if (!Known(s)) return Fail(WSAENOTSOCK);
    if (::listen(static_cast<int>(s), backlog) < 0) return Fail(ErrorFromErrno(errno));
    std::lock_guard<std::mutex> guard(Sockets().Lock);
    if (SocketRecord* record = FindLocked(s)) {
        record->State = SocketState::Listening;
        record->AcceptEnabled = true;
        Rearm(static_cast<int>(s), *record);
    }
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
    if (!Started()) return FailSocket(WSANOTINITIALISED);
    if (!Known(s)) return FailSocket(WSAENOTSOCK);
    if (addr && (!addrlen || *addrlen < static_cast<int>(sizeof(sockaddr_in)))) return FailSocket(WSAEFAULT);
    ::sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    int fd;
    do {
        fd = ::accept4(static_cast<int>(s), reinterpret_cast<::sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    int error = fd < 0 ? ErrorFromErrno(errno) : 0;
    {
        // Any accept, also a failed one, re-enables FD_ACCEPT.
        std::lock_guard<std::mutex> guard(Sockets().Lock);
        if (SocketRecord* record = FindLocked(s)) {
            record->AcceptEnabled = true;
            Rearm(static_cast<int>(s), *record);
        }
    }
    if (fd < 0) return FailSocket(error);
    SOCKET accepted = AddSocket(fd, SocketState::Connected);
    if (accepted != INVALID_SOCKET && addr) {
        FromPosixAddress(peer, addr);
        *addrlen = static_cast<int>(sizeof(sockaddr_in));
    }
    return accepted;
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    ::sockaddr_in address;
    bool nonBlocking;
    {
        std::lock_guard<std::mutex> guard(Sockets().Lock);
        SocketRecord* record = FindLocked(s);
        if (!record) return Fail(WSAENOTSOCK);
        nonBlocking = record->NonBlocking;
    }
    if (int error = ToPosixAddress(name, namelen, address)) return Fail(error);
    const int fd = static_cast<int>(s);
    int result = ::connect(fd, reinterpret_cast<const ::sockaddr*>(&address), sizeof address);
    // After a failed non-blocking connect, Linux answers the next connect
    // with ECONNABORTED once; Windows Sockets lets the socket connect again.
    if (result < 0 && errno == ECONNABORTED) result = ::connect(fd, reinterpret_cast<const ::sockaddr*>(&address), sizeof address);
    int errnoValue = result < 0 ? errno : 0;

    if (!nonBlocking) {
        if (errnoValue == EINTR) errnoValue = FinishInterruptedConnect(fd);
        std::lock_guard<std::mutex> guard(Sockets().Lock);
        SocketRecord* record = FindLocked(s);
        if (!errnoValue && record) record->State = SocketState::Connected;
        return errnoValue ? Fail(ErrorFromErrno(errnoValue)) : 0;
    }

    std::lock_guard<std::mutex> guard(Sockets().Lock);
    SocketRecord* record = FindLocked(s);
    if (!record) return Fail(WSAENOTSOCK);
    // Even an immediate success is reported through the poll loop, so
    // FD_CONNECT and FD_WRITE always arrive as posted messages.
    if (errnoValue == 0 || errnoValue == EINPROGRESS || errnoValue == EINTR) {
        record->State = SocketState::Connecting;
        Rearm(fd, *record);
        return Fail(WSAEWOULDBLOCK);
    }
    int error = ErrorFromErrno(errnoValue);
    if (IsCallError(errnoValue) || !record->Window || !(record->Mask & FD_CONNECT)) return Fail(error);
    Post(s, *record, FD_CONNECT, error);
    return Fail(WSAEWOULDBLOCK);
}

int closesocket(SOCKET s) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    SocketRecord record;
    {
        std::lock_guard<std::mutex> guard(Sockets().Lock);
        SocketRecord* found = FindLocked(s);
        if (!found) return Fail(WSAENOTSOCK);
        record = std::move(*found);
        Sockets().Records.erase(static_cast<int>(s));
    }
    if (int error = Release(static_cast<int>(s), record)) return Fail(error);
    return 0;
}

int send(SOCKET s, const char* buf, int len, int flags) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    if (!Known(s)) return Fail(WSAENOTSOCK);
    if (flags != 0) return Fail(WSAEOPNOTSUPP);
    if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
    const int fd = static_cast<int>(s);
    ssize_t sent;
    do {
        sent = ::send(fd, buf, static_cast<std::size_t>(len), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) return static_cast<int>(sent);
    const int errnoValue = errno;

    std::lock_guard<std::mutex> guard(Sockets().Lock);
    int error = ErrorFromErrno(errnoValue);
    SocketRecord* record = FindLocked(s);
    if (!record) return Fail(error);
    // Linux says EPIPE also for a socket that never connected.
    if (errnoValue == EPIPE && record->State != SocketState::Connected) error = WSAENOTCONN;
    if (error == WSAEWOULDBLOCK) {
        record->WriteWanted = true;
    } else if (IsConnectionLoss(error) && record->State == SocketState::Connected) {
        NotePeerClosed(*record, error);
        SettleClosedPeer(s, *record);
    }
    Rearm(fd, *record);
    return Fail(error);
}

int recv(SOCKET s, char* buf, int len, int flags) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    if (!Known(s)) return Fail(WSAENOTSOCK);
    if (flags != 0) return Fail(WSAEOPNOTSUPP);
    if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
    const int fd = static_cast<int>(s);
    ssize_t got;
    do {
        got = ::recv(fd, buf, static_cast<std::size_t>(len), 0);
    } while (got < 0 && errno == EINTR);
    int error = got < 0 ? ErrorFromErrno(errno) : 0;

    std::lock_guard<std::mutex> guard(Sockets().Lock);
    SocketRecord* record = FindLocked(s);
    if (!record) return got < 0 ? Fail(error) : static_cast<int>(got);
    // Any recv, also one that fails, re-enables FD_READ.
    record->ReadEnabled = true;
    if (record->State == SocketState::Connected) {
        if (got == 0 && len > 0) NotePeerClosed(*record, 0);
        if (got < 0 && IsConnectionLoss(error)) NotePeerClosed(*record, error);
        // The kernel reports a reset only once; the connection stays reset.
        if (got == 0 && len > 0 && record->PeerError) error = record->PeerError;
        SettleClosedPeer(s, *record);
    }
    Rearm(fd, *record);
    if (got < 0 || error) return Fail(error);
    return static_cast<int>(got);
}

int getsockname(SOCKET s, sockaddr* name, int* namelen) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    if (!Known(s)) return Fail(WSAENOTSOCK);
    if (!name || !namelen || *namelen < static_cast<int>(sizeof(sockaddr_in))) return Fail(WSAEFAULT);
    ::sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(static_cast<int>(s), reinterpret_cast<::sockaddr*>(&address), &length) < 0) {
        return Fail(ErrorFromErrno(errno));
    }
    FromPosixAddress(address, name);
    *namelen = static_cast<int>(sizeof(sockaddr_in));
    return 0;
}

u_long inet_addr(const char* cp) {
    if (!cp || !*cp) return INADDR_NONE;
    u_long parts[4];
    int count = 0;
    const char* p = cp;
    for (;;) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return INADDR_NONE;
        unsigned base = 10;
        if (*p == '0') {
            base = 8;
            ++p;
            if (*p == 'x' || *p == 'X') {
                base = 16;
                ++p;
                if (!std::isxdigit(static_cast<unsigned char>(*p))) return INADDR_NONE;
            }
        }
        std::uint64_t value = 0;
        for (;; ++p) {
            auto c = static_cast<unsigned char>(*p);
            unsigned digit;
            if (std::isdigit(c)) {
                digit = c - '0';
            } else if (base == 16 && std::isxdigit(c)) {
                digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
            } else {
                break;
            }
            if (digit >= base) return INADDR_NONE;
            value = value * base + digit;
            if (value > 0xffffffffu) return INADDR_NONE;
        }
        parts[count++] = static_cast<u_long>(value);
        if (*p != '.') break;
        if (count == 4) return INADDR_NONE;
        ++p;
    }
    if (*p && !std::isspace(static_cast<unsigned char>(*p))) return INADDR_NONE;

    // The last part fills the bytes that the earlier parts leave over.
    u_long address = parts[count - 1];
    const u_long lastPartLimit[] = {0xffffffffu, 0xffffffu, 0xffffu, 0xffu};
    if (address > lastPartLimit[count - 1]) return INADDR_NONE;
    for (int i = 0; i < count - 1; ++i) {
        if (parts[i] > 0xff) return INADDR_NONE;
        address |= parts[i] << (24 - 8 * i);
    }
    return htonl(address);
}

char* inet_ntoa(in_addr in) {
    thread_local char text[16];
    unsigned char bytes[4];
    std::memcpy(bytes, &in.s_addr, sizeof bytes);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

u_short htons(u_short hostshort) {
    unsigned char bytes[2] = {static_cast<unsigned char>(hostshort >> 8), static_cast<unsigned char>(hostshort)};
    u_short network;
    std::memcpy(&network, bytes, sizeof network);
    return network;
}

u_short ntohs(u_short netshort) {
    unsigned char bytes[2];
    std::memcpy(bytes, &netshort, sizeof bytes);
    return static_cast<u_short>((bytes[0] << 8) | bytes[1]);
}

u_long htonl(u_long hostlong) {
    unsigned char bytes[4] = {static_cast<unsigned char>(hostlong >> 24), static_cast<unsigned char>(hostlong >> 16),
                              static_cast<unsigned char>(hostlong >> 8), static_cast<unsigned char>(hostlong)};
    u_long network;
    std::memcpy(&network, bytes, sizeof network);
    return network;
}

u_long ntohl(u_long netlong) {
    unsigned char bytes[4];
    std::memcpy(bytes, &netlong, sizeof bytes);
    return (u_long{bytes[0]} << 24) | (u_long{bytes[1]} << 16) | (u_long{bytes[2]} << 8) | u_long{bytes[3]};
}

int WSAAsyncSelect(SOCKET s, HWND window, UINT message, long mask) {
    if (!Started()) return Fail(WSANOTINITIALISED);
    if (mask & ~static_cast<long>(AllEvents)) return Fail(WSAEINVAL);
    std::lock_guard<std::mutex> guard(Sockets().Lock);
    SocketRecord* record = FindLocked(s);
    if (!record) return Fail(WSAENOTSOCK);
    const int fd = static_cast<int>(s);

    if (!record->NonBlocking) {
        int flags;
        do {
            flags = ::fcntl(fd, F_GETFL);
        } while (flags < 0 && errno == EINTR);
        int result = flags;
        if (flags >= 0) {
            do {
                result = ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
            } while (result < 0 && errno == EINTR);
        }
        if (result < 0) return Fail(ErrorFromErrno(errno));
        record->NonBlocking = true;
    }

    if (!window || !message || !mask) {
        if (record->Watched) Platform::UnwatchDescriptor(fd);
        record->Watched = false;
        record->Window = nullptr;
        record->Message = 0;
        record->Mask = 0;
        return 0;
    }

    record->Window = window;
    record->Message = message;
    record->Mask = mask;
    std::pair<HWND, UINT> target{window, message};
    if (std::find(record->Targets.begin(), record->Targets.end(), target) == record->Targets.end()) {
        record->Targets.push_back(target);
    }
    // A new registration starts with every event enabled again.
    record->ReadEnabled = true;
    record->AcceptEnabled = true;
    if (!record->Watched) {
        Platform::WatchDescriptor(fd, 0, [fd](short revents) { OnSocketReady(fd, revents); });
        record->Watched = true;
    }
    if (record->State == SocketState::Connected && (mask & FD_WRITE)) {
        Post(s, *record, FD_WRITE, 0);
        record->WriteWanted = false;
    }
    SettleClosedPeer(s, *record);
    Rearm(fd, *record);
    return 0;
}

HANDLE WSAAsyncGetHostByName(HWND window, UINT message, const char* name, char* buf, int buflen) {
    if (!Started()) {
        LastError = WSANOTINITIALISED;
        return nullptr;
    }
    if (!name || !buf) {
        LastError = WSAEFAULT;
        return nullptr;
    }
    // The worker hands its result over with PostCall. Binding the queue to
    // this (the GUI) thread makes sure the call window exists before a worker
    // posts to it, and that a post from the worker wakes this thread's poll.
    if (Platform::OnGuiThread()) Platform::BindGuiThread();

    auto lookup = std::make_shared<HostLookup>();
    lookup->Window = window;
    lookup->Message = message;
    lookup->Name = name;
    lookup->Buffer = buf;
    lookup->BufferLength = buflen;
    lookup->Task = NextTask();
    lookup->Epoch = StartEpoch.load();
    ++PendingLookups;

    if (IsReservedInvalid(lookup->Name)) {
        lookup->Error = WSAHOST_NOT_FOUND;
        HandToGuiThread(lookup);
        return lookup->Task;
    }
    try {
        // Detached: the thread holds only the shared lookup and the message
        // queue, both of which outlive it.
        std::thread([lookup] {
            Resolve(*lookup);
            HandToGuiThread(lookup);
        }).detach();
    } catch (const std::system_error&) {
        --PendingLookups;
        LastError = WSAENOBUFS;
        return nullptr;
    }
    return lookup->Task;
}

std::size_t OpenSocketCount() {
    std::lock_guard<std::mutex> guard(Sockets().Lock);
    return Sockets().Records.size();
}

std::size_t PendingHostLookups() { return PendingLookups.load(); }

}  // namespace WinSock
