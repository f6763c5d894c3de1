// The Linux helper programs that tests start on the build machine (the local server, the proxy,
// the CA script). The test program itself is a Linux process or, in the cross build, a Windows
// program under Wine; the helpers and every path handed to them are Linux ones either way.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velora::test {

class ChildProcess {
public:
    // Starts a Linux program; its standard output goes to the file outFile (a Linux path).
    ChildProcess(const std::vector<std::string>& args, const std::string& outFile);
    // Ends the program (SIGTERM) if it still runs, and waits for it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Ended();

private:
    struct Impl;
    std::unique_ptr<Impl> F;
};

// Runs a Linux program to its end; its exit status, or -1.
int RunToEnd(const std::vector<std::string>& args);

// A new empty folder under the temporary folder; its Linux path.
std::string MakeTempDir(const std::string& prefix);

// The path by which this program opens the file at a Linux path.
std::string HostPath(const std::string& linuxPath);

// Whether something accepts connections on the loopback port.
bool Listening(int port);

// A loopback port that nothing listens on at the moment of the call.
int UnusedPort();

// Whether this is a Windows program under Wine, whose WinHTTP differs from Windows' in places.
bool UnderWine();

// A loopback port that takes connections and never reads from them, while the object lives.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int Port() const noexcept { return FPort; }

private:
    std::intptr_t FSocket;
    int FPort = 0;
};

} // namespace velora::test
