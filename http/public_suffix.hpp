// The maintained Public Suffix List: the domains under which anyone may register names (com,
// co.uk, github.io), so that no cookie may claim one of them for its domain.
#pragma once

#include <string_view>

namespace velora {

// Whether domain (lower case, labels in their IDNA form) is a public suffix, counting the
// list's private section too. A single label is one whether or not the list names it, and so
// is a name with an empty label (a leading, trailing or doubled dot): a cookie must not slip
// past the list by its spelling. libpsl with the system's list on Linux; the compiled-in list
// on Windows.
bool IsPublicSuffix(std::u16string_view domain);

// The same answer from the list compiled into the program at build time (the Windows build's
// own; built elsewhere to check the two against each other).
bool IsPublicSuffixInBuiltList(std::u16string_view domain);

// A single label, or an empty one somewhere: a public suffix whatever the list says.
inline bool IsPublicSuffixByForm(std::u16string_view domain) {
    return domain.find(u'.') == std::u16string_view::npos || domain.starts_with(u'.') ||
           domain.ends_with(u'.') || domain.find(u"..") != std::u16string_view::npos;
}

} // namespace velora
