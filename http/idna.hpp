// Host name labels that are not ASCII in their IDNA ("xn--") form, by UTS #46 without the
// transitional mappings (as libidn2 does it): the same on every build as far as the platform
// allows. One file per platform.
#pragma once

#include "rtl/ustring.hpp"

#include <optional>

namespace velora {

// The ASCII form of one label, lower case; none when the label is not a valid name.
std::optional<UnicodeString> IdnaLabel(std::u16string_view label);

} // namespace velora
