#include "http/gzip_body.hpp"

#include "rtl/exceptions.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdint>

namespace velora {

bool WithinInflateLimit(std::uint64_t inflated, std::uint64_t compressed) {
    return inflated <= GzipInflateLimit(
                           static_cast<std::size_t>(std::min<std::uint64_t>(compressed, SIZE_MAX)));
}

std::size_t GzipInflateLimit(std::size_t compressedSize) {
    constexpr std::size_t kMost = 64 * 1024 * 1024;
    constexpr std::size_t kRatio = 1000;
    return compressedSize > kMost / kRatio ? kMost : compressedSize * kRatio;
}

Bytes InflateGzip(const std::uint8_t* compressed, std::size_t compressedSize, std::size_t limit) {
    z_stream z{};
    if (int rc = inflateInit2(&z, 31); rc != Z_OK)
        throw EZDecompressionError(std::string_view(zError(rc)));
    struct TEnd {
        z_stream& Z;
        ~TEnd() { inflateEnd(&Z); }
    } end{z};
    // One byte of room beyond the limit tells a body that reaches it from one that passes it.
    const std::size_t room = limit + 1;
    Bytes out;
    out.resize(std::min(room, compressedSize * 4 + 4096));
    z.next_in = const_cast<Bytef*>(compressed);
    std::size_t produced = 0;
    std::size_t left = compressedSize;
    while (true) {
        const auto chunkIn = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
        z.avail_in = chunkIn;
        if (produced == out.size())
            out.resize(std::min(room, out.size() * 2));
        const auto space =
            static_cast<uInt>(std::min<std::size_t>(out.size() - produced, 1u << 30));
        z.next_out = out.data() + produced;
        z.avail_out = space;
        int rc = inflate(&z, Z_NO_FLUSH);
        produced += space - z.avail_out;
        left -= chunkIn - z.avail_in;
        if (produced > limit)
            throw EZDecompressionError(std::string_view(zError(Z_BUF_ERROR)));
        if (rc == Z_STREAM_END) {
            // A second member or anything else after the first is no body of one member.
            if (left != 0)
                throw EZDecompressionError(std::string_view(zError(Z_DATA_ERROR)));
            break;
        }
        if (rc != Z_OK || (left == 0 && z.avail_out != 0)) {
            // Out of input before the end of the stream is a truncated body.
            if (rc == Z_OK)
                rc = Z_BUF_ERROR;
            throw EZDecompressionError(std::string_view(zError(rc)));
        }
    }
    out.resize(produced);
    return out;
}

} // namespace velora
