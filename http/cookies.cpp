#include "http/cookies.hpp"

#include "http/public_suffix.hpp"

#include <algorithm>
#include <array>

namespace velora {
namespace {

// About a century: far enough, and safe from overflow when added to the clock.
constexpr std::int64_t kMaxAge = 3'000'000'000;

bool IsDateDelimiter(char16_t c) {
    return c == 0x09 || (c >= 0x20 && c <= 0x2F) || (c >= 0x3B && c <= 0x40) ||
           (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
}

bool Digits(std::u16string_view s, std::size_t minCount, std::size_t maxCount, int& value,
            std::u16string_view* rest = nullptr) {
    std::size_t n = 0;
    value = 0;
    while (n < s.size() && n < maxCount && s[n] >= u'0' && s[n] <= u'9')
        value = value * 10 + (s[n++] - u'0');
    if (n < minCount)
        return false;
    if (rest)
        *rest = s.substr(n);
    return true;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

UnicodeString DefaultPath(const TURI& url) {
    const UnicodeString& path = url.Path();
    const auto slash = path.rfind(u'/');
    if (path.empty() || path[0] != u'/' || slash == 0 || slash == UnicodeString::npos)
        return u"/";
    return path.substr(0, slash);
}

} // namespace

std::optional<TCookie::TDateTime> ParseCookieDate(std::u16string_view text) {
    static constexpr std::array<std::u16string_view, 12> kMonths = {u"jan", u"feb", u"mar", u"apr",
                                                                    u"may", u"jun", u"jul", u"aug",
                                                                    u"sep", u"oct", u"nov", u"dec"};
    std::optional<int> hour, minute, second, day, month, year;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsDateDelimiter(text[i]))
            ++i;
        std::size_t j = i;
        while (j < text.size() && !IsDateDelimiter(text[j]))
            ++j;
        const std::u16string_view token = text.substr(i, j - i);
        i = j;
        if (token.empty())
            continue;
        int a = 0, b = 0, c = 0;
        std::u16string_view rest;
        if (!hour && Digits(token, 1, 2, a, &rest) && rest.starts_with(u":") &&
            Digits(rest.substr(1), 1, 2, b, &rest) && rest.starts_with(u":") &&
            Digits(rest.substr(1), 1, 2, c)) {
            hour = a, minute = b, second = c;
        } else if (!day && Digits(token, 1, 2, a, &rest) &&
                   (rest.empty() || !(rest[0] >= u'0' && rest[0] <= u'9'))) {
            day = a;
        } else if (!month && token.size() >= 3 &&
                   std::find(kMonths.begin(), kMonths.end(), LowerCase(token.substr(0, 3))) !=
                       kMonths.end()) {
            const auto pos =
                std::find(kMonths.begin(), kMonths.end(), LowerCase(token.substr(0, 3)));
            month = static_cast<int>(pos - kMonths.begin()) + 1;
        } else if (!year && Digits(token, 2, 4, a, &rest) &&
                   (rest.empty() || !(rest[0] >= u'0' && rest[0] <= u'9'))) {
            year = a;
        }
    }
    if (!hour || !day || !month || !year)
        return std::nullopt;
    if (*year >= 70 && *year <= 99)
        *year += 1900;
    else if (*year >= 0 && *year <= 69)
        *year += 2000;
    if (*day < 1 || *day > 31 || *year < 1601 || *hour > 23 || *minute > 59 || *second > 59)
        return std::nullopt;
    // The clock counts nanoseconds in 64 bits, from 1677 to 2262; any date before 1970 is just
    // as past as 1970 itself.
    *year = std::min(*year, 2200);
    if (*year < 1970)
        return TCookie::TDateTime{};
    const std::int64_t days =
        DaysFromCivil(*year, static_cast<unsigned>(*month), static_cast<unsigned>(*day));
    const std::int64_t seconds = days * 86400 + *hour * 3600 + *minute * 60 + *second;
    return TCookie::TDateTime(std::chrono::seconds(seconds));
}

std::optional<TCookie> TCookie::Parse(std::u16string_view setCookie, const TURI& url,
                                      TDateTime now) {
    std::u16string_view rest = setCookie;
    const auto semi = rest.find(u';');
    const std::u16string_view pair = rest.substr(0, semi);
    rest = semi == std::u16string_view::npos ? std::u16string_view() : rest.substr(semi + 1);
    const auto eq = pair.find(u'=');
    if (eq == std::u16string_view::npos)
        return std::nullopt;
    TCookie cookie;
    cookie.Name = Trim(pair.substr(0, eq));
    cookie.Value = Trim(pair.substr(eq + 1));
    if (cookie.Name.empty())
        return std::nullopt;
    cookie.Domain = u"." + url.Host();
    cookie.Path = DefaultPath(url);

    bool maxAgeSeen = false;
    while (!rest.empty()) {
        const auto next = rest.find(u';');
        const std::u16string_view attr = rest.substr(0, next);
        rest = next == std::u16string_view::npos ? std::u16string_view() : rest.substr(next + 1);
        const auto aeq = attr.find(u'=');
        const UnicodeString name = Trim(attr.substr(0, aeq));
        const UnicodeString value =
            aeq == std::u16string_view::npos ? UnicodeString() : Trim(attr.substr(aeq + 1));
        if (SameText(name, u"Max-Age")) {
            std::int64_t seconds = 0;
            std::size_t k = value.starts_with(u"-") ? 1 : 0;
            if (k >= value.size())
                continue;
            bool digits = true;
            for (std::size_t d = k; d < value.size(); ++d) {
                digits = digits && value[d] >= u'0' && value[d] <= u'9';
                if (digits)
                    seconds = std::min<std::int64_t>(kMaxAge, seconds * 10 + (value[d] - u'0'));
            }
            if (!digits)
                continue;
            maxAgeSeen = true;
            cookie.Expires =
                k == 1 || seconds == 0 ? TDateTime::min() : now + std::chrono::seconds(seconds);
        } else if (SameText(name, u"Expires")) {
            if (!maxAgeSeen)
                if (auto date = ParseCookieDate(value))
                    cookie.Expires = *date;
        } else if (SameText(name, u"Domain")) {
            UnicodeString domain = LowerCase(value);
            if (domain.starts_with(u"."))
                domain.erase(0, 1);
            if (!domain.empty()) {
                cookie.Domain = u"." + domain;
                cookie.HostOnly = false;
            }
        } else if (SameText(name, u"Path")) {
            if (value.starts_with(u"/"))
                cookie.Path = value;
        } else if (SameText(name, u"Secure")) {
            cookie.Secure = true;
        } else if (SameText(name, u"HttpOnly")) {
            cookie.HttpOnly = true;
        }
    }
    return cookie;
}

bool TCookieManager::AddServerCookie(const TCookie& cookie, const TURI& url,
                                     TCookie::TDateTime now) {
    const UnicodeString host = u"." + url.Host();
    if (!CookieDomainMatches(cookie.Domain, false, url.Host()) ||
        !url.Path().starts_with(cookie.Path))
        return false;
    // Plain http may neither set a secure cookie nor push one aside.
    if (url.Scheme() != u"https") {
        if (cookie.Secure)
            return false;
        const std::u16string_view domain = std::u16string_view(cookie.Domain).substr(1);
        for (const TCookie& stored : FCookies)
            if (stored.Secure && SameText(stored.Name, cookie.Name) &&
                (CookieDomainMatches(stored.Domain, false, domain) ||
                 CookieDomainMatches(cookie.Domain, false,
                                     std::u16string_view(stored.Domain).substr(1))) &&
                CookiePathMatches(stored.Path, cookie.Path))
                return false;
    }
    TCookie accepted = cookie;
    if (!cookie.HostOnly && IsPublicSuffix(std::u16string_view(cookie.Domain).substr(1))) {
        // Anyone may register names below a public suffix: a cookie for all of them is refused,
        // unless the suffix is the host's own name, which then keeps it to itself.
        if (cookie.Domain != host)
            return false;
        accepted.HostOnly = true;
    }
    // A cookie sent again replaces the stored one; one that has expired already deletes it.
    std::erase_if(FCookies, [&](const TCookie& c) {
        return SameText(c.Name, accepted.Name) && SameText(c.Domain, accepted.Domain) &&
               SameText(c.Path, accepted.Path);
    });
    if (!accepted.Expired(now))
        FCookies.push_back(std::move(accepted));
    return true;
}

bool CookieDomainMatches(std::u16string_view domain, bool hostOnly, std::u16string_view host) {
    if (domain.starts_with(u"."))
        domain.remove_prefix(1);
    if (SameText(domain, host))
        return true;
    if (hostOnly || host.size() <= domain.size() || domain.empty())
        return false;
    // Only names have parent domains: 10.0.0.1 is not under 0.0.1.
    const bool address = host.starts_with(u"[") ||
                         host.find_first_not_of(u"0123456789.") == std::u16string_view::npos;
    return !address && SameText(host.substr(host.size() - domain.size()), domain) &&
           host[host.size() - domain.size() - 1] == u'.';
}

bool CookiePathMatches(std::u16string_view cookiePath, std::u16string_view requestPath) {
    if (!requestPath.starts_with(cookiePath))
        return false;
    return requestPath.size() == cookiePath.size() || cookiePath.ends_with(u"/") ||
           requestPath[cookiePath.size()] == u'/';
}

UnicodeString TCookieManager::CookieHeaders(const TURI& url, TCookie::TDateTime now) {
    std::erase_if(FCookies, [now](const TCookie& c) { return c.Expired(now); });
    const bool secure = url.Scheme() == u"https";
    UnicodeString header;
    for (auto it = FCookies.rbegin(); it != FCookies.rend(); ++it) {
        if (it->Secure && !secure)
            continue;
        if (!CookieDomainMatches(it->Domain, it->HostOnly, url.Host()) ||
            !CookiePathMatches(it->Path, url.Path()))
            continue;
        if (!header.empty())
            header += u"; ";
        header += it->Name + u"=" + it->Value;
    }
    return header;
}

} // namespace velora
