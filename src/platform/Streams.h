// Byte streams: an in-memory buffer and a buffered file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Classes.h"

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
public:
    // Read and Write move up to count bytes and return how many they moved.
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
    virtual std::int64_t Size() const = 0;

    std::int64_t Position() const { return FPosition; }
    void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
    // Copies count bytes from source's position (count 0: all of source,
    // from its start) and returns the number copied.
    std::int64_t CopyFrom(TStream& source, std::int64_t count);

protected:
    std::int64_t FPosition = 0;
};

class TMemoryStream : public TStream {
public:
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() const override { return static_cast<std::int64_t>(FSize); }

    void Clear();
    const char* Memory() const { return FData.data(); }

private:
    std::vector<char> FData;  // capacity; FSize bytes of it are the stream
    std::size_t FSize = 0;
};

enum class TFileMode { fmOpenRead, fmCreate };

// A file read and written through one buffer, so block-sized reads and
// writes cost few system calls. A failed write is remembered: Failed() tells
// a caller whose writes ran where nothing could report them.
class TFileStream : public TStream {
public:
    // Raises EFOpenError or EFCreateError when the file cannot be opened.
    TFileStream(const std::string& fileName, TFileMode mode);
    ~TFileStream() override;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() const override { return FSize; }

    // Writes out what is buffered; false when the file did not take it all.
    bool Flush();
    bool Failed() const { return FFailed; }

    static constexpr std::size_t BufferSize = 128 * 1024;

private:
    bool WriteAll(const char* data, std::size_t count, std::int64_t offset);

    int FHandle = -1;
    std::int64_t FSize = 0;
    std::vector<char> FBuffer;
    std::int64_t FBufferStart = 0;  // file offset of FBuffer[0]
    std::size_t FBufferLength = 0;
    bool FDirty = false;  // the buffer holds bytes not yet written
    bool FFailed = false;
};
