#include "rtl/codepages.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/streams.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace velora {

struct TFileStream::Handle {
    int fd = -1;
    ~Handle() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

namespace {
UnicodeString ErrnoText(int error) {
    return U16(std::strerror(error));
}
} // namespace

TFileStream::TFileStream(UnicodeString fileName, std::unique_ptr<Handle> handle)
    : FFileName(std::move(fileName)), FHandle(std::move(handle)) {}

TFileStream::~TFileStream() = default;

std::unique_ptr<TFileStream> TFileStream::Create(const UnicodeString& fileName) {
    auto handle = std::make_unique<Handle>();
    // Executable bits so a downloaded program can be started; the umask still applies.
    handle->fd = ::open(FileNameBytes(fileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0777);
    int error = errno;
    // No sharing: a file another process holds is not replaced, and is emptied only once ours.
    if (handle->fd >= 0 && ::flock(handle->fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        handle.reset();
    } else if (handle->fd >= 0 && ::ftruncate(handle->fd, 0) != 0) {
        error = errno;
        handle.reset();
    }
    if (!handle || handle->fd < 0) {
        throw EFCreateError(Format(u"Cannot create file \"%s\". %s", {fileName, ErrnoText(error)}));
    }
    return std::unique_ptr<TFileStream>(new TFileStream(fileName, std::move(handle)));
}

std::unique_ptr<TFileStream> TFileStream::CreateNew(const UnicodeString& fileName) {
    auto handle = std::make_unique<Handle>();
    handle->fd = ::open(FileNameBytes(fileName).c_str(),
                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0777);
    int error = errno;
    // Held while it is written, so that another process that honours the lock leaves it alone.
    if (handle->fd >= 0 && ::flock(handle->fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        handle.reset();
    }
    if (!handle || handle->fd < 0) {
        throw EFCreateError(Format(u"Cannot create file \"%s\". %s", {fileName, ErrnoText(error)}));
    }
    return std::unique_ptr<TFileStream>(new TFileStream(fileName, std::move(handle)));
}

std::unique_ptr<TFileStream> TFileStream::CreateBeside(const UnicodeString& target) {
    static std::atomic<unsigned> counter{0};
    auto handle = std::make_unique<Handle>();
    UnicodeString name;
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        const auto tag = static_cast<unsigned long>(now.tv_nsec) ^
                         (static_cast<unsigned long>(::getpid()) << 20) ^ (counter++ * 0x9E3779B9u);
        char suffix[32];
        std::snprintf(suffix, sizeof(suffix), ".%08lx.tmp", tag & 0xFFFFFFFFu);
        name = target + U16(suffix);
        handle->fd = ::open(FileNameBytes(name).c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        error = handle->fd >= 0 ? 0 : errno;
    }
    if (handle->fd < 0) {
        throw EFCreateError(Format(u"Cannot create file \"%s\". %s", {target, ErrnoText(error)}));
    }
    return std::unique_ptr<TFileStream>(new TFileStream(name, std::move(handle)));
}

bool TFileStream::IsFile(const UnicodeString& path) const {
    struct stat own {};
    if (::fstat(FHandle->fd, &own) != 0) {
        return false;
    }
    const std::string bytes = FileNameBytes(path);
    struct stat other {};
    auto same = [&own, &other] { return own.st_dev == other.st_dev && own.st_ino == other.st_ino; };
    return (::lstat(bytes.c_str(), &other) == 0 && same()) ||
           (::stat(bytes.c_str(), &other) == 0 && same());
}

void TFileStream::FlushToDisk() {
    if (::fsync(FHandle->fd) != 0) {
        throw EWriteError(Format(u"Cannot write file \"%s\". %s", {FFileName, ErrnoText(errno)}));
    }
}

UnicodeString RenameOverFile(const UnicodeString& from, const UnicodeString& to) {
    if (::rename(FileNameBytes(from).c_str(), FileNameBytes(to).c_str()) != 0) {
        return ErrnoText(errno);
    }
    return {};
}

void RemoveFileQuietly(const UnicodeString& fileName) noexcept {
    try {
        ::unlink(FileNameBytes(fileName).c_str());
    } catch (...) {
    }
}

std::unique_ptr<TFileStream> TFileStream::OpenRead(const UnicodeString& fileName) {
    auto handle = std::make_unique<Handle>();
    handle->fd = ::open(FileNameBytes(fileName).c_str(), O_RDONLY | O_CLOEXEC);
    if (handle->fd < 0) {
        throw EFOpenError(Format(u"Cannot open file \"%s\". %s", {fileName, ErrnoText(errno)}));
    }
    return std::unique_ptr<TFileStream>(new TFileStream(fileName, std::move(handle)));
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
    for (;;) {
        const ssize_t n = ::read(FHandle->fd, buffer, static_cast<std::size_t>(count));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 ? 0 : n;
    }
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
    for (;;) {
        const ssize_t n = ::write(FHandle->fd, buffer, static_cast<std::size_t>(count));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 ? 0 : n;
    }
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                       : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                          : SEEK_END;
    const off_t pos = ::lseek(FHandle->fd, static_cast<off_t>(offset), whence);
    return pos < 0 ? -1 : static_cast<std::int64_t>(pos);
}

void TFileStream::SetSize(std::int64_t newSize) {
    if (::ftruncate(FHandle->fd, static_cast<off_t>(newSize)) != 0) {
        throw EStreamError(u"Stream write error");
    }
}

void TFileStream::Flush() {
    if (FHandle->fd >= 0 && ::fsync(FHandle->fd) != 0) {
        throw EWriteError(Format(u"Cannot flush file \"%s\". %s", {FFileName, ErrnoText(errno)}));
    }
}

void TFileStream::Close() {
    const int fd = std::exchange(FHandle->fd, -1);
    // Even an interrupted close may have lost data.
    if (fd >= 0 && ::close(fd) != 0) {
        throw EWriteError(Format(u"Cannot close file \"%s\". %s", {FFileName, ErrnoText(errno)}));
    }
}

} // namespace velora

namespace velora {
int SystemAnsiCodePage() {
    return 1252;
}
} // namespace velora
