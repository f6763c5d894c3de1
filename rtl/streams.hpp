// Byte streams: the abstract stream with its exact-count helpers and copy, a growable memory
// stream, and a file stream for the one file the launcher writes.
#pragma once

#include "rtl/ustring.hpp"

#include <cstdint>
#include <memory>

namespace velora {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
    virtual ~TStream() = default;
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    // Moves up to count bytes; returns how many moved (0 at the end or when nothing fits).
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
    virtual void SetSize(std::int64_t newSize) = 0;
    virtual std::int64_t Size();
    // Ends a stream over a system file. Some file systems report a failed write only then:
    // EWriteError. Later calls, and streams without a file, do nothing.
    virtual void Close() {}
    // Makes what was written durable, for a stream over a system file (EWriteError when the
    // system cannot); others do nothing.
    virtual void Flush() {}

    std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(std::int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }

    // Exact counts: EReadError "Stream read error" / EWriteError "Stream write error".
    void ReadBuffer(void* buffer, std::int64_t count);
    void WriteBuffer(const void* buffer, std::int64_t count);

    // Count <= 0 copies the whole source from position 0; BufferSize <= 0 is ERangeError.
    std::int64_t CopyFrom(TStream& source, std::int64_t count, std::int32_t bufferSize);
};

// Growable in-memory buffer. Size and position are kept in signed 32 bits, as the stored formats
// expect: a write past 2 GiB - 1 takes no bytes. Growth is geometric, in 8,192-byte steps.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    ~TMemoryStream() override;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    void SetSize(std::int64_t newSize) override;
    std::int64_t Size() override { return FSize; }

    std::uint8_t* Memory() noexcept { return FMemory; }
    const std::uint8_t* Memory() const noexcept { return FMemory; }
    std::int64_t Capacity() const noexcept { return FCapacity; }
    // Reserves room up front (the body of a response with a known length); never shrinks data.
    void Reserve(std::int64_t capacity);
    void Clear();

    // The most the stream may hold: its 32-bit size, or less when set lower. A write past it
    // fails ("Stream write error" from the writer), as does a larger SetSize.
    static constexpr std::int64_t kMaxSize = 0x7fffffff;
    void SetSizeLimit(std::int64_t limit) noexcept {
        FSizeLimit = limit < 0 ? 0 : limit > kMaxSize ? kMaxSize : limit;
    }
    std::int64_t SizeLimit() const noexcept { return FSizeLimit; }

    // A sensitive stream wipes every buffer it lets go of: on growth, shrink and destruction.
    void SetSensitive(bool sensitive) noexcept { FSensitive = sensitive; }
    bool Sensitive() const noexcept { return FSensitive; }
    // Overwrites the whole allocated memory with zeros; size and position stay.
    void Burn() noexcept;

private:
    void Reallocate(std::int64_t newCapacity);

    std::uint8_t* FMemory = nullptr;
    std::int32_t FSize = 0;
    std::int32_t FPosition = 0;
    std::int64_t FCapacity = 0;
    std::int64_t FSizeLimit = kMaxSize;
    bool FSensitive = false;
};

// A stream over a platform file handle. Create always makes (or empties) the file, opened for
// reading and writing with no sharing; failure is EFCreateError "Cannot create file \"%s\". %s".
class TFileStream : public TStream {
public:
    static std::unique_ptr<TFileStream> Create(const UnicodeString& fileName);
    // Makes a file that does not exist yet, without following a link at the path, with no
    // sharing; anything already at the path is EFCreateError.
    static std::unique_ptr<TFileStream> CreateNew(const UnicodeString& fileName);
    // Opens an existing file for reading; failure is EFOpenError "Cannot open file \"%s\". %s".
    static std::unique_ptr<TFileStream> OpenRead(const UnicodeString& fileName);
    ~TFileStream() override;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    void SetSize(std::int64_t newSize) override;
    // EWriteError "Cannot close file \"%s\". %s"; the destructor closes without a word.
    void Close() override;
    // EWriteError "Cannot flush file \"%s\". %s".
    void Flush() override;

    const UnicodeString& FileName() const noexcept { return FFileName; }

    // Makes a new file named after target in target's folder, readable and writable by its
    // owner only on POSIX, without following a link; EFCreateError names target.
    static std::unique_ptr<TFileStream> CreateBeside(const UnicodeString& target);
    // True when path names this very file, itself or through a link.
    bool IsFile(const UnicodeString& path) const;
    // Writes the data through to the disk; EWriteError on failure.
    void FlushToDisk();

private:
    struct Handle;
    TFileStream(UnicodeString fileName, std::unique_ptr<Handle> handle);
    UnicodeString FFileName;
    std::unique_ptr<Handle> FHandle;
};

// Writes a file all or nothing: the content goes to a new file beside the target
// (TFileStream::CreateBeside), and Commit puts it in the target's place, replacing a link there
// rather than writing through it. Without Commit the new file is removed and the target is
// untouched.
class TFileReplacement {
public:
    explicit TFileReplacement(const UnicodeString& target);
    ~TFileReplacement();
    TFileReplacement(const TFileReplacement&) = delete;
    TFileReplacement& operator=(const TFileReplacement&) = delete;

    TFileStream& Stream() noexcept { return *FStream; }
    // EWriteError or EFCreateError naming the target when the file cannot be completed.
    void Commit();

private:
    UnicodeString FTarget;
    UnicodeString FTemporary;
    std::unique_ptr<TFileStream> FStream;
    bool FCommitted = false;
};

// Platform primitives of TFileReplacement. RenameOverFile renames from over to (a link at to is
// replaced, not followed) and returns an error text, empty on success.
UnicodeString RenameOverFile(const UnicodeString& from, const UnicodeString& to);
void RemoveFileQuietly(const UnicodeString& fileName) noexcept;

} // namespace velora
