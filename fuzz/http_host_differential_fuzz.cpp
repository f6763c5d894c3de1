// URL text as a caller or a Location header brings it: whatever the parser accepts for the web,
// the transport, reading the URL the client hands it, goes to the host and port the parser
// reported, the host every check of the client judges.
#include "http/http_headers.hpp"
#include "http/uri.hpp"
#include "rtl/exceptions.hpp"

#include <curl/curl.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

using namespace velora;

namespace {

struct TCurlText {
    char* Text = nullptr;
    ~TCurlText() { curl_free(Text); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const UnicodeString text =
        DecodeHeaderBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    TURI uri;
    try {
        uri = TURI(text);
    } catch (const ENetURIException&) {
        return 0;
    }
    if (uri.Scheme() != u"http" && uri.Scheme() != u"https")
        return 0;
    const std::string requestURL = ToUtf8(uri.RequestURL());

    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), &curl_url_cleanup);
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, requestURL.c_str(), 0) != CURLUE_OK)
        std::abort(); // a URL the client accepted that its transport cannot even read
    TCurlText host, port;
    if (curl_url_get(parsed.get(), CURLUPART_HOST, &host.Text, 0) != CURLUE_OK ||
        curl_url_get(parsed.get(), CURLUPART_PORT, &port.Text, CURLU_DEFAULT_PORT) != CURLUE_OK)
        std::abort();
    if (U16(host.Text) != uri.Host() || std::atoi(port.Text) != uri.Port())
        std::abort();
    // And the client, given its own URL again, sees the same host.
    if (TURI(U16(requestURL)).Host() != uri.Host())
        std::abort();
    return 0;
}
