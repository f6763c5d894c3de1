// Preloaded into velora-sign by its tests: closing a regular file opened for writing closes it
// but reports EIO, as a network or full file system can at close.
#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

extern "C" int close(int fd) {
    using Close = int (*)(int);
    const auto next = reinterpret_cast<Close>(::dlsym(RTLD_NEXT, "close"));
    struct stat st {};
    const int flags = ::fcntl(fd, F_GETFL);
    const bool fail = flags >= 0 && (flags & O_ACCMODE) == O_WRONLY && ::fstat(fd, &st) == 0 &&
                      S_ISREG(st.st_mode);
    const int result = next(fd);
    if (result == 0 && fail) {
        errno = EIO;
        return -1;
    }
    return result;
}
