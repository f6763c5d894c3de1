#include "launcher/platform_posix.hpp"

#include "launcher/command_line.hpp"
#include "launcher/platform.hpp"
#include "launcher/profile.hpp"
#include "rtl/exceptions.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace velora {

namespace posix {

UnicodeString LocalDataFolder(const char* xdgDataHome, const char* home,
                              const std::function<std::string()>& passwordHome) {
    std::string folder;
    if (xdgDataHome != nullptr && xdgDataHome[0] == '/') {
        folder = xdgDataHome;
    } else {
        std::string base = home != nullptr && home[0] == '/' ? std::string(home) : passwordHome();
        if (base.empty() || base[0] != '/') {
            return UnicodeString();
        }
        while (!base.empty() && base.back() == '/') {
            base.pop_back();
        }
        folder = base + "/.local/share";
    }
    while (!folder.empty() && folder.back() == '/') {
        folder.pop_back();
    }
    return FileNameText(folder);
}

} // namespace posix

namespace {

std::string PasswordDatabaseHome() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr) {
        return std::string();
    }
    return found->pw_dir;
}

// Only a regular file is read: a FIFO, a device or a folder reads as missing, and opening never
// waits for a writer.
std::string ReadWholeFile(const std::string& path, bool& ok) {
    ok = false;
    std::string data;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return data;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return data;
    }
    // The path may have changed between the look and the open.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return data;
    }
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        data.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

// What makes Windows refuse to delete the file: it is a program that runs (open for writing
// fails with ETXTBSY), or another launcher holds it while it writes it.
bool InUse(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ETXTBSY;
    }
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

class TPosixPlatform final : public IPlatform {
public:
    UnicodeString ShellFolderPath(int csidl) override {
        if (csidl != CSIDL_LOCAL_APPDATA) {
            return UnicodeString();
        }
        return posix::LocalDataFolder(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"),
                                      PasswordDatabaseHome);
    }

    char16_t PathDelimiter() const override { return u'/'; }
    bool EndsParentPart(char16_t c) const override { return c == u'/'; }

    bool FolderExists(const UnicodeString& path) override {
        struct stat st {};
        return ::stat(FileNameBytes(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

    bool MakeFolder(const UnicodeString& path) override {
        return ::mkdir(FileNameBytes(path).c_str(), 0777) == 0;
    }

    UnicodeString ReadProfileString(const UnicodeString& section, const UnicodeString& key,
                                    const UnicodeString& defaultValue,
                                    const UnicodeString& fileName) override {
        bool ok = false;
        const std::string bytes = ReadWholeFile(FileNameBytes(fileName), ok);
        if (!ok) {
            return ReadProfileValue(u"", section, key, defaultValue);
        }
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
        return ReadProfileValue(DecodeProfileText({data, bytes.size()}), section, key,
                                defaultValue);
    }

    // Nothing is cached between reads here.
    void FlushProfile(const UnicodeString&) override {}

    bool RemoveFile(const UnicodeString& path) override {
        const std::string name = FileNameBytes(path);
        // unlink would take a running or held file away from under its user.
        if (InUse(name)) {
            return false;
        }
        return ::unlink(name.c_str()) == 0;
    }

    std::unique_ptr<TStream> CreateFileStream(const UnicodeString& path) override {
        // A new file only: no link planted at the path is followed, and no file that appeared
        // there after the delete is reused. Its lock tells other launchers it is in use (InUse).
        return TFileStream::CreateNew(path);
    }

    bool RenameFile(const UnicodeString& from, const UnicodeString& to) override {
        const std::string source = FileNameBytes(from);
        const std::string target = FileNameBytes(to);
        if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) ==
            0) {
            return true;
        }
        if (errno != EINVAL && errno != ENOSYS) {
            return false;
        }
        // A file system without RENAME_NOREPLACE: a link fails on anything at the target.
        if (::link(source.c_str(), target.c_str()) != 0) {
            return false;
        }
        ::unlink(source.c_str());
        return true;
    }

    void ShowInformationMessage(const UnicodeString& text) override {
        posix::ShowGtkInformationMessage(text);
    }

    void RunWithDownloadProgress(const std::function<void(IDownloadProgress&)>& download) override {
        posix::RunGtkDownloadProgress(download);
    }

    bool StartProgram(const UnicodeString& file, const UnicodeString& parameters) override {
        if (file.empty()) {
            return false;
        }
        std::vector<std::string> args;
        args.push_back(FileNameBytes(file));
        for (const UnicodeString& arg : SplitCommandLine(parameters)) {
            args.push_back(FileNameBytes(arg));
        }
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);

        // Libraries open descriptors without close-on-exec (libcurl's sockets among them):
        // the program gets the standard three and nothing else of ours.
        posix_spawn_file_actions_t actions;
        if (::posix_spawn_file_actions_init(&actions) != 0) {
            return false;
        }
        posix_spawnattr_t attr;
        if (::posix_spawnattr_init(&attr) != 0) {
            ::posix_spawn_file_actions_destroy(&actions);
            return false;
        }
        int rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        // Own session, so the program outlives us and our terminal; the signals we ignore and
        // our signal mask are not its business.
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGXFSZ);
        sigset_t none;
        sigemptyset(&none);
        ::posix_spawnattr_setsigdefault(&attr, &defaults);
        ::posix_spawnattr_setsigmask(&attr, &none);
        ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETSIGMASK);
        pid_t pid = -1;
        if (rc == 0) {
            // Reports a program the system refuses to run (glibc waits for the exec).
            rc = ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
        }
        ::posix_spawnattr_destroy(&attr);
        ::posix_spawn_file_actions_destroy(&actions);
        return rc == 0;
    }
};

} // namespace

std::unique_ptr<IPlatform> CreatePlatform() {
    return std::make_unique<TPosixPlatform>();
}

} // namespace velora
