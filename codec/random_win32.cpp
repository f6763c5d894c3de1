#include "codec/random.hpp"

#include "rtl/exceptions.hpp"

#include <windows.h>

#include <bcrypt.h>
#include <climits>
#include <cstdint>

namespace velora {

void GetSystemRandomBytes(void* data, std::size_t size) {
    auto* p = static_cast<PUCHAR>(data);
    while (size > 0) {
        const ULONG chunk = size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size);
        const NTSTATUS status = BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (status < 0) {
            throw Exception(Format(u"Cannot read the system's random source (%d) %s",
                                   {std::int64_t{status}, UnicodeString(u"BCryptGenRandom")}));
        }
        p += chunk;
        size -= chunk;
    }
}

} // namespace velora
