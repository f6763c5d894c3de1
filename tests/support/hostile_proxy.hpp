// A proxy on a loopback port that answers CONNECT as the test tells it (hostile_proxy.py), for
// as long as the object lives, and records every request it receives.
#pragma once

#include "tests/support/child_process.hpp"
#include "tests/support/test_server.hpp"

#include <memory>
#include <string>
#include <vector>

namespace velora::test {

class HostileProxy {
public:
    // answerJson: what hostile_proxy.py answers (see there).
    explicit HostileProxy(const std::string& answerJson);
    ~HostileProxy();
    HostileProxy(const HostileProxy&) = delete;
    HostileProxy& operator=(const HostileProxy&) = delete;

    int Port() const noexcept { return FPort; }
    // "http://127.0.0.1:<port>"
    std::string Url() const;
    std::vector<LoggedRequest> Requests() const;

private:
    std::string FDir;
    std::string FLogFile;
    std::unique_ptr<ChildProcess> FProcess;
    int FPort = 0;
};

} // namespace velora::test
