// Settings files in the profile format ("[section]" lines, then "key=value" lines).
#pragma once

#include "launcher/platform.hpp"

#include <cstdint>
#include <span>

namespace velora {

// The file's text: UTF-16LE or UTF-16BE or UTF-8 after a byte-order mark; without a mark UTF-8,
// with each byte that is not part of valid UTF-8 read as Windows-1252.
UnicodeString DecodeProfileText(std::span<const std::uint8_t> bytes);

// One value as the platform reader returns it into a buffer of bufferUnits units: section and
// key matched ignoring case, the first matching section and key win, blanks around the value
// trimmed, one pair of enclosing double or single quotes removed, cut to bufferUnits - 1 units.
// The default when the section or key is missing or the key has no "=".
UnicodeString ReadProfileValue(std::u16string_view text, std::u16string_view section,
                               std::u16string_view key, std::u16string_view defaultValue,
                               std::size_t bufferUnits = 2048);

// The settings reader: reads through the platform, holds no file open.
class TIniFile {
public:
    TIniFile(IPlatform& platform, UnicodeString fileName);
    ~TIniFile();
    TIniFile(const TIniFile&) = delete;
    TIniFile& operator=(const TIniFile&) = delete;

    UnicodeString ReadString(const UnicodeString& section, const UnicodeString& key,
                             const UnicodeString& defaultValue);
    // The integer-text rule on the value; the default when it does not apply.
    std::int32_t ReadInteger(const UnicodeString& section, const UnicodeString& key,
                             std::int32_t defaultValue);

private:
    IPlatform& FPlatform;
    UnicodeString FFileName;
};

} // namespace velora
