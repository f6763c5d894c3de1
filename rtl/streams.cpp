#include "rtl/streams.hpp"

#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace velora {

std::int64_t TStream::Size() {
    const std::int64_t pos = Seek(0, TSeekOrigin::soCurrent);
    const std::int64_t size = Seek(0, TSeekOrigin::soEnd);
    Seek(pos, TSeekOrigin::soBeginning);
    return size;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
    auto* p = static_cast<std::uint8_t*>(buffer);
    while (count > 0) {
        const std::int64_t n = Read(p, count);
        if (n <= 0) {
            throw EReadError(u"Stream read error");
        }
        p += n;
        count -= n;
    }
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    while (count > 0) {
        const std::int64_t n = Write(p, count);
        if (n <= 0) {
            throw EWriteError(u"Stream write error");
        }
        p += n;
        count -= n;
    }
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count, std::int32_t bufferSize) {
    if (bufferSize <= 0) {
        throw ERangeError(u"Range check error");
    }
    if (count <= 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    const std::int64_t result = count;
    if (count == 0) {
        return 0;
    }
    const std::int64_t chunk = std::min<std::int64_t>(bufferSize, count);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(chunk));
    while (count != 0) {
        const std::int64_t n = std::min(chunk, count);
        source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        count -= n;
    }
    return result;
}

// ---------------------------------------------------------------------------------------------

namespace {
constexpr std::int64_t kMemoryDelta = 8192;

std::int64_t RoundToDelta(std::int64_t n) {
    return (n + kMemoryDelta - 1) & ~(kMemoryDelta - 1);
}
} // namespace

TMemoryStream::~TMemoryStream() {
    if (FSensitive) {
        SecureZero(FMemory, static_cast<std::size_t>(FCapacity));
    }
    std::free(FMemory);
}

void TMemoryStream::Reallocate(std::int64_t newCapacity) {
    if (newCapacity == FCapacity) {
        return;
    }
    if (newCapacity == 0) {
        if (FSensitive) {
            SecureZero(FMemory, static_cast<std::size_t>(FCapacity));
        }
        std::free(FMemory);
        FMemory = nullptr;
        FCapacity = 0;
        return;
    }
    std::uint8_t* fresh = nullptr;
    if (FSensitive) {
        // realloc may leave the old bytes in freed memory; copy and wipe instead.
        fresh = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(newCapacity)));
        if (fresh != nullptr) {
            const std::int64_t keep = std::min(FCapacity, newCapacity);
            if (keep > 0) {
                std::memcpy(fresh, FMemory, static_cast<std::size_t>(keep));
            }
            SecureZero(FMemory, static_cast<std::size_t>(FCapacity));
            std::free(FMemory);
        }
    } else {
        fresh = static_cast<std::uint8_t*>(
            std::realloc(FMemory, static_cast<std::size_t>(newCapacity)));
    }
    if (fresh == nullptr) {
        throw EStreamError(u"Out of memory while expanding memory stream");
    }
    FMemory = fresh;
    FCapacity = newCapacity;
}

void TMemoryStream::Reserve(std::int64_t capacity) {
    capacity = std::min(capacity, FSizeLimit);
    if (capacity > FCapacity) {
        Reallocate(RoundToDelta(capacity));
    }
}

void TMemoryStream::SetSize(std::int64_t newSize) {
    if (newSize < 0 || newSize > FSizeLimit) {
        throw EStreamError(u"Out of memory while expanding memory stream");
    }
    const std::int64_t old = FSize;
    if (newSize > FCapacity) {
        Reallocate(RoundToDelta(newSize));
    }
    FSize = static_cast<std::int32_t>(newSize);
    if (newSize < old && FSensitive) {
        SecureZero(FMemory + newSize, static_cast<std::size_t>(old - newSize));
    }
    if (FPosition > FSize) {
        FPosition = FSize;
    }
}

void TMemoryStream::Clear() {
    Reallocate(0);
    FSize = 0;
    FPosition = 0;
}

void TMemoryStream::Burn() noexcept {
    SecureZero(FMemory, static_cast<std::size_t>(FCapacity));
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
    if (count <= 0 || FPosition >= FSize) {
        return 0;
    }
    const std::int64_t n = std::min<std::int64_t>(count, FSize - FPosition);
    std::memcpy(buffer, FMemory + FPosition, static_cast<std::size_t>(n));
    FPosition += static_cast<std::int32_t>(n);
    return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0 || FPosition < 0) {
        return 0;
    }
    const std::int64_t end = static_cast<std::int64_t>(FPosition) + count;
    if (end > FSizeLimit) {
        return 0; // the writer reports "Stream write error"
    }
    if (end > FSize) {
        if (end > FCapacity) {
            // Geometric growth keeps appends amortised O(1) for bodies of unknown length.
            const std::int64_t grown = std::min(FSizeLimit, FCapacity + FCapacity / 2);
            Reallocate(RoundToDelta(std::max(end, grown)));
        }
        FSize = static_cast<std::int32_t>(end);
    }
    std::memcpy(FMemory + FPosition, buffer, static_cast<std::size_t>(count));
    FPosition = static_cast<std::int32_t>(end);
    return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    std::int64_t base = 0;
    switch (origin) {
    case TSeekOrigin::soBeginning:
        base = 0;
        break;
    case TSeekOrigin::soCurrent:
        base = FPosition;
        break;
    case TSeekOrigin::soEnd:
        base = FSize;
        break;
    }
    const std::int64_t target = base + offset;
    if (target >= 0 && target <= kMaxSize) {
        FPosition = static_cast<std::int32_t>(target);
    }
    return FPosition;
}

TFileReplacement::TFileReplacement(const UnicodeString& target)
    : FTarget(target), FStream(TFileStream::CreateBeside(target)) {
    FTemporary = FStream->FileName();
}

TFileReplacement::~TFileReplacement() {
    if (!FCommitted) {
        FStream.reset();
        RemoveFileQuietly(FTemporary);
    }
}

void TFileReplacement::Commit() {
    FStream->FlushToDisk();
    FStream->Close();
    const UnicodeString error = RenameOverFile(FTemporary, FTarget);
    if (!error.empty()) {
        throw EFCreateError(Format(u"Cannot create file \"%s\". %s", {FTarget, error}));
    }
    FCommitted = true;
}

} // namespace velora
