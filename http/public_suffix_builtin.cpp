#include "http/public_suffix.hpp"

namespace velora {

// No system copy of the list to rely on here: the one compiled in answers.
bool IsPublicSuffix(std::u16string_view domain) {
    return IsPublicSuffixInBuiltList(domain);
}

} // namespace velora
