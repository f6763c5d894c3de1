#include "http/public_suffix.hpp"

#include "rtl/ustring.hpp"

#include <libpsl.h>

namespace velora {

bool IsPublicSuffix(std::u16string_view domain) {
    // The newer of libpsl's own list and the system's, read once.
    static const psl_ctx_t* const list = psl_latest(nullptr);
    if (IsPublicSuffixByForm(domain))
        return true;
    if (list == nullptr)
        return false;
    return psl_is_public_suffix2(list, ToUtf8(domain).c_str(), PSL_TYPE_ANY) != 0;
}

} // namespace velora
