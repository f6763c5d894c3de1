#include "http/idna.hpp"

#include "rtl/win32.hpp"

#include <string>
#include <vector>

namespace velora {
namespace {

// Punycode (RFC 3492) of a label's code points.
std::string Punycode(const std::u32string& input) {
    constexpr std::uint32_t kBase = 36, kTMin = 1, kTMax = 26, kSkew = 38, kDamp = 700;
    auto digit = [](std::uint32_t d) { return static_cast<char>(d < 26 ? 'a' + d : '0' + d - 26); };
    auto adapt = [&](std::uint32_t delta, std::uint32_t points, bool first) {
        delta = first ? delta / kDamp : delta / 2;
        delta += delta / points;
        std::uint32_t k = 0;
        while (delta > ((kBase - kTMin) * kTMax) / 2) {
            delta /= kBase - kTMin;
            k += kBase;
        }
        return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
    };
    std::string out;
    for (char32_t c : input)
        if (c < 0x80)
            out.push_back(static_cast<char>(c));
    const auto basic = static_cast<std::uint32_t>(out.size());
    if (basic > 0)
        out.push_back('-');
    std::uint32_t n = 0x80, delta = 0, bias = 72, handled = basic;
    while (handled < input.size()) {
        std::uint32_t next = 0x10FFFF + 1;
        for (char32_t c : input)
            if (c >= n && c < next)
                next = c;
        delta += (next - n) * (handled + 1);
        n = next;
        for (char32_t c : input) {
            if (c < n)
                ++delta;
            if (c != n)
                continue;
            std::uint32_t q = delta;
            for (std::uint32_t k = kBase;; k += kBase) {
                const std::uint32_t t = k <= bias ? kTMin : k >= bias + kTMax ? kTMax : k - bias;
                if (q < t)
                    break;
                out.push_back(digit(t + (q - t) % (kBase - t)));
                q = (q - t) / (kBase - t);
            }
            out.push_back(digit(q));
            bias = adapt(delta, handled + 1, handled == basic);
            delta = 0;
            ++handled;
        }
        ++delta;
        ++n;
    }
    return out;
}

UnicodeString Lower(const UnicodeString& text) {
    const int size =
        ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, win32::W(text),
                        static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr, 0);
    if (size <= 0)
        return {};
    std::vector<wchar_t> out(static_cast<std::size_t>(size));
    ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, win32::W(text),
                    static_cast<int>(text.size()), out.data(), size, nullptr, nullptr, 0);
    return win32::FromW(out.data(), out.size());
}

UnicodeString CompatibilityFolded(const UnicodeString& text) {
    int size = ::NormalizeString(NormalizationKC, win32::W(text), static_cast<int>(text.size()),
                                 nullptr, 0);
    for (int attempt = 0; size > 0 && attempt < 4; ++attempt) {
        std::vector<wchar_t> out(static_cast<std::size_t>(size));
        const int length = ::NormalizeString(NormalizationKC, win32::W(text),
                                             static_cast<int>(text.size()), out.data(), size);
        if (length > 0)
            return win32::FromW(out.data(), static_cast<std::size_t>(length));
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;
        size = -length;
    }
    return {};
}

} // namespace

// Windows' own conversion is transitional (ß becomes ss, ς becomes σ). So the label is mapped
// here as UTS #46 maps it, lower case and compatibility forms folded while those letters stay,
// checked by the platform's conversion, and then put in punycode by this file.
std::optional<UnicodeString> IdnaLabel(std::u16string_view label) {
    UnicodeString source;
    for (char16_t c : label) {
        // Capital sharp s maps to "ss" (only the small one is kept), as case folding has it.
        if (c == u'\u1e9e')
            source += u"ss";
        else
            source.push_back(c);
    }
    const UnicodeString mapped = Lower(CompatibilityFolded(Lower(source)));
    if (mapped.empty() || mapped.find(u'.') != UnicodeString::npos ||
        mapped.find(u'\0') != UnicodeString::npos)
        return std::nullopt;
    wchar_t checked[256];
    if (::IdnToAscii(0, win32::W(mapped), static_cast<int>(mapped.size()), checked, 256) <= 0)
        return std::nullopt;
    std::u32string points;
    bool ascii = true;
    for (std::size_t i = 0; i < mapped.size(); ++i) {
        char32_t c = mapped[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < mapped.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (mapped[i + 1] - 0xDC00);
            ++i;
        }
        ascii = ascii && c < 0x80;
        points.push_back(c);
    }
    if (ascii)
        return mapped;
    const std::string encoded = "xn--" + Punycode(points);
    if (encoded.size() > 63)
        return std::nullopt;
    return U16(encoded);
}

} // namespace velora
