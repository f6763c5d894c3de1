// Cookies that responses set and the client's store that offers them to later requests.
#pragma once

#include "http/uri.hpp"

#include <chrono>
#include <optional>
#include <vector>

namespace velora {

struct TCookie {
    using TDateTime = std::chrono::system_clock::time_point;

    UnicodeString Name;
    UnicodeString Value;
    std::optional<TDateTime> Expires; // none: lasts as long as the client
    UnicodeString Domain;             // always with a leading '.'
    UnicodeString Path;
    bool Secure = false;
    bool HttpOnly = false;
    bool HostOnly = true; // no Domain attribute: only the host that set it gets it back

    bool Expired(TDateTime now) const { return Expires && *Expires <= now; }

    // Parses a Set-Cookie value; defaults for Domain and Path come from the URL that answered.
    // Values without "name=" are not cookies.
    static std::optional<TCookie> Parse(std::u16string_view setCookie, const TURI& url,
                                        TDateTime now = std::chrono::system_clock::now());
};

using TCookies = std::vector<TCookie>;

// Whether a cookie of that domain (leading '.') goes to host; hostOnly asks for the host itself.
bool CookieDomainMatches(std::u16string_view domain, bool hostOnly, std::u16string_view host);
// Whether a cookie of that path goes with a request for requestPath.
bool CookiePathMatches(std::u16string_view cookiePath, std::u16string_view requestPath);

// Reads the date of an "Expires" attribute in the usual cookie date forms; nullopt if it has
// no day, month, year and time.
std::optional<TCookie::TDateTime> ParseCookieDate(std::u16string_view text);

class TCookieManager {
public:
    // Stores the cookie when it belongs to the URL's host and path; replaces one with the same
    // name, domain and path. Returns whether it was accepted.
    bool AddServerCookie(const TCookie& cookie, const TURI& url,
                         TCookie::TDateTime now = std::chrono::system_clock::now());
    // The "Cookie" header value for a request to url (empty: send none), newest cookie first.
    // Drops expired cookies. A cookie goes only to a host and path it matches (domain and path
    // matching of RFC 6265), and a secure one only over https.
    UnicodeString CookieHeaders(const TURI& url,
                                TCookie::TDateTime now = std::chrono::system_clock::now());

    const TCookies& Cookies() const { return FCookies; }
    void Clear() { FCookies.clear(); }

private:
    TCookies FCookies;
};

} // namespace velora
