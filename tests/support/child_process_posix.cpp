#include "tests/support/child_process.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velora::test {
namespace {

std::vector<char*> Argv(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

void Reap(pid_t pid) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

struct ChildProcess::Impl {
    pid_t pid = -1;
    bool ended = false;
};

ChildProcess::ChildProcess(const std::vector<std::string>& args, const std::string& outFile)
    : F(std::make_unique<Impl>()) {
    const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0)
        throw std::runtime_error("cannot create " + outFile);
    auto argv = Argv(args);
    const pid_t parent = getpid();
    F->pid = fork();
    if (F->pid == 0) {
        // A helper must not outlive a test program that dies without running destructors.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
        dup2(out, STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out);
    if (F->pid < 0)
        throw std::runtime_error("fork failed");
}

ChildProcess::~ChildProcess() {
    if (!F->ended) {
        kill(F->pid, SIGTERM);
        Reap(F->pid);
    }
}

bool ChildProcess::Ended() {
    if (!F->ended && waitpid(F->pid, nullptr, WNOHANG) == F->pid)
        F->ended = true;
    return F->ended;
}

int RunToEnd(const std::vector<std::string>& args) {
    auto argv = Argv(args);
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string MakeTempDir(const std::string& prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

std::string HostPath(const std::string& linuxPath) {
    return linuxPath;
}

bool Listening(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(s);
    return ok;
}

int UnusedPort() {
    // Nobody connects to it, so the port is free again once it closes.
    return SilentListener().Port();
}

bool UnderWine() {
    return false;
}

SilentListener::SilentListener() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 4) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(s);
        throw std::runtime_error("cannot listen");
    }
    FSocket = static_cast<std::intptr_t>(s);
    FPort = ntohs(addr.sin_port);
}

SilentListener::~SilentListener() {
    close(static_cast<int>(FSocket));
}

} // namespace velora::test
