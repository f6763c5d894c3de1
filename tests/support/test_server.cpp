#include "tests/support/test_server.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Runs a program with arguments and waits; returns its exit status (or -1).
int RunAndWait(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
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

void WriteFile(const std::string& path, const std::string& content) {
    // Written beside and renamed, so the server never reads half a file.
    std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << content;
        if (!f)
            throw Failure("cannot write " + tmp);
    }
    std::filesystem::rename(tmp, path);
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

std::string TestServer::SupportDir() {
    return VELORA_TEST_SUPPORT_DIR;
}

std::string TestServer::CaDir() {
    static std::once_flag once;
    static int status = 0;
    std::call_once(once, [] {
        status = RunAndWait({"/bin/sh", SupportDir() + "/make_test_ca.sh", VELORA_TEST_CA_DIR});
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
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velora-server-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw Failure("mkdtemp failed");
    FDir = pattern;
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
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw Failure("pipe failed");
    pid_t parent = getpid();
    FPid = fork();
    if (FPid < 0)
        throw Failure("fork failed");
    if (FPid == 0) {
        // The server must not outlive a test process that dies without running destructors.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
        dup2(out[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);

    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{out[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buf[256];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, static_cast<std::size_t>(n));
    }
    close(out[0]);
    if (line.rfind("READY ", 0) != 0) {
        kill(FPid, SIGTERM);
        waitpid(FPid, nullptr, 0);
        FPid = -1;
        std::filesystem::remove_all(FDir);
        throw Failure("did not start (port " + std::to_string(options.port) + ")");
    }
    FPort = std::atoi(line.c_str() + 6);
}

TestServer::~TestServer() {
    if (FPid > 0) {
        kill(FPid, SIGTERM);
        while (waitpid(FPid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
}

std::string TestServer::BaseUrl() const {
    return std::string(FPlain ? "http" : "https") + "://localhost:" + std::to_string(FPort);
}

void TestServer::SetRoutes(const std::string& routesJson) {
    WriteFile(FRoutesFile, routesJson);
}

std::vector<LoggedRequest> TestServer::Requests() const {
    std::vector<LoggedRequest> result;
    std::ifstream f(FLogFile, std::ios::binary);
    std::string line;
    while (std::getline(f, line))
        if (auto req = ParseLoggedRequest(line))
            result.push_back(std::move(*req));
    return result;
}

namespace {

bool Listening(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
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

} // namespace

TinyProxy::TinyProxy(std::string user, std::string password) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velora-proxy-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw Failure("mkdtemp failed");
    FDir = pattern;
    // The proxy may drop to "nobody" when started as root; it must still write its log.
    chmod(FDir.c_str(), 0777);
    for (int attempt = 0; attempt < 5 && FPid < 0; ++attempt) {
        FPort = UnusedPort();
        std::ostringstream config;
        config << "Port " << FPort << "\nListen 127.0.0.1\nTimeout 30\nLogLevel Info\n"
               << "LogFile \"" << FDir << "/proxy.log\"\nMaxClients 20\nAllow 127.0.0.1\n"
               << "DisableViaHeader Yes\n";
        if (!user.empty())
            config << "BasicAuth " << user << " " << password << "\n";
        WriteFile(FDir + "/proxy.conf", config.str());
        WriteFile(FDir + "/proxy.log", "");
        chmod((FDir + "/proxy.log").c_str(), 0666);

        const std::string conf = FDir + "/proxy.conf";
        pid_t parent = getpid();
        pid_t pid = fork();
        if (pid < 0)
            throw Failure("fork failed");
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent)
                _exit(1);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execl("/usr/bin/tinyproxy", "tinyproxy", "-d", "-c", conf.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        bool up = false;
        while (!up && std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid, nullptr, WNOHANG) == pid)
                break; // it ended: the port was taken after all, or it cannot run
            up = Listening(FPort);
            if (!up)
                usleep(20000);
        }
        if (up) {
            FPid = pid;
        } else {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    if (FPid < 0) {
        std::filesystem::remove_all(FDir);
        throw Failure("tinyproxy did not start");
    }
}

TinyProxy::~TinyProxy() {
    if (FPid > 0) {
        kill(FPid, SIGTERM);
        while (waitpid(FPid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
}

std::string TinyProxy::Url() const {
    return "http://127.0.0.1:" + std::to_string(FPort);
}

std::vector<std::string> TinyProxy::Requests() const {
    // "CONNECT   Dec 08 18:25:56.740 [25414]: Request (file descriptor 5): CONNECT host:443 ..."
    std::vector<std::string> lines;
    std::ifstream f(FDir + "/proxy.log");
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

int UnusedPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        throw Failure("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(s);
        throw Failure("bind failed");
    }
    close(s);
    return ntohs(addr.sin_port);
}

} // namespace velora::test
