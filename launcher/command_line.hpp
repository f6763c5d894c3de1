// Parameter text to argument list, as a Windows program would split its command line.
#pragma once

#include "rtl/ustring.hpp"

#include <vector>

namespace velora {

// Blanks and tabs separate arguments; double quotes group; 2n backslashes before a quote give n
// backslashes and a grouping quote, 2n+1 give n and a literal quote; inside a group, two quotes
// give one literal quote. Other backslashes are literal.
std::vector<UnicodeString> SplitCommandLine(std::u16string_view parameters);

} // namespace velora
