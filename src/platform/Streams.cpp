#include "Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "SysUtils.h"

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    char block[16384];
    std::int64_t copied = 0;
    while (copied < count) {
        std::int64_t want = std::min<std::int64_t>(count - copied, sizeof block);
        std::int64_t got = source.Read(block, want);
        if (got <= 0) break;
        Write(block, got);
        copied += got;
    }
    return copied;
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
    std::int64_t available = static_cast<std::int64_t>(FSize) - FPosition;
    std::int64_t n = std::max<std::int64_t>(0, std::min(count, available));
    if (n > 0) std::memcpy(buffer, FData.data() + FPosition, static_cast<std::size_t>(n));
    FPosition += n;
    return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0) return 0;
    std::size_t end = static_cast<std::size_t>(FPosition + count);
    if (end > FData.size()) FData.resize(std::max(end, FData.size() * 2));
    std::memcpy(FData.data() + FPosition, buffer, static_cast<std::size_t>(count));
    FPosition += count;
    FSize = std::max(FSize, end);
    return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                        : origin == TSeekOrigin::soCurrent ? FPosition
                                                           : static_cast<std::int64_t>(FSize);
    FPosition = std::max<std::int64_t>(0, base + offset);
    return FPosition;
}

void TMemoryStream::Clear() {
    FSize = 0;
    FPosition = 0;
    // Keep a working buffer for the next line, but hand back a large one.
    if (FData.size() > 1024 * 1024) std::vector<char>().swap(FData);
}

TFileStream::TFileStream(const std::string& fileName, TFileMode mode) : FBuffer(BufferSize) {
    int flags = mode == TFileMode::fmCreate ? O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC : O_RDONLY | O_CLOEXEC;
    do {
        FHandle = open(fileName.c_str(), flags, 0666);
    } while (FHandle < 0 && errno == EINTR);
    struct stat info {};
    if (FHandle >= 0 && (fstat(FHandle, &info) != 0 || S_ISDIR(info.st_mode))) {
        close(FHandle);
        FHandle = -1;
    }
    if (FHandle < 0) {
        if (mode == TFileMode::fmCreate) throw EFCreateError(fileName);
        throw EFOpenError(fileName);
    }
    FSize = info.st_size;
}

TFileStream::~TFileStream() {
    Flush();
    close(FHandle);
}

bool TFileStream::WriteAll(const char* data, std::size_t count, std::int64_t offset) {
    while (count > 0) {
        ssize_t written = pwrite(FHandle, data, count, offset);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            FFailed = true;
            return false;
        }
        data += written;
        count -= static_cast<std::size_t>(written);
        offset += written;
    }
    return true;
}

bool TFileStream::Flush() {
    bool ok = true;
    if (FDirty) ok = WriteAll(FBuffer.data(), FBufferLength, FBufferStart);
    FDirty = false;
    FBufferLength = 0;
    return ok;
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
    if (FDirty) Flush();
    char* out = static_cast<char*>(buffer);
    std::int64_t done = 0;
    while (done < count && FPosition < FSize) {
        std::int64_t offsetInBuffer = FPosition - FBufferStart;
        if (offsetInBuffer >= 0 && offsetInBuffer < static_cast<std::int64_t>(FBufferLength)) {
            std::int64_t n = std::min<std::int64_t>(count - done, static_cast<std::int64_t>(FBufferLength) - offsetInBuffer);
            std::memcpy(out + done, FBuffer.data() + offsetInBuffer, static_cast<std::size_t>(n));
            done += n;
            FPosition += n;
            continue;
        }
        ssize_t got;
        do {
            got = pread(FHandle, FBuffer.data(), FBuffer.size(), FPosition);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) break;
        FBufferStart = FPosition;
        FBufferLength = static_cast<std::size_t>(got);
    }
    return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0) return 0;
    const char* in = static_cast<const char*>(buffer);
    bool appends = FDirty && FPosition == FBufferStart + static_cast<std::int64_t>(FBufferLength);
    if (!appends) {
        Flush();
        FBufferStart = FPosition;
        FDirty = true;
    }
    std::size_t n = static_cast<std::size_t>(count);
    if (FBufferLength + n > FBuffer.size()) {
        // A full buffer goes out; the block starts the next one unless it is
        // larger than a whole buffer.
        if (!Flush()) return 0;
        FBufferStart = FPosition;
        if (n > FBuffer.size()) {
            if (!WriteAll(in, n, FPosition)) return 0;
            FPosition += count;
            FSize = std::max(FSize, FPosition);
            return count;
        }
    }
    std::memcpy(FBuffer.data() + FBufferLength, in, n);
    FBufferLength += n;
    FDirty = true;
    FPosition += count;
    FSize = std::max(FSize, FPosition);
    return count;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    std::int64_t base = origin == TSeekOrigin::soBeginning ? 0 : origin == TSeekOrigin::soCurrent ? FPosition : FSize;
    FPosition = std::max<std::int64_t>(0, base + offset);
    return FPosition;
}
