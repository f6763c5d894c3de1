// Set-Cookie values, one a line, from an answer of https://www.example.com/a/b: every cookie
// parsed has a name, a domain and a path; the store keeps one cookie per name, domain and path
// and goes back to that URL whole, less the secure cookies over plain http.
#include "http/cookies.hpp"
#include "http/http_headers.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace velora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const TURI url(u"https://www.example.com/a/b");
    static const TURI plain(u"http://www.example.com/a/b");
    const TCookie::TDateTime now{std::chrono::seconds(1'700'000'000)};
    const UnicodeString text =
        DecodeHeaderBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    TCookieManager manager;
    std::u16string_view rest = text;
    while (!rest.empty()) {
        const auto end = rest.find(u'\n');
        const std::u16string_view line = rest.substr(0, end);
        rest = end == std::u16string_view::npos ? std::u16string_view() : rest.substr(end + 1);
        const auto cookie = TCookie::Parse(line, url, now);
        if (!cookie)
            continue;
        if (cookie->Name.empty() || cookie->Name != Trim(cookie->Name) ||
            !cookie->Domain.starts_with(u".") || !cookie->Path.starts_with(u"/"))
            std::abort();
        manager.AddServerCookie(*cookie, url, now);
    }
    const auto& cookies = manager.Cookies();
    for (std::size_t i = 0; i < cookies.size(); ++i) {
        if (cookies[i].Expired(now))
            std::abort();
        for (std::size_t j = i + 1; j < cookies.size(); ++j)
            if (SameText(cookies[i].Name, cookies[j].Name) &&
                SameText(cookies[i].Domain, cookies[j].Domain) &&
                SameText(cookies[i].Path, cookies[j].Path))
                std::abort();
    }
    // Every stored cookie matches the URL it came from; over plain http the secure ones stay.
    auto count = [](const UnicodeString& header) {
        std::size_t n = header.empty() ? 0 : 1;
        for (std::size_t at = header.find(u"; "); at != UnicodeString::npos;
             at = header.find(u"; ", at + 2))
            ++n;
        return n;
    };
    std::size_t secure = 0;
    for (const auto& c : cookies)
        secure += c.Secure ? 1 : 0;
    if (count(manager.CookieHeaders(url, now)) != cookies.size() ||
        count(manager.CookieHeaders(plain, now)) != cookies.size() - secure)
        std::abort();
    return 0;
}
