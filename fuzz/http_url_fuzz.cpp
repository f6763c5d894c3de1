// URL text as a Location header brings it: parsing either fails with the URL message or gives
// parts that parse again to the same request target, with a host and a TCP port for the web.
#include "http/http_headers.hpp"
#include "http/uri.hpp"
#include "rtl/exceptions.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace velora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const UnicodeString text =
        DecodeHeaderBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    TURI uri;
    try {
        uri = TURI(text);
    } catch (const ENetURIException& e) {
        if (!e.Message().starts_with(u"Invalid URL: \""))
            std::abort();
        return 0;
    }
    if (uri.Scheme().empty() || uri.Scheme() != LowerCase(uri.Scheme()) || uri.Path().empty())
        std::abort();
    if (uri.Host() != LowerCase(uri.Host()) || uri.Port() > 65535)
        std::abort();
    // A web URL always names a host.
    if ((uri.Scheme() == u"http" || uri.Scheme() == u"https") && uri.Host().empty())
        std::abort();
    // Host names of the usual characters (the parser leaves others for the transport to refuse)
    // come back the same from the URL text.
    bool plainHost = !uri.Host().empty();
    for (char16_t c : uri.Host())
        plainHost = plainHost && ((c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
                                  c == u'-' || c == u'.' || c == u'_');
    if ((uri.Scheme() == u"http" || uri.Scheme() == u"https") && plainHost) {
        const TURI again(uri.ToString());
        if (again.Host() != uri.Host() || again.Path() != uri.Path() ||
            again.Query() != uri.Query() || (uri.Port() > 0 && again.Port() != uri.Port()) ||
            again.RequestURL() != uri.RequestURL())
            std::abort();
    }
    return 0;
}
