// Authentication challenges and no_proxy lists from untrusted text: the parsers take anything,
// and a realm never carries the quote that ends it.
#include "http/http_headers.hpp"
#include "http/system_proxy.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace velora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const UnicodeString text =
        DecodeHeaderBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    const UnicodeString realm = ChallengeRealm(text);
    if (realm.size() > text.size())
        std::abort();
    ChallengeWantsUtf8(text);
    const auto bar = text.find(u'|');
    if (bar != UnicodeString::npos) {
        const std::u16string_view list = std::u16string_view(text).substr(0, bar);
        const std::u16string_view host = std::u16string_view(text).substr(bar + 1);
        const bool bypassed = BypassesProxy(list, host);
        if (list == u"*" && !bypassed)
            std::abort();
    }
    const std::string encoded =
        Base64Encode(std::string_view(reinterpret_cast<const char*>(data), size));
    if (encoded.size() != (size + 2) / 3 * 4)
        std::abort();
    return 0;
}
