#include "launcher/numbers.hpp"

#include "rtl/exceptions.hpp"

namespace velora {

namespace {

int HexDigit(char16_t c) noexcept {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    return -1;
}

} // namespace

bool TryStrToInt(std::u16string_view text, std::int32_t& value) noexcept {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && text[i] == u' ') {
        ++i;
    }
    bool negative = false;
    if (i < n && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    bool hex = false;
    if (i < n && (text[i] == u'$' || text[i] == u'x' || text[i] == u'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        hex = true;
        i += 2;
    }
    // Empty text, blanks only, a lone sign and a lone marker all end here.
    if (i >= n) {
        return false;
    }

    std::uint32_t magnitude = 0;
    if (hex) {
        for (; i < n; ++i) {
            const int digit = HexDigit(text[i]);
            if (digit < 0 || magnitude > 0x0FFFFFFFu) {
                return false;
            }
            magnitude = magnitude * 16 + static_cast<std::uint32_t>(digit);
        }
        // Eight hex digits are a 32-bit pattern, read as two's complement.
        const std::uint32_t bits = negative ? 0u - magnitude : magnitude;
        value = static_cast<std::int32_t>(bits);
        return true;
    }

    for (; i < n; ++i) {
        const char16_t c = text[i];
        if (c < u'0' || c > u'9' || magnitude > 214748364u) {
            return false;
        }
        magnitude = magnitude * 10 + static_cast<std::uint32_t>(c - u'0');
    }
    if (negative) {
        if (magnitude > 2147483648u) {
            return false;
        }
        value = static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude));
    } else {
        if (magnitude > 2147483647u) {
            return false;
        }
        value = static_cast<std::int32_t>(magnitude);
    }
    return true;
}

std::int32_t StrToInt(const UnicodeString& text) {
    std::int32_t value = 0;
    if (!TryStrToInt(text, value)) {
        throw EConvertError(Format(u"'%s' is not a valid integer value for %s type",
                                   {text, UnicodeString(u"Integer")}));
    }
    return value;
}

} // namespace velora
