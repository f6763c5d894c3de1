// UTF-16 text, the text type of the whole program, and the few text helpers shared by all parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velora {

using UnicodeString = std::u16string;
using Bytes = std::vector<std::uint8_t>;

// UTF-8 to UTF-16; malformed input becomes U+FFFD. For literals and platform texts.
UnicodeString U16(std::string_view utf8);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);

// File names on POSIX are bytes, not text. FileNameText decodes valid UTF-8 and keeps every
// other byte b as the lone surrogate U+DC00 + b; FileNameBytes maps such surrogates back to
// their bytes and encodes the rest as UTF-8. Any byte string survives the round trip.
UnicodeString FileNameText(std::string_view bytes);
std::string FileNameBytes(std::u16string_view text);

// One step of UTF-8 decoding at data[i]: a well-formed sequence gives its code point and length;
// malformed input (overlong, surrogate, past U+10FFFF, cut short) gives valid = false and the
// length of its maximal ill-formed part, which a replacing decoder turns into one U+FFFD.
struct Utf8Step {
    char32_t codePoint;
    std::size_t length;
    bool valid;
};
Utf8Step DecodeUtf8Step(const std::uint8_t* data, std::size_t size, std::size_t i) noexcept;
bool IsValidUtf8(std::string_view bytes) noexcept;
void AppendCodePoint(UnicodeString& out, char32_t codePoint);

// One code point of UTF-16 text at text[i]: a surrogate pair, or one unit. An unpaired
// surrogate comes back as itself, for the caller to refuse, replace or keep.
struct Utf16Step {
    char32_t codePoint;
    std::size_t length;
};
Utf16Step DecodeUtf16Step(std::u16string_view text, std::size_t i) noexcept;
inline bool IsSurrogate(char32_t cp) noexcept {
    return cp >= 0xD800 && cp <= 0xDFFF;
}
// The UTF-8 bytes of one code point, appended to a byte container of chars or uint8_ts.
inline std::size_t Utf8Length(char32_t cp) noexcept {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}
template <class Container> void AppendUtf8(Container& out, char32_t cp) {
    using Byte = typename Container::value_type;
    if (cp < 0x80) {
        out.push_back(static_cast<Byte>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<Byte>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<Byte>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<Byte>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<Byte>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<Byte>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<Byte>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<Byte>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<Byte>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<Byte>(0x80 | (cp & 0x3F)));
    }
}

// ASCII-only case mapping: identifiers, header names and schemes are ASCII.
char16_t AsciiUpper(char16_t c);
char16_t AsciiLower(char16_t c);
UnicodeString UpperCase(std::u16string_view text);
UnicodeString LowerCase(std::u16string_view text);
bool SameText(std::u16string_view a, std::u16string_view b);
bool StartsText(std::u16string_view prefix, std::u16string_view text);
// Ordinal comparison ignoring ASCII case: <0, 0, >0.
int CompareText(std::u16string_view a, std::u16string_view b);

// Removes units <= U+0020 from both ends.
UnicodeString Trim(std::u16string_view text);
UnicodeString TrimLeft(std::u16string_view text);
UnicodeString TrimRight(std::u16string_view text);

// Decimal text: optional '-', digits without leading zeros.
UnicodeString IntToStr(std::int64_t value);

// printf-like formatting for messages: %s takes text, %d takes an integer, %% is a percent sign.
using FormatArg = std::variant<std::int64_t, UnicodeString>;
UnicodeString Format(std::u16string_view pattern, std::initializer_list<FormatArg> args);

} // namespace velora
