#include "http/http_headers.hpp"

#include <cstdint>
#include <optional>

namespace velora {
namespace {

bool StartsWithMethodWord(std::u16string_view line) {
    static constexpr std::u16string_view kMethods[] = {u"GET",   u"POST",    u"PUT",     u"DELETE",
                                                       u"HEAD",  u"CONNECT", u"OPTIONS", u"TRACE",
                                                       u"MERGE", u"PATCH"};
    for (const auto method : kMethods) {
        if (line.size() > method.size() && line[method.size()] == u' ' &&
            SameText(line.substr(0, method.size()), method))
            return true;
    }
    return false;
}

// Removes one pair of enclosing quote characters; a doubled quote inside becomes one.
UnicodeString Dequote(const UnicodeString& text, char16_t quote) {
    if (text.size() < 2 || text.front() != quote || text.back() != quote)
        return text;
    UnicodeString out;
    const std::u16string_view inner(text.data() + 1, text.size() - 2);
    for (std::size_t i = 0; i < inner.size(); ++i) {
        out.push_back(inner[i]);
        if (inner[i] == quote && i + 1 < inner.size() && inner[i + 1] == quote)
            ++i;
    }
    return out;
}

} // namespace

UnicodeString WithoutLineBreaks(UnicodeString text) {
    for (char16_t& c : text)
        if (c == u'\r' || c == u'\n')
            c = u' ';
    return text;
}

UnicodeString DecodeHeaderBytes(std::string_view raw) {
    if (IsValidUtf8(raw))
        return U16(raw);
    UnicodeString out;
    out.reserve(raw.size());
    for (char c : raw)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return out;
}

void ParseHeaderBlock(std::u16string_view block, TNetHeaders& headers,
                      std::vector<UnicodeString>& setCookies) {
    while (!block.empty()) {
        const auto lf = block.find(u'\n');
        std::u16string_view line = block.substr(0, lf);
        block = lf == std::u16string_view::npos ? std::u16string_view() : block.substr(lf + 1);
        if (!line.empty() && line.back() == u'\r')
            line.remove_suffix(1);

        if (StartsWithMethodWord(line))
            continue;
        const auto colon = line.find(u':');
        if (colon == std::u16string_view::npos || colon == 0)
            continue;
        UnicodeString name = Trim(line.substr(0, colon));
        UnicodeString value = Trim(line.substr(colon + 1));
        if (SameText(name, u"Set-Cookie")) {
            setCookies.push_back(std::move(value));
            continue;
        }
        bool joined = false;
        for (auto& pair : headers) {
            if (SameText(pair.Name, name)) {
                pair.Value += u", " + value;
                joined = true;
                break;
            }
        }
        if (!joined)
            headers.push_back({std::move(name), std::move(value)});
    }
}

bool BodyEndsWithConnection(std::int32_t status, bool head, const TNetHeaders& headers) {
    if (head || status < 200 || status == 204 || status == 304)
        return false;
    for (const auto& header : headers) {
        if (SameText(header.Name, u"Content-Length"))
            return false;
        if (SameText(header.Name, u"Transfer-Encoding") &&
            LowerCase(header.Value).find(u"chunked") != UnicodeString::npos)
            return false;
    }
    return true;
}

UnicodeString HeaderValue(const TNetHeaders& headers, std::u16string_view name) {
    for (const auto& pair : headers)
        if (SameText(pair.Name, name))
            return pair.Value;
    return {};
}

UnicodeString ContentCharSet(std::u16string_view contentType) {
    while (true) {
        const auto semi = contentType.find(u';');
        const UnicodeString piece = TrimLeft(contentType.substr(0, semi));
        if (StartsText(u"charset", piece)) {
            const auto eq = piece.find(u'=');
            if (eq == UnicodeString::npos || piece.find(u'=', eq + 1) != UnicodeString::npos)
                return {};
            return Dequote(Dequote(Trim(std::u16string_view(piece).substr(eq + 1)), u'\''), u'"');
        }
        if (semi == std::u16string_view::npos)
            return {};
        contentType.remove_prefix(semi + 1);
    }
}

namespace {

// The value of the first parameter called name in a challenge: the name at the start of a
// token, then '=' (blanks allowed around it), then a quoted or a plain value.
std::optional<UnicodeString> ChallengeParameter(std::u16string_view challenge,
                                                std::u16string_view name) {
    auto isBlank = [](char16_t c) { return c == u' ' || c == u'\t'; };
    std::size_t from = 0;
    while (from + name.size() <= challenge.size()) {
        std::size_t at = from;
        while (at + name.size() <= challenge.size() &&
               !SameText(challenge.substr(at, name.size()), name))
            ++at;
        if (at + name.size() > challenge.size())
            return std::nullopt;
        from = at + 1;
        if (at > 0 && !isBlank(challenge[at - 1]) && challenge[at - 1] != u',')
            continue;
        std::size_t i = at + name.size();
        while (i < challenge.size() && isBlank(challenge[i]))
            ++i;
        if (i >= challenge.size() || challenge[i] != u'=')
            continue;
        ++i;
        while (i < challenge.size() && isBlank(challenge[i]))
            ++i;
        if (i < challenge.size() && challenge[i] == u'"') {
            const auto close = challenge.find(u'"', i + 1);
            return UnicodeString(challenge.substr(i + 1, close == std::u16string_view::npos
                                                             ? std::u16string_view::npos
                                                             : close - i - 1));
        }
        std::size_t end = i;
        while (end < challenge.size() && challenge[end] != u',' && !isBlank(challenge[end]))
            ++end;
        return UnicodeString(challenge.substr(i, end - i));
    }
    return std::nullopt;
}

} // namespace

UnicodeString ChallengeRealm(std::u16string_view challenge) {
    return ChallengeParameter(challenge, u"realm").value_or(UnicodeString());
}

bool ChallengeWantsUtf8(std::u16string_view challenge) {
    const auto charset = ChallengeParameter(challenge, u"charset");
    return charset && SameText(*charset, u"UTF-8");
}

std::string Base64Encode(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const auto n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                       static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[n >> 18];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += kAlphabet[n & 63];
    }
    if (const std::size_t left = bytes.size() - i; left != 0) {
        std::uint32_t n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (left == 2)
            n |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += kAlphabet[n >> 18];
        out += kAlphabet[(n >> 12) & 63];
        out += left == 2 ? kAlphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

} // namespace velora
