// The integer-text rule against a slow reference that works on wide integers: both must accept
// the same texts and give the same values.
#include "launcher/numbers.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>

namespace {

using velora::UnicodeString;

std::optional<std::int32_t> Reference(const UnicodeString& s) {
    std::size_t i = s.find_first_not_of(u' ');
    if (i == UnicodeString::npos) {
        return std::nullopt;
    }
    bool negative = false;
    if (s[i] == u'+' || s[i] == u'-') {
        negative = s[i] == u'-';
        ++i;
    }
    unsigned base = 10;
    if (s.compare(i, 2, u"0x") == 0 || s.compare(i, 2, u"0X") == 0) {
        base = 16;
        i += 2;
    } else if (i < s.size() && (s[i] == u'$' || s[i] == u'x' || s[i] == u'X')) {
        base = 16;
        i += 1;
    }
    if (i >= s.size()) {
        return std::nullopt;
    }
    // Leading zeros cost nothing; more significant digits than fit fail.
    std::size_t significant = 0;
    unsigned __int128 value = 0;
    for (; i < s.size(); ++i) {
        const char16_t c = s[i];
        unsigned digit = 0;
        if (c >= u'0' && c <= u'9') {
            digit = c - u'0';
        } else if (base == 16 && c >= u'a' && c <= u'f') {
            digit = c - u'a' + 10;
        } else if (base == 16 && c >= u'A' && c <= u'F') {
            digit = c - u'A' + 10;
        } else {
            return std::nullopt;
        }
        if (value != 0 || digit != 0) {
            ++significant;
        }
        if (significant > 20) {
            return std::nullopt;
        }
        value = value * base + digit;
    }
    if (base == 16) {
        if (value > 0xFFFFFFFFu) {
            return std::nullopt;
        }
        std::uint32_t bits = static_cast<std::uint32_t>(value);
        if (negative) {
            bits = 0u - bits;
        }
        return static_cast<std::int32_t>(bits);
    }
    if (value > (negative ? 2147483648u : 2147483647u)) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(value)
                                              : static_cast<std::int64_t>(value));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One byte per unit keeps the interesting alphabet dense; a 0xFF byte widens the next two
    // bytes into one unit so that other characters still occur.
    UnicodeString text;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && i + 2 < size) {
            text.push_back(static_cast<char16_t>(data[i + 1] | (data[i + 2] << 8)));
            i += 2;
        } else {
            text.push_back(static_cast<char16_t>(data[i]));
        }
    }
    std::int32_t value = 0;
    const bool ok = velora::TryStrToInt(text, value);
    const std::optional<std::int32_t> expected = Reference(text);
    if (ok != expected.has_value() || (ok && value != *expected)) {
        std::abort();
    }
    return 0;
}
