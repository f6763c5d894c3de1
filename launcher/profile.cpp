#include "launcher/profile.hpp"

#include "launcher/numbers.hpp"
#include "rtl/encoding.hpp"

namespace velora {

namespace {

UnicodeString DecodeUtf16(std::span<const std::uint8_t> s, bool bigEndian) {
    UnicodeString out;
    out.reserve(s.size() / 2);
    for (std::size_t p = 0; p + 1 < s.size(); p += 2) {
        const unsigned hi = bigEndian ? s[p] : s[p + 1];
        const unsigned lo = bigEndian ? s[p + 1] : s[p];
        out.push_back(static_cast<char16_t>((hi << 8) | lo));
    }
    return out;
}

UnicodeString DecodeUtf8WithFallback(std::span<const std::uint8_t> s) {
    const TEncoding& ansi = TEncoding::ANSI();
    UnicodeString out;
    out.reserve(s.size());
    for (std::size_t p = 0; p < s.size();) {
        const Utf8Step step = DecodeUtf8Step(s.data(), s.size(), p);
        if (step.valid) {
            AppendCodePoint(out, step.codePoint);
            p += step.length;
        } else {
            out += ansi.GetString(&s[p], 1); // one byte at a time, as the platform reader would
            ++p;
        }
    }
    return out;
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\v' || c == u'\f' || c == 0x1A;
}

std::u16string_view TrimBlanks(std::u16string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

UnicodeString ToBuffer(std::u16string_view value, std::size_t bufferUnits) {
    // The platform hands the value over as NUL-terminated text.
    value = value.substr(0, value.find(u'\0'));
    if (bufferUnits == 0) {
        return UnicodeString();
    }
    return UnicodeString(value.substr(0, bufferUnits - 1));
}

} // namespace

UnicodeString DecodeProfileText(std::span<const std::uint8_t> bytes) {
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        return DecodeUtf16(bytes.subspan(2), false);
    }
    if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        return DecodeUtf16(bytes.subspan(2), true);
    }
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        return DecodeUtf8WithFallback(bytes.subspan(3));
    }
    return DecodeUtf8WithFallback(bytes);
}

UnicodeString ReadProfileValue(std::u16string_view text, std::u16string_view section,
                               std::u16string_view key, std::u16string_view defaultValue,
                               std::size_t bufferUnits) {
    bool inSection = false;
    bool sectionSeen = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of(u"\r\n", pos);
        if (end == std::u16string_view::npos) {
            end = text.size();
        }
        const std::u16string_view line = TrimBlanks(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == u';') {
            continue;
        }
        if (line.front() == u'[') {
            const std::size_t close = line.rfind(u']');
            if (close != std::u16string_view::npos) {
                // Only the first section of that name is searched.
                if (sectionSeen) {
                    break;
                }
                inSection = SameText(TrimBlanks(line.substr(1, close - 1)), section);
                sectionSeen = inSection;
                continue;
            }
        }
        if (!inSection) {
            continue;
        }
        const std::size_t equals = line.find(u'=');
        const std::u16string_view name = TrimBlanks(line.substr(0, equals));
        if (!SameText(name, key)) {
            continue;
        }
        if (equals == std::u16string_view::npos) {
            break;
        }
        std::u16string_view value = TrimBlanks(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return ToBuffer(value, bufferUnits);
    }
    return ToBuffer(defaultValue, bufferUnits);
}

TIniFile::TIniFile(IPlatform& platform, UnicodeString fileName)
    : FPlatform(platform), FFileName(std::move(fileName)) {}

TIniFile::~TIniFile() {
    FPlatform.FlushProfile(FFileName);
}

UnicodeString TIniFile::ReadString(const UnicodeString& section, const UnicodeString& key,
                                   const UnicodeString& defaultValue) {
    return FPlatform.ReadProfileString(section, key, defaultValue, FFileName);
}

std::int32_t TIniFile::ReadInteger(const UnicodeString& section, const UnicodeString& key,
                                   std::int32_t defaultValue) {
    std::int32_t value = 0;
    return TryStrToInt(ReadString(section, key, UnicodeString()), value) ? value : defaultValue;
}

} // namespace velora
