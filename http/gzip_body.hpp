// Inflating a response body that says it is gzip, with a bound on what it may grow to.
#pragma once

#include "rtl/ustring.hpp"

#include <cstddef>
#include <cstdint>

namespace velora {

// No honest text grows past 64 MiB, or past 1,000 times its compressed size, whichever is less.
std::size_t GzipInflateLimit(std::size_t compressedSize);
// Whether a body the transport decoded from compressed bytes keeps within that bound.
bool WithinInflateLimit(std::uint64_t inflated, std::uint64_t compressed);

// Inflates one gzip member (window bits 31). EZDecompressionError with zlib's text for its error
// code when it does not inflate or bytes follow the member, and with the text of Z_BUF_ERROR
// ("buffer error") when it ends early or would grow past limit.
Bytes InflateGzip(const std::uint8_t* compressed, std::size_t compressedSize, std::size_t limit);

} // namespace velora
