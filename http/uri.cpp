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

bool ParsePort(std::u16string_view text, std::int32_t& port) {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == u'-';
    if (negative)
        i = 1;
    if (i >= text.size())
        return false;
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (!IsDigit(text[i]))
            return false;
        value = value * 10 + (text[i] - u'0');
        if (value > 65535)
            return false; // no such TCP port
    }
    port = static_cast<std::int32_t>(negative ? -value : value);
    return true;
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
        FHost = NormalizeHost(host, text);
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
