#include "http/idna.hpp"

#include <idn2.h>

namespace velora {

std::optional<UnicodeString> IdnaLabel(std::u16string_view label) {
    // libidn2 takes a C string: a NUL would cut the label short.
    if (label.empty() || label.find(u'\0') != std::u16string_view::npos)
        return std::nullopt;
    char* converted = nullptr;
    const int rc =
        idn2_to_ascii_8z(ToUtf8(label).c_str(), &converted, IDN2_NONTRANSITIONAL | IDN2_NFC_INPUT);
    if (rc != IDN2_OK || converted == nullptr) {
        idn2_free(converted);
        return std::nullopt;
    }
    UnicodeString out = LowerCase(U16(converted));
    idn2_free(converted);
    if (out.empty())
        return std::nullopt;
    return out;
}

} // namespace velora
