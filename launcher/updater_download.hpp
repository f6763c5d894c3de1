// The updater's body on its way to disk, and the limits its download is held to.
#pragma once

#include "http/http_client.hpp"
#include "signing/verifier.hpp"

#include <cstdint>
#include <memory>
#include <optional>

namespace velora {

// The most an updater may be without a signed size.
inline constexpr std::int64_t kMaxUpdaterSize = 0x7fffffff;

// Writes the body to its file as it arrives, in order, and hashes it on the way when given a
// verifier. A write past the limit fails before anything of it is written. Each pass of the
// exchange (a redirect, a challenge) starts the file and the hash anew. Every write goes
// through Write, the one place a progress report would hook in.
class TUpdaterSink final : public TStream {
public:
    TUpdaterSink(std::unique_ptr<TStream> file, std::int64_t limit, ISignatureVerifier* verifier);

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    void SetSize(std::int64_t newSize) override;
    std::int64_t Size() override { return FSize; }
    void Flush() override;
    void Close() override;

    // The SHA-256 of what was written (with a verifier only); ends the hash.
    TSha256Digest Digest();
    // Closes the file without a word, for a download that failed.
    void Discard() noexcept { FFile.reset(); }

private:
    std::unique_ptr<TStream> FFile;
    std::int64_t FLimit;
    ISignatureVerifier* FVerifier;
    std::unique_ptr<ISha256> FHash;
    std::int64_t FSize = 0;
    std::int64_t FPosition = 0;
};

// The whole exchange's limit, in milliseconds: 10 minutes plus what an 8 KiB/s link needs for
// the length, at most 60 minutes; 30 minutes when the length is not known (negative).
std::int32_t UpdaterDownloadTimeout(std::int64_t length);

// Looks at the headers of the updater's answer before its body: a 200 whose Content-Length is
// not a number, exceeds the limit or disagrees with the signed size fails. Without a signed size
// the announced length sets the exchange's limit.
void CheckUpdaterHeaders(IHTTPResponse& response, std::optional<std::int64_t> signedSize,
                         std::int64_t limit, std::int32_t& exchangeTimeout);

// After the body: a Content-Length that disagrees with what arrived fails.
void CheckWholeBody(IHTTPResponse& response, std::int64_t received);

} // namespace velora
