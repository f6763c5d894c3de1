// Header bytes from the wire: decoding, the header block parser and the cookie parser must
// take any input without failing; the list holds each name once, trimmed, and no cookies.
#include "http/cookies.hpp"
#include "http/http_headers.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace velora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const UnicodeString block =
        DecodeHeaderBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    TNetHeaders headers;
    std::vector<UnicodeString> cookies;
    ParseHeaderBlock(block, headers, cookies);

    for (std::size_t i = 0; i < headers.size(); ++i) {
        const auto& name = headers[i].Name;
        if (SameText(name, u"Set-Cookie") || name != Trim(name))
            std::abort();
        for (std::size_t j = i + 1; j < headers.size(); ++j)
            if (SameText(name, headers[j].Name))
                std::abort();
    }
    static const TURI url(u"https://www.example.com/a/b");
    TCookieManager manager;
    for (const auto& value : cookies)
        if (auto cookie = TCookie::Parse(value, url))
            manager.AddServerCookie(*cookie, url);
    manager.CookieHeaders(url);
    ParseCookieDate(block);
    return 0;
}
