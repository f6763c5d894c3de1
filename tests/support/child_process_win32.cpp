// Under Wine a Windows program can start a Linux program, but gets no handle to it: the helper
// runs under run_child.sh, and the two sides talk through files beside its output.
#include "tests/support/child_process.hpp"

#include <winsock2.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

namespace velora::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::wstring Widen(const std::string& s) {
    std::wstring w(s.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(),
                                      static_cast<int>(w.size()));
    w.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return w;
}

// One argument as the command-line splitter reads it back.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!line.empty())
        line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    std::size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
        } else if (c == L'"') {
            line.append(slashes + 1, L'\\');
            slashes = 0;
        } else {
            slashes = 0;
        }
        line += c;
    }
    line.append(slashes, L'\\');
    line += L'"';
}

// The Linux process id of this Wine process: /proc/self is resolved for the opener.
std::string UnixPid() {
    std::ifstream stat("Z:/proc/self/stat");
    std::string pid;
    stat >> pid;
    if (pid.empty())
        throw std::runtime_error("no /proc/self: not running under Wine");
    return pid;
}

std::string SupportDir() {
    return VELORA_TEST_SUPPORT_DIR;
}

void Touch(const std::string& linuxPath) {
    std::ofstream(HostPath(linuxPath), std::ios::binary | std::ios::trunc);
}

struct WinsockSession {
    WinsockSession() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};

SOCKET LoopbackSocket() {
    static WinsockSession session;
    return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

} // namespace

struct ChildProcess::Impl {
    std::string out;
    bool ended = false;
};

ChildProcess::ChildProcess(const std::vector<std::string>& args, const std::string& outFile)
    : F(std::make_unique<Impl>()) {
    F->out = outFile;
    std::error_code ec;
    fs::remove(HostPath(outFile + ".ended"), ec);
    Touch(outFile + ".keep");
    std::wstring line;
    for (const auto& a :
         std::vector<std::string>{"/bin/sh", SupportDir() + "/run_child.sh", UnixPid(), outFile})
        AppendQuoted(line, Widen(a));
    for (const auto& a : args)
        AppendQuoted(line, Widen(a));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi))
        throw std::runtime_error("cannot start " + args.front());
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    if (pi.hThread)
        CloseHandle(pi.hThread);
}

ChildProcess::~ChildProcess() {
    std::error_code ec;
    fs::remove(HostPath(F->out + ".keep"), ec);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!Ended() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    for (const char* suffix : {".ended", ".keep"})
        fs::remove(HostPath(F->out + suffix), ec);
}

bool ChildProcess::Ended() {
    if (!F->ended)
        F->ended = fs::exists(HostPath(F->out + ".ended"));
    return F->ended;
}

int RunToEnd(const std::vector<std::string>& args) {
    const std::string dir = MakeTempDir("velora-run");
    const std::string out = dir + "/out";
    int status = -1;
    {
        ChildProcess child(args, out);
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        while (!child.Ended() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        std::ifstream(HostPath(out + ".ended")) >> status;
    }
    std::error_code ec;
    fs::remove_all(HostPath(dir), ec);
    return status;
}

std::string MakeTempDir(const std::string& prefix) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = "/tmp/" + prefix + "-" + std::to_string(random());
        if (fs::create_directory(HostPath(path)))
            return path;
    }
    throw std::runtime_error("cannot make a temporary folder");
}

std::string HostPath(const std::string& linuxPath) {
    return "Z:" + linuxPath;
}

bool Listening(int port) {
    const SOCKET s = LoopbackSocket();
    if (s == INVALID_SOCKET)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<u_short>(port));
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    closesocket(s);
    return ok;
}

int UnusedPort() {
    // Nobody connects to it, so the port is free again once it closes.
    return SilentListener().Port();
}

bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

SilentListener::SilentListener() {
    const SOCKET s = LoopbackSocket();
    if (s == INVALID_SOCKET)
        throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 4) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        closesocket(s);
        throw std::runtime_error("cannot listen");
    }
    FSocket = static_cast<std::intptr_t>(s);
    FPort = ntohs(addr.sin_port);
}

SilentListener::~SilentListener() {
    closesocket(static_cast<SOCKET>(FSocket));
}

} // namespace velora::test
