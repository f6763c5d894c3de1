#include "rtl/ustring.hpp"

#include <algorithm>

namespace velora {

namespace {

void AppendUtf16(UnicodeString& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

} // namespace

UnicodeString U16(std::string_view utf8) {
    UnicodeString out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t n = utf8.size();
    while (i < n) {
        const unsigned char b = s[i];
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        int extra = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if ((b & 0xE0) == 0xC0) {
            extra = 1, cp = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, cp = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, cp = b & 0x07, min = 0x10000;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        int k = 0;
        for (; k < extra && j < n && (s[j] & 0xC0) == 0x80; ++k, ++j) {
            cp = (cp << 6) | (s[j] & 0x3F);
        }
        if (k < extra || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(0xFFFD);
            i = (k < extra) ? j : i + 1 + static_cast<std::size_t>(extra);
            continue;
        }
        AppendUtf16(out, cp);
        i = j;
    }
    return out;
}

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
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
