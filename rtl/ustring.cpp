#include "rtl/ustring.hpp"

#include <algorithm>

namespace velora {

Utf8Step DecodeUtf8Step(const std::uint8_t* data, std::size_t size, std::size_t i) noexcept {
    const std::uint8_t b = data[i];
    if (b < 0x80) {
        return {b, 1, true};
    }
    // The lead byte fixes the length and the range of the second byte, which rules out overlong
    // forms, surrogates and values past U+10FFFF.
    std::size_t extra = 0;
    char32_t cp = 0;
    std::uint8_t lo = 0x80;
    std::uint8_t hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        extra = 1, cp = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
        extra = 2, cp = b & 0x0Fu;
        lo = b == 0xE0 ? 0xA0 : 0x80;
        hi = b == 0xED ? 0x9F : 0xBF;
    } else if (b >= 0xF0 && b <= 0xF4) {
        extra = 3, cp = b & 0x07u;
        lo = b == 0xF0 ? 0x90 : 0x80;
        hi = b == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {0xFFFD, 1, false};
    }
    for (std::size_t k = 1; k <= extra; ++k) {
        if (i + k >= size || data[i + k] < lo || data[i + k] > hi) {
            return {0xFFFD, k, false};
        }
        cp = (cp << 6) | (data[i + k] & 0x3Fu);
        lo = 0x80;
        hi = 0xBF;
    }
    return {cp, extra + 1, true};
}

bool IsValidUtf8(std::string_view bytes) noexcept {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    for (std::size_t i = 0; i < bytes.size();) {
        const Utf8Step step = DecodeUtf8Step(data, bytes.size(), i);
        if (!step.valid) {
            return false;
        }
        i += step.length;
    }
    return true;
}

void AppendCodePoint(UnicodeString& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

Utf16Step DecodeUtf16Step(std::u16string_view text, std::size_t i) noexcept {
    const char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
        return {0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00), 2};
    }
    return {unit, 1};
}

UnicodeString U16(std::string_view utf8) {
    UnicodeString out;
    out.reserve(utf8.size());
    const auto* data = reinterpret_cast<const std::uint8_t*>(utf8.data());
    for (std::size_t i = 0; i < utf8.size();) {
        const Utf8Step step = DecodeUtf8Step(data, utf8.size(), i);
        AppendCodePoint(out, step.codePoint);
        i += step.length;
    }
    return out;
}

namespace {

std::string EncodeUtf8(std::u16string_view text, bool escapedBytes) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const Utf16Step step = DecodeUtf16Step(text, i);
        i += step.length;
        if (escapedBytes && step.codePoint >= 0xDC80 && step.codePoint <= 0xDCFF) {
            out.push_back(static_cast<char>(step.codePoint - 0xDC00));
        } else {
            AppendUtf8(out, IsSurrogate(step.codePoint) ? char32_t{0xFFFD} : step.codePoint);
        }
    }
    return out;
}

} // namespace

std::string ToUtf8(std::u16string_view text) {
    return EncodeUtf8(text, false);
}

UnicodeString FileNameText(std::string_view bytes) {
    UnicodeString out;
    out.reserve(bytes.size());
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    for (std::size_t i = 0; i < bytes.size();) {
        const Utf8Step step = DecodeUtf8Step(data, bytes.size(), i);
        if (step.valid) {
            AppendCodePoint(out, step.codePoint);
        } else {
            // An ill-formed part is made of bytes from 0x80 up, so none is taken for ASCII.
            for (std::size_t k = 0; k < step.length; ++k) {
                out.push_back(static_cast<char16_t>(0xDC00 + data[i + k]));
            }
        }
        i += step.length;
    }
    return out;
}

std::string FileNameBytes(std::u16string_view text) {
    return EncodeUtf8(text, true);
}

char16_t AsciiUpper(char16_t c) {
    return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
}
char16_t AsciiLower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
}

UnicodeString UpperCase(std::u16string_view text) {
    UnicodeString out(text);
    std::transform(out.begin(), out.end(), out.begin(), AsciiUpper);
    return out;
}

UnicodeString LowerCase(std::u16string_view text) {
    UnicodeString out(text);
    std::transform(out.begin(), out.end(), out.begin(), AsciiLower);
    return out;
}

int CompareText(std::u16string_view a, std::u16string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t x = AsciiUpper(a[i]);
        const char16_t y = AsciiUpper(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool SameText(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && CompareText(a, b) == 0;
}

bool StartsText(std::u16string_view prefix, std::u16string_view text) {
    return text.size() >= prefix.size() && SameText(prefix, text.substr(0, prefix.size()));
}

UnicodeString TrimLeft(std::u16string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] <= 0x20) {
        ++i;
    }
    return UnicodeString(text.substr(i));
}

UnicodeString TrimRight(std::u16string_view text) {
    std::size_t n = text.size();
    while (n > 0 && text[n - 1] <= 0x20) {
        --n;
    }
    return UnicodeString(text.substr(0, n));
}

UnicodeString Trim(std::u16string_view text) {
    std::size_t i = 0;
    std::size_t n = text.size();
    while (i < n && text[i] <= 0x20) {
        ++i;
    }
    while (n > i && text[n - 1] <= 0x20) {
        --n;
    }
    return UnicodeString(text.substr(i, n - i));
}

UnicodeString IntToStr(std::int64_t value) {
    // Work on the unsigned magnitude so the most negative value has a text too.
    std::uint64_t magnitude =
        value < 0 ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
    char16_t digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char16_t>(u'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    UnicodeString out;
    if (value < 0) {
        out.push_back(u'-');
    }
    while (n > 0) {
        out.push_back(digits[--n]);
    }
    return out;
}

UnicodeString Format(std::u16string_view pattern, std::initializer_list<FormatArg> args) {
    UnicodeString out;
    auto arg = args.begin();
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char16_t c = pattern[i];
        if (c != u'%' || i + 1 >= pattern.size()) {
            out.push_back(c);
            continue;
        }
        const char16_t spec = pattern[++i];
        if (spec == u'%') {
            out.push_back(u'%');
            continue;
        }
        if (arg == args.end()) {
            out.push_back(u'%');
            out.push_back(spec);
            continue;
        }
        if (const auto* number = std::get_if<std::int64_t>(&*arg)) {
            out += IntToStr(*number);
        } else {
            out += std::get<UnicodeString>(*arg);
        }
        ++arg;
    }
    return out;
}

} // namespace velora
