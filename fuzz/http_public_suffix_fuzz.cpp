// Cookie domains as Set-Cookie brings them, in the form host names take: the list compiled in
// for the Windows build must read the list's text as libpsl does.
#include "http/public_suffix.hpp"
#include "rtl/ustring.hpp"

#include <libpsl.h>

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace velora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The text form, which the Windows build compiles in. (libpsl's compiled form answers a
    // few names under top-level labels that do not exist differently.)
    static psl_ctx_t* const list = psl_load_file(VELORA_PUBLIC_SUFFIX_LIST);
    if (list == nullptr)
        std::abort();
    std::string domain;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        // Lower-case letters, digits, '-' and '.': what an IDNA host name is made of.
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
            return 0;
        domain.push_back(c);
    }
    const UnicodeString text = U16(domain);
    const bool listed =
        IsPublicSuffixByForm(text) || psl_is_public_suffix2(list, domain.c_str(), PSL_TYPE_ANY);
    if (IsPublicSuffixInBuiltList(text) != listed)
        std::abort();
    return 0;
}
