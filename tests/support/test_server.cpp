#include "tests/support/test_server.hpp"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/child_process.hpp"

namespace velora::test {
namespace {

bool SameAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::runtime_error Failure(const std::string& what) {
    return std::runtime_error("test server: " + what);
}

void WriteFile(const std::string& path, const std::string& content) {
    // Written beside and renamed, so the server never reads half a file.
    std::string tmp = path + ".tmp";
    {
        std::ofstream f(HostPath(tmp), std::ios::binary | std::ios::trunc);
        f << content;
        if (!f)
            throw Failure("cannot write " + tmp);
    }
    std::filesystem::rename(HostPath(tmp), HostPath(path));
}

// Just enough JSON for the server's log records: objects, arrays, strings, literals, numbers.
class JsonReader {
public:
    explicit JsonReader(std::string_view text) : FText(text) {}

    bool String(std::string& out) {
        Skip();
        if (!Eat('"'))
            return false;
        out.clear();
        while (FPos < FText.size()) {
            char c = FText[FPos++];
            if (c == '"')
                return true;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (FPos >= FText.size())
                return false;
            char e = FText[FPos++];
            switch (e) {
            case 'n':
                out.push_back('\n');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case 'b':
                out.push_back('\b');
                break;
            case 'f':
                out.push_back('\f');
                break;
            case 'u': {
                if (FPos + 4 > FText.size())
                    return false;
                unsigned cp = static_cast<unsigned>(
                    std::strtoul(std::string(FText.substr(FPos, 4)).c_str(), nullptr, 16));
                FPos += 4;
                // The server decodes wire bytes as Latin-1, so code points below 256 are bytes.
                if (cp < 0x100) {
                    out.push_back(static_cast<char>(cp));
                } else if (cp < 0x800) {
                    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
                    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
                } else {
                    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
                    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
                    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
                }
                break;
            }
            default:
                out.push_back(e);
                break;
            }
        }
        return false;
    }

    bool Eat(char c) {
        Skip();
        if (FPos < FText.size() && FText[FPos] == c) {
            ++FPos;
            return true;
        }
        return false;
    }

    bool SkipValue() {
        Skip();
        if (FPos >= FText.size())
            return false;
        char c = FText[FPos];
        if (c == '"') {
            std::string ignored;
            return String(ignored);
        }
        if (c == '[' || c == '{') {
            char close = c == '[' ? ']' : '}';
            ++FPos;
            if (Eat(close))
                return true;
            do {
                if (c == '{') {
                    std::string key;
                    if (!String(key) || !Eat(':'))
                        return false;
                }
                if (!SkipValue())
                    return false;
            } while (Eat(','));
            return Eat(close);
        }
        while (FPos < FText.size() && std::strchr(",]} \t\r\n", FText[FPos]) == nullptr)
            ++FPos;
        return true;
    }

private:
    void Skip() {
        while (FPos < FText.size() && std::strchr(" \t\r\n", FText[FPos]) != nullptr)
            ++FPos;
    }

    std::string_view FText;
    std::size_t FPos = 0;
};

} // namespace

std::optional<std::string> LoggedRequest::Header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (SameAscii(n, name))
            return v;
    return std::nullopt;
}

int LoggedRequest::CountHeader(std::string_view name) const {
    int count = 0;
    for (const auto& h : headers)
        count += SameAscii(h.first, name) ? 1 : 0;
    return count;
}

std::optional<LoggedRequest> ParseLoggedRequest(std::string_view jsonLine) {
    JsonReader r(jsonLine);
    LoggedRequest req;
    if (!r.Eat('{'))
        return std::nullopt;
    if (r.Eat('}'))
        return std::nullopt;
    do {
        std::string key;
        if (!r.String(key) || !r.Eat(':'))
            return std::nullopt;
        if (key == "method" || key == "path") {
            if (!r.String(key == "method" ? req.method : req.path))
                return std::nullopt;
        } else if (key == "headers") {
            if (!r.Eat('['))
                return std::nullopt;
            if (!r.Eat(']')) {
                do {
                    std::pair<std::string, std::string> h;
                    if (!r.Eat('[') || !r.String(h.first) || !r.Eat(',') || !r.String(h.second) ||
                        !r.Eat(']'))
                        return std::nullopt;
                    req.headers.push_back(std::move(h));
                } while (r.Eat(','));
                if (!r.Eat(']'))
                    return std::nullopt;
            }
        } else if (!r.SkipValue()) {
            return std::nullopt;
        }
    } while (r.Eat(','));
    if (!r.Eat('}') || req.method.empty())
        return std::nullopt;
    return req;
}

std::vector<LoggedRequest> ReadLoggedRequests(const std::string& logFile) {
    std::vector<LoggedRequest> result;
    std::ifstream f(HostPath(logFile), std::ios::binary);
    std::string line;
    while (std::getline(f, line))
        if (auto req = ParseLoggedRequest(line))
            result.push_back(std::move(*req));
    return result;
}

int StartListeningHelper(std::unique_ptr<ChildProcess>& process,
                         const std::vector<std::string>& args, const std::string& outFile) {
    process = std::make_unique<ChildProcess>(args, outFile);
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline &&
           !process->Ended()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::ifstream f(HostPath(outFile), std::ios::binary);
        std::getline(f, line, '\0');
    }
    if (line.rfind("READY ", 0) != 0 || line.find('\n') == std::string::npos) {
        process.reset();
        return 0;
    }
    return std::atoi(line.c_str() + 6);
}

std::string TestServer::SupportDir() {
    return VELORA_TEST_SUPPORT_DIR;
}

std::string TestServer::CaDir() {
    static std::once_flag once;
    static int status = 0;
    std::call_once(once, [] {
        status = RunToEnd({"/bin/sh", SupportDir() + "/make_test_ca.sh", VELORA_TEST_CA_DIR});
    });
    if (status != 0)
        throw Failure("make_test_ca.sh failed");
    return VELORA_TEST_CA_DIR;
}

std::string TestServer::CaFile() {
    return CaDir() + "/ca.pem";
}

TestServer::TestServer(TestServerOptions options, TestServerTls tls) : FPlain(options.plain) {
    std::string caDir = CaDir();
    FDir = MakeTempDir("velora-server");
    FRoutesFile = FDir + "/routes.json";
    FLogFile = FDir + "/requests.jsonl";
    WriteFile(FRoutesFile, options.routesJson);
    WriteFile(FLogFile, "");

    std::vector<std::string> args = {"/usr/bin/python3",
                                     SupportDir() + "/https_server.py",
                                     "--port",
                                     std::to_string(options.port),
                                     "--routes",
                                     FRoutesFile,
                                     "--log",
                                     FLogFile};
    if (options.plain) {
        args.push_back("--plain");
    } else {
        args.insert(args.end(), {"--cert", caDir + "/" + options.certificate + ".pem", "--key",
                                 caDir + "/" + options.certificate + ".key"});
        if (!tls.maximum.empty())
            args.insert(args.end(), {"--tls-max", tls.maximum});
        if (!tls.clientCertificate.empty())
            args.insert(args.end(),
                        {"--client-cert", tls.clientCertificate, "--client-ca", caDir + "/ca.pem"});
    }
    FPort = StartListeningHelper(FProcess, args, FDir + "/stdout");
    if (FPort == 0) {
        std::filesystem::remove_all(HostPath(FDir));
        throw Failure("did not start (port " + std::to_string(options.port) + ")");
    }
}

TestServer::~TestServer() {
    FProcess.reset();
    std::error_code ec;
    std::filesystem::remove_all(HostPath(FDir), ec);
}

std::string TestServer::BaseUrl() const {
    return std::string(FPlain ? "http" : "https") + "://localhost:" + std::to_string(FPort);
}

void TestServer::SetRoutes(const std::string& routesJson) {
    WriteFile(FRoutesFile, routesJson);
}

std::vector<LoggedRequest> TestServer::Requests() const {
    return ReadLoggedRequests(FLogFile);
}

TinyProxy::TinyProxy(std::string user, std::string password) {
    FDir = MakeTempDir("velora-proxy");
    // The proxy may drop to "nobody" when started as root; it must still write its log.
    for (int attempt = 0; attempt < 5 && !FProcess; ++attempt) {
        FPort = UnusedPort();
        std::ostringstream config;
        config << "Port " << FPort << "\nListen 127.0.0.1\nTimeout 30\nLogLevel Info\n"
               << "LogFile \"" << FDir << "/proxy.log\"\nMaxClients 20\nAllow 127.0.0.1\n"
               << "DisableViaHeader Yes\n";
        if (!user.empty())
            config << "BasicAuth " << user << " " << password << "\n";
        WriteFile(FDir + "/proxy.conf", config.str());
        WriteFile(FDir + "/proxy.log", "");
        if (RunToEnd({"/bin/chmod", "a+w", FDir, FDir + "/proxy.log"}) != 0)
            throw Failure("cannot open the proxy's folder to all");

        auto process = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/tinyproxy", "-d", "-c", FDir + "/proxy.conf"},
            FDir + "/stdout");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        bool up = false;
        // Ending early means the port was taken after all, or it cannot run.
        while (!up && std::chrono::steady_clock::now() < deadline && !process->Ended()) {
            up = Listening(FPort);
            if (!up)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (up)
            FProcess = std::move(process);
    }
    if (!FProcess) {
        std::filesystem::remove_all(HostPath(FDir));
        throw Failure("tinyproxy did not start");
    }
}

TinyProxy::~TinyProxy() {
    FProcess.reset();
    std::error_code ec;
    std::filesystem::remove_all(HostPath(FDir), ec);
}

std::string TinyProxy::Url() const {
    return "http://127.0.0.1:" + std::to_string(FPort);
}

std::vector<std::string> TinyProxy::Requests() const {
    // "CONNECT   Dec 08 18:25:56.740 [25414]: Request (file descriptor 5): CONNECT host:443 ..."
    std::vector<std::string> lines;
    std::ifstream f(HostPath(FDir + "/proxy.log"));
    std::string line;
    const std::string marker = "): ";
    while (std::getline(f, line)) {
        const auto request = line.find("Request (file descriptor");
        if (request == std::string::npos)
            continue;
        const auto at = line.find(marker, request);
        if (at != std::string::npos)
            lines.push_back(line.substr(at + marker.size()));
    }
    return lines;
}

} // namespace velora::test
