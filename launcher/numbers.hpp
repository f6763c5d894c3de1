// How numbers are read from text: the settings value and the version document share one rule.
#pragma once

#include "rtl/ustring.hpp"

#include <cstdint>

namespace velora {

// The integer-text rule: optional leading blanks, one optional sign, decimal or hexadecimal
// ("$", "x", "X" or "0x" marker), nothing after the digits. False when the text is not such a
// number or does not fit 32 bits.
bool TryStrToInt(std::u16string_view text, std::int32_t& value) noexcept;

// As TryStrToInt; EConvertError "'<text>' is not a valid integer value for Integer type".
std::int32_t StrToInt(const UnicodeString& text);

} // namespace velora
