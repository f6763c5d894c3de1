#include "tests/support/hostile_proxy.hpp"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace velora::test {

HostileProxy::HostileProxy(const std::string& answerJson) {
    FDir = MakeTempDir("velora-hostile-proxy");
    FLogFile = FDir + "/requests.jsonl";
    std::ofstream(HostPath(FLogFile), std::ios::binary | std::ios::trunc).flush();
    const std::string out = FDir + "/stdout";
    FProcess = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/python3", TestServer::SupportDir() + "/hostile_proxy.py",
                                 "--answer", answerJson, "--log", FLogFile},
        out);
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline &&
           !FProcess->Ended()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::ifstream f(HostPath(out), std::ios::binary);
        std::getline(f, line, '\0');
    }
    if (line.rfind("READY ", 0) != 0 || line.find('\n') == std::string::npos) {
        FProcess.reset();
        std::filesystem::remove_all(HostPath(FDir));
        throw std::runtime_error("hostile proxy did not start");
    }
    FPort = std::atoi(line.c_str() + 6);
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
    std::vector<LoggedRequest> result;
    std::ifstream f(HostPath(FLogFile), std::ios::binary);
    std::string line;
    while (std::getline(f, line))
        if (auto request = ParseLoggedRequest(line))
            result.push_back(std::move(*request));
    return result;
}

} // namespace velora::test
