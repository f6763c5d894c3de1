// The charset parameter of any Content-Type value: never fails, and a result is never longer
// than its input.
#include "http/http_headers.hpp"

#include <cstdint>
#include <cstdlib>

using namespace velora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    UnicodeString contentType(size / 2, u'\0');
    for (std::size_t i = 0; i < contentType.size(); ++i)
        contentType[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    const UnicodeString charset = ContentCharSet(contentType);
    if (charset.size() > contentType.size())
        std::abort();
    return 0;
}
