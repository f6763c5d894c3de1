#include "http/public_suffix.hpp"

#include <algorithm>
#include <string>

namespace velora {
namespace {

#include "public_suffix_rules.inc"

template <std::size_t N> bool Listed(const std::string_view (&list)[N], std::string_view name) {
    return std::binary_search(std::begin(list), std::end(list), name);
}

} // namespace

bool IsPublicSuffixInBuiltList(std::u16string_view domain) {
    if (IsPublicSuffixByForm(domain))
        return true;
    std::string name;
    name.reserve(domain.size());
    for (char16_t c : domain) {
        if (c >= 0x80)
            return false; // not a host name in its IDNA form: no rule names it
        name.push_back(static_cast<char>(c));
    }
    const auto dot = name.find('.');
    // An exception rule makes the name registrable below its parent's wildcard.
    if (Listed(kExceptionRules, name))
        return false;
    // A wildcard rule makes its parent a public suffix too, as libpsl reads the list.
    return Listed(kRules, name) || Listed(kWildcardRules, name) ||
           Listed(kWildcardRules, std::string_view(name).substr(dot + 1));
}

} // namespace velora
