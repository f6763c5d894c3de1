#include "http/uri.hpp"

#include "http/idna.hpp"
#include "rtl/exceptions.hpp"

#include <optional>

namespace velora {
namespace {

bool IsBlank(char16_t c) {
    return c == u'\t' || c == u'\n' || c == u'\f' || c == u'\r' || c == u' ';
}

bool IsAlpha(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}
bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}
bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

[[noreturn]] void InvalidURL(std::u16string_view url) {
    throw ENetURIException(Format(u"Invalid URL: \"%s\"", {UnicodeString(url)}));
}

// Percent-encodes what a path (or query) may not carry literally. Existing escapes stay.
UnicodeString PercentEncode(std::u16string_view text, bool query) {
    static constexpr std::string_view kKeep = "-._~!$&'()*+,;=:@/";
    const std::string bytes = ToUtf8(text);
    UnicodeString out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        const auto u = static_cast<unsigned char>(c);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || kKeep.find(c) != std::string_view::npos ||
                           (query && c == '?');
        const bool escape =
            c == '%' && i + 2 < bytes.size() && IsHex(bytes[i + 1]) && IsHex(bytes[i + 2]);
        if (plain || escape) {
            out.push_back(static_cast<char16_t>(u));
        } else {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out.push_back(u'%');
            out.push_back(static_cast<char16_t>(kHex[u >> 4]));
            out.push_back(static_cast<char16_t>(kHex[u & 0xF]));
        }
    }
    return out;
}

bool IsLabelDot(char16_t c) {
    return c == u'.' || c == 0x3002 || c == 0xFF0E || c == 0xFF61;
}

// Lower-cases the host; labels that are not ASCII go to their IDNA form.
UnicodeString NormalizeHost(std::u16string_view host, std::u16string_view url) {
    UnicodeString out;
    std::size_t start = 0;
    while (start <= host.size()) {
        std::size_t end = start;
        while (end < host.size() && !IsLabelDot(host[end]))
            ++end;
        const std::u16string_view label = host.substr(start, end - start);
        bool ascii = true;
        for (char16_t c : label)
            ascii = ascii && c < 0x80;
        if (ascii) {
            out += LowerCase(label);
        } else {
            const std::optional<UnicodeString> converted = IdnaLabel(label);
            if (!converted)
                InvalidURL(url);
            out += *converted;
        }
        if (end >= host.size())
            break;
        out.push_back(u'.');
        start = end + 1;
    }
    return out;
}

// A number of an IPv4 address in any of the forms the resolvers take: 0x hexadecimal, 0 octal,
// or decimal.
std::optional<std::uint64_t> IPv4Part(std::u16string_view part) {
    unsigned base = 10;
    if (part.size() >= 2 && part[0] == u'0' && (part[1] == u'x' || part[1] == u'X')) {
        base = 16;
        part.remove_prefix(2);
    } else if (part.size() >= 2 && part[0] == u'0') {
        base = 8;
        part.remove_prefix(1);
    }
    if (part.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (char16_t c : part) {
        unsigned digit = 16;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        if (digit >= base)
            return std::nullopt;
        value = value * base + digit;
        if (value > 0xFFFFFFFFu)
            return std::nullopt;
    }
    return value;
}

bool LooksNumeric(std::u16string_view label) {
    if (label.size() > 2 && label[0] == u'0' && (label[1] == u'x' || label[1] == u'X')) {
        label.remove_prefix(2);
        return label.find_first_not_of(u"0123456789abcdefABCDEF") == std::u16string_view::npos;
    }
    return !label.empty() && label.find_first_not_of(u"0123456789") == std::u16string_view::npos;
}

// A host whose last label is a number is an IPv4 address, which the resolver would take in any
// of its spellings (127.1, 0x7f.0.0.1, 2130706433): its dotted decimal form, or none.
std::optional<UnicodeString> IPv4Host(std::u16string_view host) {
    const auto lastDot = host.rfind(u'.');
    if (!LooksNumeric(host.substr(lastDot == std::u16string_view::npos ? 0 : lastDot + 1)))
        return UnicodeString();
    std::uint64_t parts[4] = {};
    std::size_t count = 0;
    while (true) {
        const auto dot = host.find(u'.');
        if (count == 4)
            return std::nullopt;
        const auto value = IPv4Part(host.substr(0, dot));
        if (!value)
            return std::nullopt;
        parts[count++] = *value;
        if (dot == std::u16string_view::npos)
            break;
        host.remove_prefix(dot + 1);
    }
    std::uint64_t address = 0;
    for (std::size_t i = 0; i + 1 < count; ++i) {
        if (parts[i] > 255)
            return std::nullopt;
        address |= parts[i] << (8 * (3 - i));
    }
    if (parts[count - 1] >= (std::uint64_t{1} << (8 * (5 - count))))
        return std::nullopt;
    address |= parts[count - 1];
    UnicodeString out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        if (!out.empty())
            out.push_back(u'.');
        out += IntToStr(static_cast<std::int32_t>((address >> shift) & 0xFF));
    }
    return out;
}

// The host the connection goes to, as every check must see it: letters, digits, hyphens and
// dots (a last dot allowed), or an IPv4 address in dotted decimal; none when it is neither.
std::optional<UnicodeString> CheckedHost(UnicodeString host) {
    const std::optional<UnicodeString> address = IPv4Host(host);
    if (!address)
        return std::nullopt;
    if (!address->empty())
        return *address;
    std::size_t labelLength = 0;
    for (std::size_t i = 0; i < host.size(); ++i) {
        const char16_t c = host[i];
        if (c == u'.') {
            if (labelLength == 0)
                return std::nullopt;
            labelLength = 0;
        } else if ((c >= u'a' && c <= u'z') || IsDigit(c) || c == u'-') {
            ++labelLength;
        } else {
            return std::nullopt;
        }
    }
    return host;
}

// The bracketed IPv6 literal in its shortest form (as inet_ntop writes it), or none.
std::optional<UnicodeString> IPv6Host(std::u16string_view literal) {
    if (literal.size() < 2 || literal.front() != u'[' || literal.back() != u']')
        return std::nullopt;
    std::u16string_view text = literal.substr(1, literal.size() - 2);
    std::uint16_t words[8] = {};
    int count = 0;
    int gap = -1;
    if (text.starts_with(u"::")) {
        gap = 0;
        text.remove_prefix(2);
    }
    while (!text.empty()) {
        const auto end = text.find(u':');
        const std::u16string_view piece = text.substr(0, end);
        if (piece.find(u'.') != std::u16string_view::npos) {
            // An IPv4 address ends the literal: four decimal numbers without leading zeros.
            if (end != std::u16string_view::npos || count > 6)
                return std::nullopt;
            std::uint32_t v4 = 0;
            std::size_t parts = 0;
            std::u16string_view rest = piece;
            while (true) {
                const auto dot = rest.find(u'.');
                const std::u16string_view part = rest.substr(0, dot);
                if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == u'0'))
                    return std::nullopt;
                std::uint32_t value = 0;
                for (char16_t c : part) {
                    if (!IsDigit(c))
                        return std::nullopt;
                    value = value * 10 + (c - u'0');
                }
                if (value > 255 || ++parts > 4)
                    return std::nullopt;
                v4 = (v4 << 8) | value;
                if (dot == std::u16string_view::npos)
                    break;
                rest.remove_prefix(dot + 1);
            }
            if (parts != 4)
                return std::nullopt;
            words[count++] = static_cast<std::uint16_t>(v4 >> 16);
            words[count++] = static_cast<std::uint16_t>(v4 & 0xFFFF);
            text = {};
            break;
        }
        if (piece.empty() || piece.size() > 4 || count == 8)
            return std::nullopt;
        std::uint16_t value = 0;
        for (char16_t c : piece) {
            const auto d = static_cast<unsigned char>(c < 0x80 ? c : 0);
            if (!IsHex(static_cast<char>(d)))
                return std::nullopt;
            value = static_cast<std::uint16_t>(value * 16 + (d <= '9'   ? d - '0'
                                                             : d <= 'F' ? d - 'A' + 10
                                                                        : d - 'a' + 10));
        }
        words[count++] = value;
        if (end == std::u16string_view::npos)
            break;
        text.remove_prefix(end + 1);
        if (text.starts_with(u":")) {
            if (gap >= 0)
                return std::nullopt;
            gap = count;
            text.remove_prefix(1);
        } else if (text.empty()) {
            return std::nullopt; // a lone ':' at the end
        }
    }
    if (gap >= 0) {
        if (count == 8)
            return std::nullopt;
        const int move = count - gap;
        for (int i = 0; i < move; ++i)
            words[7 - i] = words[count - 1 - i];
        for (int i = gap; i < 8 - move; ++i)
            words[i] = 0;
    } else if (count != 8) {
        return std::nullopt;
    }
    // The longest run of two or more zero words becomes "::"; the first of equal runs.
    int best = -1, bestLength = 0;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && words[j] == 0)
            ++j;
        if (j - i > bestLength && j - i >= 2) {
            best = i;
            bestLength = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    UnicodeString out = u"[";
    for (int i = 0; i < 8; ++i) {
        if (best >= 0 && i >= best && i < best + bestLength) {
            if (i == best)
                out.push_back(u':');
            continue;
        }
        if (i != 0)
            out.push_back(u':');
        if (i == 6 && best == 0 && (bestLength == 6 || (bestLength == 5 && words[5] == 0xFFFF))) {
            out += IntToStr(words[6] >> 8) + u"." + IntToStr(words[6] & 0xFF) + u"." +
                   IntToStr(words[7] >> 8) + u"." + IntToStr(words[7] & 0xFF);
            break;
        }
        static constexpr char16_t kHexDigits[] = u"0123456789abcdef";
        bool leading = true;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const int digit = (words[i] >> shift) & 0xF;
            if (digit == 0 && leading && shift != 0)
                continue;
            leading = false;
            out.push_back(kHexDigits[digit]);
        }
    }
    if (best >= 0 && best + bestLength == 8)
        out.push_back(u':');
    out.push_back(u']');
    return out;
}

bool ParsePort(std::u16string_view text, std::int32_t& port) {
    // Digits only: a sign names no TCP port. Port 0 neither: the transports would go to the
    // scheme's default port instead.
    if (text.empty())
        return false;
    std::int32_t value = 0;
    for (char16_t c : text) {
        if (!IsDigit(c))
            return false;
        value = value * 10 + (c - u'0');
        if (value > 65535)
            return false; // no such TCP port
    }
    port = value;
    return value != 0;
}

// The dot-segment removal of relative reference resolution.
UnicodeString RemoveDotSegments(std::u16string_view in) {
    UnicodeString input(in);
    UnicodeString output;
    auto dropLastSegment = [&output] {
        const auto slash = output.rfind(u'/');
        output.erase(slash == UnicodeString::npos ? 0 : slash);
    };
    while (!input.empty()) {
        if (input.starts_with(u"../")) {
            input.erase(0, 3);
        } else if (input.starts_with(u"./")) {
            input.erase(0, 2);
        } else if (input.starts_with(u"/./")) {
            input.erase(0, 2);
        } else if (input == u"/.") {
            input = u"/";
        } else if (input.starts_with(u"/../")) {
            input.erase(0, 3);
            dropLastSegment();
        } else if (input == u"/..") {
            input = u"/";
            dropLastSegment();
        } else if (input == u"." || input == u"..") {
            input.clear();
        } else {
            const auto next = input.find(u'/', 1);
            const auto n = next == UnicodeString::npos ? input.size() : next;
            output.append(input, 0, n);
            input.erase(0, n);
        }
    }
    return output;
}

} // namespace

TURI::TURI(std::u16string_view url) {
    std::size_t b = 0, e = url.size();
    while (b < e && IsBlank(url[b]))
        ++b;
    while (e > b && IsBlank(url[e - 1]))
        --e;
    const std::u16string_view text = url.substr(b, e - b);

    std::size_t i = 0;
    if (text.empty() || !IsAlpha(text[0]))
        InvalidURL(text);
    while (i < text.size() && (IsAlpha(text[i]) || IsDigit(text[i]) || text[i] == u'+' ||
                               text[i] == u'-' || text[i] == u'.'))
        ++i;
    if (i >= text.size() || text[i] != u':')
        InvalidURL(text);
    FScheme = LowerCase(text.substr(0, i));
    ++i;

    if (text.substr(i).starts_with(u"//")) {
        i += 2;
        std::size_t end = text.find_first_of(u"/?#", i);
        if (end == std::u16string_view::npos)
            end = text.size();
        std::u16string_view authority = text.substr(i, end - i);
        i = end;

        const auto at = authority.rfind(u'@');
        if (at != std::u16string_view::npos) {
            const std::u16string_view user = authority.substr(0, at);
            const auto colon = user.find(u':');
            FUsername = UnicodeString(user.substr(0, colon));
            if (colon != std::u16string_view::npos)
                FPassword = UnicodeString(user.substr(colon + 1));
            authority.remove_prefix(at + 1);
        }

        std::u16string_view host = authority;
        std::optional<std::u16string_view> port;
        if (!authority.empty() && authority[0] == u'[') {
            const auto close = authority.find(u']');
            if (close == std::u16string_view::npos)
                InvalidURL(text);
            host = authority.substr(0, close + 1);
            const std::u16string_view rest = authority.substr(close + 1);
            if (!rest.empty()) {
                if (rest[0] != u':')
                    InvalidURL(text);
                port = rest.substr(1);
            }
        } else if (const auto colon = authority.rfind(u':'); colon != std::u16string_view::npos) {
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
        }
        if (host.empty())
            InvalidURL(text);
        // Judged after the IDNA step, which may map look-alikes to '/', ':', '@' or '.'.
        const std::optional<UnicodeString> checked =
            host[0] == u'[' ? IPv6Host(host) : CheckedHost(NormalizeHost(host, text));
        if (!checked)
            InvalidURL(text);
        FHost = *checked;
        FPort = DefaultPort(FScheme);
        if (port && !ParsePort(*port, FPort))
            InvalidURL(text);
    } else if (FScheme == u"http" || FScheme == u"https") {
        InvalidURL(text); // "https:foo" names no host
    } else {
        FPort = DefaultPort(FScheme);
    }

    const std::u16string_view rest = text.substr(i);
    const auto hash = rest.find(u'#');
    if (hash != std::u16string_view::npos)
        FFragment = UnicodeString(rest.substr(hash + 1));
    SetPathAndQuery(rest.substr(0, hash));
}

void TURI::SetPathAndQuery(std::u16string_view pathAndQuery) {
    const auto question = pathAndQuery.find(u'?');
    FPath = PercentEncode(pathAndQuery.substr(0, question), false);
    if (FPath.empty())
        FPath = u"/";
    FQuery.clear();
    FParams.clear();
    if (question == std::u16string_view::npos)
        return;
    FQuery = PercentEncode(pathAndQuery.substr(question + 1), true);
    std::u16string_view q = FQuery;
    while (!q.empty()) {
        const auto amp = q.find(u'&');
        const std::u16string_view piece = q.substr(0, amp);
        if (!piece.empty()) {
            const auto eq = piece.find(u'=');
            FParams.push_back(
                {UnicodeString(piece.substr(0, eq)), eq == std::u16string_view::npos
                                                         ? UnicodeString()
                                                         : UnicodeString(piece.substr(eq + 1))});
        }
        if (amp == std::u16string_view::npos)
            break;
        q.remove_prefix(amp + 1);
    }
}

std::int32_t TURI::DefaultPort(std::u16string_view scheme) {
    if (scheme == u"https")
        return 443;
    if (scheme == u"http")
        return 80;
    return -1;
}

UnicodeString TURI::PathAndQuery() const {
    return FQuery.empty() ? FPath : FPath + u"?" + FQuery;
}

UnicodeString TURI::Origin() const {
    UnicodeString out = FScheme + u"://" + FHost;
    if (FPort > 0 && FPort != DefaultPort(FScheme))
        out += u":" + IntToStr(FPort);
    return out;
}

UnicodeString TURI::RequestURL() const {
    return Origin() + PathAndQuery();
}

UnicodeString TURI::ToString() const {
    UnicodeString out = FScheme + u":";
    if (!FHost.empty()) {
        out += u"//";
        if (!FUsername.empty() || !FPassword.empty()) {
            out += FUsername;
            if (!FPassword.empty())
                out += u":" + FPassword;
            out += u"@";
        }
        out += FHost;
        if (FPort > 0 && FPort != DefaultPort(FScheme))
            out += u":" + IntToStr(FPort);
    }
    out += PathAndQuery();
    if (!FFragment.empty())
        out += u"#" + FFragment;
    return out;
}

TURI TURI::PathRelativeToAbs(std::u16string_view reference, const TURI& base) {
    const auto colon = reference.find(u':');
    const auto slash = reference.find(u'/');
    TURI result;
    if (colon != std::u16string_view::npos &&
        (slash == std::u16string_view::npos || colon < slash)) {
        result = TURI(reference);
    } else if (reference.starts_with(u"//")) {
        // Scheme-relative: another host under the current scheme.
        result = TURI(base.FScheme + u":" + UnicodeString(reference));
    } else {
        result = base;
        result.FFragment.clear();
        std::u16string_view ref = reference;
        const auto hash = ref.find(u'#');
        if (hash != std::u16string_view::npos) {
            result.FFragment = UnicodeString(ref.substr(hash + 1));
            ref = ref.substr(0, hash);
        }
        const auto question = ref.find(u'?');
        const std::u16string_view path = ref.substr(0, question);
        const std::u16string_view query =
            question == std::u16string_view::npos ? std::u16string_view() : ref.substr(question);
        if (path.empty()) {
            if (question != std::u16string_view::npos)
                result.SetPathAndQuery(base.FPath + UnicodeString(query));
        } else if (path[0] == u'/') {
            result.SetPathAndQuery(RemoveDotSegments(path) + UnicodeString(query));
        } else {
            const auto dirEnd = base.FPath.rfind(u'/');
            const UnicodeString dir = dirEnd == UnicodeString::npos
                                          ? UnicodeString(u"/")
                                          : base.FPath.substr(0, dirEnd + 1);
            result.SetPathAndQuery(RemoveDotSegments(dir + UnicodeString(path)) +
                                   UnicodeString(query));
        }
    }
    if (result.FFragment.empty())
        result.FFragment = base.FFragment;
    return result;
}

} // namespace velora
