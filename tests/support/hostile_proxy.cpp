#include "tests/support/hostile_proxy.hpp"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace velora::test {

HostileProxy::HostileProxy(const std::string& answerJson) {
    FDir = MakeTempDir("velora-hostile-proxy");
    FLogFile = FDir + "/requests.jsonl";
    std::ofstream(HostPath(FLogFile), std::ios::binary | std::ios::trunc).flush();
    FPort =
        StartListeningHelper(FProcess,
                             {"/usr/bin/python3", TestServer::SupportDir() + "/hostile_proxy.py",
                              "--answer", answerJson, "--log", FLogFile},
                             FDir + "/stdout");
    if (FPort == 0) {
        std::filesystem::remove_all(HostPath(FDir));
        throw std::runtime_error("hostile proxy did not start");
    }
}

HostileProxy::~HostileProxy() {
    FProcess.reset();
    std::error_code ec;
    std::filesystem::remove_all(HostPath(FDir), ec);
}

std::string HostileProxy::Url() const {
    return "http://127.0.0.1:" + std::to_string(FPort);
}

std::vector<LoggedRequest> HostileProxy::Requests() const {
    return ReadLoggedRequests(FLogFile);
}

} // namespace velora::test
