// Windows Sockets 1.1 over POSIX TCP sockets: blocking calls, and the
// asynchronous model in which socket events and host lookups arrive as
// posted window messages on the GUI thread's queue (see Windows.h).
//
// Sockets that are registered with WSAAsyncSelect belong to the GUI thread.
// Unregistered (blocking) sockets may be used from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Windows.h"

namespace WinSock {

using WORD = std::uint16_t;
using u_char = unsigned char;
using u_short = std::uint16_t;
using u_int = unsigned int;
using u_long = std::uint32_t;  // 32 bits, as on Windows
using HANDLE = void*;

// A socket handle is a small non-negative number that fits in 16 bits.
using SOCKET = std::uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
constexpr int SOCKET_ERROR = -1;

constexpr int AF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int IPPROTO_TCP = 6;
constexpr int SOL_SOCKET = 0xffff;
constexpr int SO_LINGER = 0x0080;
constexpr u_long INADDR_ANY = 0x00000000u;
constexpr u_long INADDR_NONE = 0xffffffffu;
constexpr int MAXGETHOSTSTRUCT = 1024;
constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;

constexpr int FD_READ = 0x01;
constexpr int FD_WRITE = 0x02;
constexpr int FD_OOB = 0x04;
constexpr int FD_ACCEPT = 0x08;
constexpr int FD_CONNECT = 0x10;
constexpr int FD_CLOSE = 0x20;

constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

struct in_addr {
    u_long s_addr;  // network byte order
};

struct sockaddr {
    u_short sa_family;
    char sa_data[14];
};

struct sockaddr_in {
    short sin_family;
    u_short sin_port;  // network byte order
    in_addr sin_addr;
    char sin_zero[8];
};

struct hostent {
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list;  // null-terminated list of h_length-byte addresses
};

struct linger {
    u_short l_onoff;
    u_short l_linger;  // seconds
};

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};

static_assert(sizeof(sockaddr) == 16 && sizeof(sockaddr_in) == 16 && sizeof(linger) == 4);

constexpr WORD MAKEWORD(int low, int high) { return static_cast<WORD>((low & 0xff) | ((high & 0xff) << 8)); }

// A notification's lParam: the event in the low 16 bits, the error in the high 16.
constexpr LPARAM WSAMAKESELECTREPLY(int event, int error) {
    return static_cast<LPARAM>((static_cast<std::uint32_t>(error & 0xffff) << 16) |
                               static_cast<std::uint32_t>(event & 0xffff));
}
constexpr int WSAGETSELECTEVENT(LPARAM lParam) { return static_cast<int>(lParam & 0xffff); }
constexpr int WSAGETSELECTERROR(LPARAM lParam) { return static_cast<int>((lParam >> 16) & 0xffff); }

// A lookup's completion lParam: the buffer length needed in the low 16 bits,
// the error in the high 16.
constexpr LPARAM WSAMAKEASYNCREPLY(int bufferLength, int error) { return WSAMAKESELECTREPLY(bufferLength, error); }
constexpr int WSAGETASYNCBUFLEN(LPARAM lParam) { return WSAGETSELECTEVENT(lParam); }
constexpr int WSAGETASYNCERROR(LPARAM lParam) { return WSAGETSELECTERROR(lParam); }

// Accepts version 1.1 and later and reports 1.1; each call must be matched by
// a WSACleanup. The last WSACleanup closes the sockets still open.
int WSAStartup(WORD versionRequested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();  // per thread
void WSASetLastError(int error);

// Only AF_INET, SOCK_STREAM, protocol 0 or IPPROTO_TCP.
SOCKET socket(int af, int type, int protocol);
// SOL_SOCKET/SO_LINGER with a linger record; any other option fails with
// WSAENOPROTOOPT.
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int bind(SOCKET s, const sockaddr* name, int namelen);
int listen(SOCKET s, int backlog);
// The accepted socket is blocking and unregistered.
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
// Sends a TCP SYN to the address. A registered socket fails with
// WSAEWOULDBLOCK and later posts FD_CONNECT with the outcome, also when the
// connect failed at once.
int connect(SOCKET s, const sockaddr* name, int namelen);
// Stops the notifications, drops those still queued, closes the socket.
int closesocket(SOCKET s);
// flags must be 0. A registered socket fails with WSAEWOULDBLOCK instead of
// blocking. After a reset recv keeps failing with WSAECONNRESET.
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);
int getsockname(SOCKET s, sockaddr* name, int* namelen);

// Dotted text in any of the forms a.b.c.d, a.b.c, a.b, a (decimal, 0x hex or
// 0 octal parts) to a network-order address; INADDR_NONE if malformed.
u_long inet_addr(const char* cp);
// The dotted text of an address, in a buffer per thread that the next call
// overwrites.
char* inet_ntoa(in_addr in);
u_short htons(u_short hostshort);
u_short ntohs(u_short netshort);
u_long htonl(u_long hostlong);
u_long ntohl(u_long netlong);

// Makes the socket non-blocking and posts the events in mask to window as
// message (wParam = the socket, lParam = WSAMAKESELECTREPLY(event, error)),
// replacing any earlier registration; mask or message 0 stops them.
// Call on the GUI thread.
int WSAAsyncSelect(SOCKET s, HWND window, UINT message, long mask);

// Resolves name on a worker thread. On the GUI thread, and only while window
// still exists, lays out a hostent in buf and sends message to window with
// wParam = the returned task handle, lParam = WSAMAKEASYNCREPLY(length
// needed, error). Names under ".invalid" fail with WSAHOST_NOT_FOUND without
// a query. Call on the GUI thread; returns 0 on failure.
HANDLE WSAAsyncGetHostByName(HWND window, UINT message, const char* name, char* buf, int buflen);

// The Windows Sockets error for a POSIX errno value; never 0 for a failure.
int ErrorFromErrno(int errnoValue);

// For tests that check nothing is left behind.
std::size_t OpenSocketCount();
std::size_t PendingHostLookups();

}  // namespace WinSock
