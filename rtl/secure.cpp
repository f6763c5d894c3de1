#include "rtl/secure.hpp"

#include <cstring>

namespace velora {

void SecureZero(void* data, std::size_t size) noexcept {
    if (data == nullptr || size == 0) {
        return;
    }
#if defined(__GNUC__) || defined(__clang__)
    std::memset(data, 0, size);
    // The barrier claims to read the memory, so the stores above cannot be dropped as dead.
    __asm__ __volatile__("" : : "r"(data) : "memory");
#else
    auto* p = static_cast<volatile unsigned char*>(data);
    while (size-- != 0) {
        *p++ = 0;
    }
#endif
}

} // namespace velora
