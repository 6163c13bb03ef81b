// Moves one file over loopback, tmpfs to tmpfs, three ways: a session's
// SendFile to a plain blocking peer, a plain blocking peer into a session's
// CaptureFile, and a plain blocking read/write copy between two threads. Each
// way runs in a fresh process of its own (this program started again with
// --case), so its peak resident size is its own; the peer of a session case
// is a child of that process, so the session's figure holds the session alone.
//
//   sock_transfer_bench [MiB] [folder]     (or TAVIX_BENCH_MIB; default 1024, /dev/shm)
//   TAVIX_BENCH_RUNS=n                     rounds, the best of which is shown (default 3)
//
// Columns: CPU seconds of the sending and of the receiving side (one of them
// is the session's process, the other its peer; for the plain copy the two
// threads) and of the case's process; the resident size once set up and the
// peak (VmHWM) of the case's process.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "SockSession.h"

namespace {

constexpr std::size_t MiB = 1024 * 1024;
constexpr int Ok = 0;
constexpr int Failed = 1;
// The peers of the session cases move 128 KiB per call, like the large plain
// copy, so the session's side is what the two session cases compare.
constexpr std::size_t PeerBlockSize = 128 * 1024;

double Seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool WriteAll(int fd, const char* data, std::size_t count) {
    while (count > 0) {
        ssize_t done = ::write(fd, data, count);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done;
        count -= static_cast<std::size_t>(done);
    }
    return true;
}

// Reads from one descriptor and writes to the other in blocks of block bytes
// until the source ends; returns the bytes moved, or -1. More than limit
// bytes is a failure too: a sender that never stops must not fill the folder.
long long Pump(int from, int to, std::size_t block, long long limit) {
    std::vector<char> buffer(block);
    long long moved = 0;
    for (;;) {
        ssize_t got = ::read(from, buffer.data(), block);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) return moved;
        if (!WriteAll(to, buffer.data(), static_cast<std::size_t>(got))) return -1;
        moved += got;
        if (moved > limit) return -1;
    }
}

long long Expected(const std::string& source) {
    struct stat info {};
    return ::stat(source.c_str(), &info) == 0 ? info.st_size : 0;
}

int OpenRead(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }
int OpenWrite(const std::string& path) { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }

// A blocking listener on 127.0.0.1; its port in host order.
WinSock::SOCKET Listener(WinSock::u_short& port) {
    using namespace WinSock;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    listen(s, 1);
    int length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return s;
}

WinSock::SOCKET ConnectTo(WinSock::u_short port) {
    using namespace WinSock;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return INVALID_SOCKET;
    return s;
}

// A session's data connection made the way the FTP client makes one; the
// peer's end is a plain blocking socket.
WinSock::SOCKET DataConnection(TSockSession& session) {
    using namespace WinSock;
    session.Port = 0;
    session.Listen(true);
    sockaddr_in local{};
    int length = sizeof local;
    getsockname(session.SocketHandle, reinterpret_cast<sockaddr*>(&local), &length);
    SOCKET peer = ConnectTo(ntohs(local.sin_port));
    std::uint16_t listening = session.SocketHandle;
    std::uint16_t accepted = session.Accept();
    closesocket(listening);
    session.SocketHandle = accepted;
    WSAAsyncSelect(accepted, session.EventWindow, WM_SOCKET_EVENT, AllSocketEvents);
    return peer;
}

struct TResult {
    double Wall = 0;
    double SendCpu = 0;  // the sending thread
    double RecvCpu = 0;  // the receiving thread
    double ProcessCpu = 0;
    long long Bytes = 0;
    long RssBeforeKiB = 0;  // resident size once set up, before the first byte moves
    long PeakRssKiB = 0;    // the case process's own peak (VmHWM), its peer child not included
};

// A size from /proc/self/status: "VmRSS" now, or "VmHWM", the peak since
// this program started (getrusage's figure would also hold the image before
// the exec).
long StatusKiB(const char* field) {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return 0;
    const std::string format = std::string(field) + ": %ld kB";
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, status)) {
        if (std::sscanf(line, format.c_str(), &kib) == 1) break;
    }
    std::fclose(status);
    return kib;
}

long ResidentKiB() { return StatusKiB("VmRSS"); }

// What a case process prints for the parent.
int Report(const TResult& result) {
    std::printf("%.6f %.6f %.6f %.6f %lld %ld %ld\n", result.Wall, result.SendCpu, result.RecvCpu, result.ProcessCpu,
                result.Bytes, result.RssBeforeKiB, StatusKiB("VmHWM"));
    return result.Bytes >= 0 ? Ok : Failed;
}

// The plain blocking peer of a session case. It runs as a child process,
// not a thread, so the case process's peak resident size is the session's
// alone. Keeps only its own end of the connection: a copy of the session's
// end would keep the connection open after the session closes it.
struct TPeerProcess {
    pid_t Pid = -1;
    int Result = -1;  // the pipe on which the peer reports

    TPeerProcess(WinSock::SOCKET peer, std::uint16_t sessionEnd, const std::string& file, bool sending,
                 long long limit) {
        int report[2];
        if (pipe(report) != 0) return;
        Pid = fork();
        if (Pid == 0) {
            ::close(report[0]);
            ::close(sessionEnd);
            const int socketFd = static_cast<int>(peer);
            int fd = sending ? OpenRead(file) : OpenWrite(file);
            long long moved = sending ? Pump(fd, socketFd, PeerBlockSize, limit)
                                      : Pump(socketFd, fd, PeerBlockSize, limit);
            ::close(fd);
            ::close(socketFd);
            char text[64];
            int length = std::snprintf(text, sizeof text, "%lld %.6f\n", moved, CpuSeconds(RUSAGE_SELF));
            WriteAll(report[1], text, static_cast<std::size_t>(length));
            _exit(0);
        }
        ::close(report[1]);
        Result = report[0];
    }

    // Waits for the peer; returns the bytes it moved (-1 on failure) and its CPU time.
    long long Finish(double& cpu) {
        char text[64] = {};
        std::size_t length = 0;
        for (;;) {
            ssize_t got = ::read(Result, text + length, sizeof text - 1 - length);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            length += static_cast<std::size_t>(got);
        }
        ::close(Result);
        int status = 0;
        while (Pid > 0 && waitpid(Pid, &status, 0) < 0 && errno == EINTR) {
        }
        long long moved = -1;
        if (std::sscanf(text, "%lld %lf", &moved, &cpu) != 2) moved = -1;
        return moved;
    }
};

int RunSendFile(const std::string& source, const std::string& target) {
    TSockSession session(nullptr);
    WinSock::SOCKET peer = DataConnection(session);
    TResult result;
    result.RssBeforeKiB = ResidentKiB();
    double start = Now();
    TPeerProcess reader(peer, session.SocketHandle, target, false, Expected(source));
    WinSock::closesocket(peer);
    try {
        session.SendFile(source);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "SendFile: %s\n", error.what());
    }
    // Closed as the FTP client closes it after an upload.
    WinSock::linger option{0, 0};
    WinSock::setsockopt(session.SocketHandle, WinSock::SOL_SOCKET, WinSock::SO_LINGER,
                        reinterpret_cast<const char*>(&option), sizeof option);
    session.RequestCloseSocket();
    result.SendCpu = CpuSeconds(RUSAGE_SELF);
    result.Bytes = reader.Finish(result.RecvCpu);
    result.Wall = Now() - start;
    result.ProcessCpu = result.SendCpu;
    return Report(result);
}

int RunCaptureFile(const std::string& source, const std::string& target) {
    TSockSession session(nullptr);
    WinSock::SOCKET peer = DataConnection(session);
    TResult result;
    result.RssBeforeKiB = ResidentKiB();
    double start = Now();
    TPeerProcess writer(peer, session.SocketHandle, source, true, Expected(source));
    WinSock::closesocket(peer);
    try {
        session.CaptureFile(target);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "CaptureFile: %s\n", error.what());
    }
    result.Wall = Now() - start;
    result.RecvCpu = CpuSeconds(RUSAGE_SELF);
    result.ProcessCpu = result.RecvCpu;
    long long sent = writer.Finish(result.SendCpu);
    struct stat info {};
    result.Bytes = ::stat(target.c_str(), &info) == 0 && sent >= 0 ? info.st_size : -1;
    return Report(result);
}

int RunPlainCopy(const std::string& source, const std::string& target, std::size_t block) {
    WinSock::WSADATA data;
    WinSock::WSAStartup(WinSock::MAKEWORD(1, 1), &data);
    WinSock::u_short port = 0;
    WinSock::SOCKET listener = Listener(port);
    WinSock::SOCKET sending = ConnectTo(port);
    WinSock::SOCKET receiving = WinSock::accept(listener, nullptr, nullptr);
    WinSock::closesocket(listener);
    TResult result;
    result.RssBeforeKiB = ResidentKiB();
    double start = Now();
    long long received = -1;
    std::thread reader([&] {
        int out = OpenWrite(target);
        received = Pump(static_cast<int>(receiving), out, block, Expected(source));
        ::close(out);
        result.RecvCpu = CpuSeconds(RUSAGE_THREAD);
    });
    std::thread writer([&] {
        int in = OpenRead(source);
        Pump(in, static_cast<int>(sending), block, Expected(source));
        ::close(in);
        WinSock::closesocket(sending);
        result.SendCpu = CpuSeconds(RUSAGE_THREAD);
    });
    writer.join();
    reader.join();
    result.Wall = Now() - start;
    result.ProcessCpu = CpuSeconds(RUSAGE_SELF);
    result.Bytes = received;
    WinSock::closesocket(receiving);
    WinSock::WSACleanup();
    return Report(result);
}

// Fills the file with bytes that differ from block to block.
bool MakeSource(const std::string& path, std::size_t size) {
    int fd = OpenWrite(path);
    if (fd < 0) return false;
    void* map = mmap(nullptr, MiB, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    auto* block = static_cast<std::uint32_t*>(map);
    std::uint32_t state = 12345;
    bool ok = true;
    for (std::size_t done = 0; ok && done < size; done += MiB) {
        for (std::size_t i = 0; i < MiB / 4; ++i) block[i] = state = state * 1664525u + 1013904223u;
        ok = WriteAll(fd, static_cast<const char*>(map), std::min(MiB, size - done));
    }
    munmap(map, MiB);
    ::close(fd);
    return ok;
}

bool SameContents(const std::string& a, const std::string& b) {
    int fa = OpenRead(a);
    int fb = OpenRead(b);
    void* map = mmap(nullptr, 2 * MiB, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    char* ba = static_cast<char*>(map);
    char* bb = ba + MiB;
    bool same = fa >= 0 && fb >= 0;
    while (same) {
        ssize_t na = ::read(fa, ba, MiB);
        ssize_t nb = ::read(fb, bb, MiB);
        if (na != nb || na < 0) same = false;
        if (na <= 0) break;
        if (std::memcmp(ba, bb, static_cast<std::size_t>(na)) != 0) same = false;
    }
    munmap(map, 2 * MiB);
    ::close(fa);
    ::close(fb);
    return same;
}

struct TCase {
    const char* Argument;
    const char* Label;
};

// Each case is set beside both plain copies: the one with the session's block
// size, and the one with large blocks that the session cases' peers use.
const TCase Cases[] = {
    {"plain", "plain copy, 16383-byte blocks"},
    {"send", "SendFile (session) -> plain peer"},
    {"capture", "plain peer -> CaptureFile (session)"},
    {"plain128k", "plain copy, 128 KiB blocks"},
};
constexpr std::size_t PlainSmall = 0;
constexpr std::size_t PlainLarge = 3;

struct TMeasured {
    TResult Result;
    bool Ok = false;
    bool Whole = false;  // every byte arrived, in order
};

// Runs one case in a fresh process of this program and collects its figures.
TMeasured Measure(const char* self, const TCase& c, const std::string& source, const std::string& target) {
    TMeasured measured;
    int output[2];
    if (pipe(output) != 0) return measured;
    pid_t child = fork();
    if (child == 0) {
        dup2(output[1], STDOUT_FILENO);
        ::close(output[0]);
        ::close(output[1]);
        execl(self, self, "--case", c.Argument, source.c_str(), target.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(output[1]);
    char text[256] = {};
    std::size_t length = 0;
    for (;;) {
        ssize_t got = ::read(output[0], text + length, sizeof text - 1 - length);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        length += static_cast<std::size_t>(got);
    }
    ::close(output[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    TResult& r = measured.Result;
    measured.Ok = WIFEXITED(status) && WEXITSTATUS(status) == Ok &&
                  std::sscanf(text, "%lf %lf %lf %lf %lld %ld %ld", &r.Wall, &r.SendCpu, &r.RecvCpu, &r.ProcessCpu,
                              &r.Bytes, &r.RssBeforeKiB, &r.PeakRssKiB) == 7;
    return measured;
}

int RunCase(const std::string& which, const std::string& source, const std::string& target) {
    if (which == "send") return RunSendFile(source, target);
    if (which == "capture") return RunCaptureFile(source, target);
    if (which == "plain") return RunPlainCopy(source, target, SocketBlockSize);
    if (which == "plain128k") return RunPlainCopy(source, target, 128 * 1024);
    return Failed;
}

double MiBOf(long kib) { return static_cast<double>(kib) / 1024.0; }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--case") return RunCase(argv[2], argv[3], argv[4]);

    std::size_t mib = 1024;
    if (const char* env = std::getenv("TAVIX_BENCH_MIB")) mib = std::strtoull(env, nullptr, 10);
    if (argc > 1) mib = std::strtoull(argv[1], nullptr, 10);
    std::string folder = argc > 2 ? argv[2] : "/dev/shm";
    folder += "/tavix-sock-bench-" + std::to_string(getpid());
    if (mkdir(folder.c_str(), 0700) != 0) {
        std::perror(folder.c_str());
        return Failed;
    }
    const std::string source = folder + "/source";
    const std::string target = folder + "/target";
    const std::size_t size = mib * MiB;
    if (!MakeSource(source, size)) {
        std::fprintf(stderr, "cannot write %s\n", source.c_str());
        return Failed;
    }
    char self[4096];
    ssize_t selfLength = readlink("/proc/self/exe", self, sizeof self - 1);
    if (selfLength <= 0) return Failed;
    self[selfLength] = '\0';

    // Each round runs every case once; a case's best round is reported, as
    // the machine's other work only ever slows a round down.
    std::size_t rounds = 3;
    if (const char* env = std::getenv("TAVIX_BENCH_RUNS")) {
        rounds = std::max<std::size_t>(1, std::strtoull(env, nullptr, 10));
    }
    std::vector<TMeasured> best(std::size(Cases));
    std::vector<bool> failed(std::size(Cases), false);
    for (std::size_t round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < std::size(Cases); ++i) {
            TMeasured m = Measure(self, Cases[i], source, target);
            m.Whole = m.Ok && m.Result.Bytes == static_cast<long long>(size) && SameContents(source, target);
            ::unlink(target.c_str());
            failed[i] = failed[i] || !m.Whole;
            long peak = std::max(best[i].Result.PeakRssKiB, m.Result.PeakRssKiB);
            if (m.Whole && (!best[i].Whole || m.Result.Wall < best[i].Result.Wall)) best[i] = m;
            best[i].Result.PeakRssKiB = peak;
        }
    }
    int status = Ok;
    for (std::size_t i = 0; i < best.size(); ++i) {
        if (failed[i]) best[i].Whole = false;
        if (failed[i]) status = Failed;
    }

    std::printf("%zu MiB over 127.0.0.1, %s, best of %zu rounds\n", mib, folder.c_str(), rounds);
    std::printf("%-36s %7s %7s %9s %9s %9s %9s %9s %9s %9s\n", "case", "MB/s", "wall s", "send CPU", "recv CPU",
                "proc CPU", "RSS set", "peak RSS", "vs 16383", "vs 128K");
    auto rateOf = [&](const TMeasured& m) {
        return m.Whole && m.Result.Wall > 0 ? static_cast<double>(size) / m.Result.Wall : 0.0;
    };
    const double small = rateOf(best[PlainSmall]);
    const double large = rateOf(best[PlainLarge]);
    for (std::size_t i = 0; i < best.size(); ++i) {
        const TMeasured& m = best[i];
        const TResult& r = m.Result;
        const double rate = rateOf(m);
        std::printf("%-36s %7.0f %7.2f %9.2f %9.2f %9.2f %5.1f MiB %5.1f MiB %9.2f %9.2f%s\n", Cases[i].Label,
                    rate / 1e6, r.Wall, r.SendCpu, r.RecvCpu, r.ProcessCpu, MiBOf(r.RssBeforeKiB), MiBOf(r.PeakRssKiB),
                    small > 0 ? rate / small : 0.0, large > 0 ? rate / large : 0.0,
                    m.Whole ? "" : "  FAILED: the copy differs");
    }
    ::unlink(source.c_str());
    rmdir(folder.c_str());
    return status;
}
