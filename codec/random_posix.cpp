#include "codec/random.hpp"

#include "rtl/exceptions.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/random.h>
#endif

namespace velora {

namespace {

[[noreturn]] void RaiseRandomError(int code) {
    throw Exception(Format(u"Cannot read the system's random source (%d) %s",
                           {std::int64_t{code}, U16(std::strerror(code))}));
}

} // namespace

void GetSystemRandomBytes(void* data, std::size_t size) {
    auto* p = static_cast<std::uint8_t*>(data);
#if defined(__linux__)
    while (size > 0) {
        const ssize_t n = getrandom(p, size, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            RaiseRandomError(errno);
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
#else
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        RaiseRandomError(errno);
    }
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            const int code = n < 0 ? errno : EIO;
            ::close(fd);
            RaiseRandomError(code);
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    ::close(fd);
#endif
}

} // namespace velora
