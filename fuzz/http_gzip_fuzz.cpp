// A body labelled gzip, as a server sends it: inflating either fails with the decompressor's
// message or gives no more than the bound allows.
#include "http/gzip_body.hpp"
#include "rtl/exceptions.hpp"

#include <cstdint>
#include <cstdlib>

using namespace velora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t limit = GzipInflateLimit(size);
    try {
        if (InflateGzip(data, size, limit).size() > limit)
            std::abort();
    } catch (const EZDecompressionError& e) {
        if (e.Message().empty())
            std::abort();
    }
    return 0;
}
