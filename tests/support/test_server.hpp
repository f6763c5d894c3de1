// A local HTTP(S) server for tests: runs tests/support/https_server.py as a child process with
// the build's test CA, answers from a routes file and records every request it receives.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/child_process.hpp"

namespace velora::test {

// One request as the server received it. Texts are the raw bytes from the wire.
struct LoggedRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;

    // The first header of that name (ASCII case ignored), if any.
    std::optional<std::string> Header(std::string_view name) const;
    int CountHeader(std::string_view name) const;
};

struct TestServerOptions {
    // JSON object: request target -> response spec (see https_server.py).
    std::string routesJson = "{}";
    int port = 0; // 0 = any free port
    bool plain = false;
    // Which certificate the server presents: "server", "selfsigned", "expired" or "wronghost".
    std::string certificate = "server";
};

// Further TLS settings of the server.
struct TestServerTls {
    // "1.2" caps the TLS versions the server speaks.
    std::string maximum;
    // "optional" or "required": the server asks for a client certificate from the test CA.
    std::string clientCertificate;
};

class TestServer {
public:
    explicit TestServer(TestServerOptions options = {}, TestServerTls tls = {});
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int Port() const noexcept { return FPort; }
    // "https://localhost:<port>" (or http).
    std::string BaseUrl() const;
    std::string Url(std::string_view path) const { return BaseUrl() + std::string(path); }

    // Replaces the routes; the server picks the new file up with its next request.
    void SetRoutes(const std::string& routesJson);
    std::vector<LoggedRequest> Requests() const;

    // The test CA of this build (made on first use) and the folder that holds its files.
    static std::string CaDir();
    static std::string CaFile();
    static std::string SupportDir();

private:
    std::string FDir;
    std::string FRoutesFile;
    std::string FLogFile;
    bool FPlain = false;
    std::unique_ptr<ChildProcess> FProcess;
    int FPort = 0;
};

// tinyproxy on a loopback port with a configuration of its own, for as long as the object
// lives. Its log tells which requests went through it.
class TinyProxy {
public:
    // With a user name, the proxy asks for Basic credentials.
    explicit TinyProxy(std::string user = {}, std::string password = {});
    ~TinyProxy();
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;

    int Port() const noexcept { return FPort; }
    // "http://127.0.0.1:<port>"
    std::string Url() const;
    // The request lines the proxy received ("CONNECT localhost:443 HTTP/1.1", "GET http://...").
    std::vector<std::string> Requests() const;

private:
    std::string FDir;
    std::unique_ptr<ChildProcess> FProcess;
    int FPort = 0;
};

// Parses one line of the server's request log; nullopt when it is not a request record.
std::optional<LoggedRequest> ParseLoggedRequest(std::string_view jsonLine);
// Every request record of a log file (a Linux path).
std::vector<LoggedRequest> ReadLoggedRequests(const std::string& logFile);

// Starts a helper that prints "READY <port>" once it listens, and returns that port; 0 when it
// did not say so within 30 s, in which case it has been ended.
int StartListeningHelper(std::unique_ptr<ChildProcess>& process,
                         const std::vector<std::string>& args, const std::string& outFile);

} // namespace velora::test
