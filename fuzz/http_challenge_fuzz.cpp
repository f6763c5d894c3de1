// Authentication challenges, no_proxy lists and proxy addresses from untrusted text: the
// parsers take anything, a realm never carries the quote that ends it, and the credentials
// taken out of a proxy address leave no '@' in its host part.
#include "http/http_headers.hpp"
#include "http/system_proxy.hpp"
#include "http/url_client.hpp"

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
    const TProxyAddress proxy = SplitProxyCredentials(text);
    if (proxy.UserName.empty() && proxy.Password.empty() && proxy.Proxy != text &&
        text.find(u'@') == UnicodeString::npos)
        std::abort();
    const std::u16string_view rest = proxy.Proxy;
    const auto scheme = rest.find(u"://");
    const std::u16string_view authority =
        rest.substr(scheme == std::u16string_view::npos ? 0 : scheme + 3);
    if (authority.substr(0, authority.find(u'/')).find(u'@') != std::u16string_view::npos)
        std::abort();
    const std::string encoded =
        Base64Encode(std::string_view(reinterpret_cast<const char*>(data), size));
    if (encoded.size() != (size + 2) / 3 * 4)
        std::abort();
    return 0;
}
