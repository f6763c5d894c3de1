#include "launcher/updater_download.hpp"

#include "rtl/exceptions.hpp"

#include <algorithm>

namespace velora {

TUpdaterSink::TUpdaterSink(std::unique_ptr<TStream> file, std::int64_t limit,
                           ISignatureVerifier* verifier)
    : FFile(std::move(file)), FLimit(limit), FVerifier(verifier) {
    if (FVerifier != nullptr) {
        FHash = FVerifier->CreateSha256();
    }
}

std::int64_t TUpdaterSink::Read(void*, std::int64_t) {
    return 0;
}

std::int64_t TUpdaterSink::Write(const void* buffer, std::int64_t count) {
    if (count <= 0) {
        return 0;
    }
    // The hash sees the bytes in order, once.
    if (!FFile || FPosition != FSize) {
        throw EWriteError(u"Stream write error");
    }
    if (count > FLimit - FSize) {
        throw EWriteError(Format(u"The updater is longer than %d bytes", {FLimit}));
    }
    FFile->WriteBuffer(buffer, count);
    if (FHash) {
        FHash->Update({static_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(count)});
    }
    FSize += count;
    FPosition = FSize;
    return count;
}

std::int64_t TUpdaterSink::Seek(std::int64_t offset, TSeekOrigin origin) {
    const std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                              : origin == TSeekOrigin::soCurrent ? FPosition
                                                                 : FSize;
    FPosition = std::clamp<std::int64_t>(base + offset, 0, FSize);
    return FPosition;
}

void TUpdaterSink::SetSize(std::int64_t newSize) {
    if (newSize == FSize) {
        return;
    }
    if (newSize != 0 || !FFile) {
        throw EStreamError(u"Stream write error");
    }
    FFile->SetSize(0);
    FFile->SetPosition(0);
    if (FVerifier != nullptr) {
        FHash = FVerifier->CreateSha256();
    }
    FSize = FPosition = 0;
}

void TUpdaterSink::Flush() {
    if (FFile) {
        FFile->Flush();
    }
}

void TUpdaterSink::Close() {
    if (FFile) {
        FFile->Close();
    }
}

TSha256Digest TUpdaterSink::Digest() {
    if (!FHash) {
        throw EStreamError(u"The download was not hashed");
    }
    const TSha256Digest digest = FHash->Final();
    FHash.reset();
    return digest;
}

std::int32_t UpdaterDownloadTimeout(std::int64_t length) {
    constexpr std::int64_t kBase = 10 * 60000;
    constexpr std::int64_t kMost = 60 * 60000;
    constexpr std::int64_t kUnknown = 30 * 60000;
    constexpr std::int64_t kBytesPerSecond = 8192;
    if (length < 0) {
        return static_cast<std::int32_t>(kUnknown);
    }
    // Beyond this the time is the most anyway; below it nothing overflows.
    if (length >= (kMost - kBase) / 1000 * kBytesPerSecond) {
        return static_cast<std::int32_t>(kMost);
    }
    return static_cast<std::int32_t>(kBase + length * 1000 / kBytesPerSecond);
}

namespace {

// Present, and what it says when it is a number (else -1).
bool AnnouncedLength(IHTTPResponse& response, std::int64_t& length) {
    length = response.GetContentLength();
    return length >= 0 || response.ContainsHeader(u"Content-Length");
}

} // namespace

void CheckUpdaterHeaders(IHTTPResponse& response, std::optional<std::int64_t> signedSize,
                         std::int64_t limit, std::int32_t& exchangeTimeout) {
    if (response.GetStatusCode() != 200) {
        return;
    }
    std::int64_t length = -1;
    const bool announced = AnnouncedLength(response, length);
    if (announced && length < 0) {
        throw EReadError(Format(u"Content-Length \"%s\" is not a length",
                                {response.GetHeaderValue(u"Content-Length")}));
    }
    if (announced && signedSize && length != *signedSize) {
        throw EReadError(
            Format(u"Content-Length %d disagrees with the signed size %d", {length, *signedSize}));
    }
    if (length > limit) {
        throw EReadError(Format(u"Content-Length %d exceeds %d", {length, limit}));
    }
    if (!signedSize) {
        const std::int32_t limitForLength = UpdaterDownloadTimeout(length);
        exchangeTimeout =
            exchangeTimeout > 0 ? std::min(exchangeTimeout, limitForLength) : limitForLength;
    }
}

void CheckWholeBody(IHTTPResponse& response, std::int64_t received) {
    // The body the transport accepted is whole only when a length header agrees with it (a
    // chunked body with a stray Content-Length, say, leaves its size untrusted).
    std::int64_t length = -1;
    if (AnnouncedLength(response, length) && length != received) {
        throw EReadError(
            Format(u"Content-Length %d disagrees with a body of %d bytes", {length, received}));
    }
}

} // namespace velora
