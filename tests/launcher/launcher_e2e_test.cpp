// The test build of the launcher, run as a program in a temporary home against the local HTTPS
// server on its fixed port, with stub player and updater programs that record how they were
// started.
#include "tests/support/test_server.hpp"
#include "x_display.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <netinet/in.h>
#include <optional>
#include <sstream>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace velora {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kPort = VELORA_LAUNCHER_TEST_PORT;
constexpr char kVersionPath[] = "/library/controllers/velora-softwareversion";
constexpr char kUpdaterPath[] = "/library/controllers/software/updater.exe";

// Records its name, its own size, its arguments and its open descriptors, then stops reading
// its file: the updater's padding after "exit" is never parsed.
constexpr char kStub[] = "#!/bin/sh\n"
                         "{ echo \"program $(basename \"$0\")\"\n"
                         "  echo \"size $(wc -c < \"$0\")\"\n"
                         "  for a in \"$@\"; do echo \"arg [$a]\"; done\n"
                         "  ls -l /proc/$$/fd\n"
                         "  echo end; } >> \"$VELORA_STUB_LOG\"\n"
                         "exit 0\n";

std::optional<std::string> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const fs::path& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

// An X display for the update path: the one the tests run under, or an Xvfb of our own. One
// connection stays open for as long as the tests run: an X server resets when its last client
// leaves, and refuses connections while it does, so a launcher that opened the display just
// then would fail to show the message.
class TestDisplay {
public:
    static TestDisplay& Get() {
        static TestDisplay display;
        return display;
    }
    bool Available() const { return FConnection && FConnection->Connected(); }
    const std::string& Name() const { return FName; }

    ~TestDisplay() {
        FConnection.reset();
        if (FPid > 0) {
            ::kill(FPid, SIGTERM);
            ::waitpid(FPid, nullptr, 0);
        }
    }

private:
    TestDisplay() {
        Start();
        if (!FName.empty()) {
            FConnection = std::make_unique<test::XDisplayConnection>(FName);
        }
    }

    void Start() {
        if (const char* d = std::getenv("DISPLAY"); d != nullptr && *d != '\0') {
            FName = d;
            return;
        }
        int fds[2];
        if (::pipe(fds) != 0) {
            return;
        }
        FPid = ::fork();
        if (FPid == 0) {
            ::close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDERR_FILENO);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
                     "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string number;
        char c = 0;
        while (FPid > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') {
            number += c;
        }
        ::close(fds[0]);
        if (!number.empty()) {
            FName = ":" + number;
        }
    }

    std::string FName;
    pid_t FPid = -1;
    std::unique_ptr<test::XDisplayConnection> FConnection;
};

// What the watcher does to the download's progress window once its bar has moved.
enum class OnProgress { Watch, CancelWithEscape, CancelWithClick };

// Closes the information message with the Return key as soon as it appears, after running
// what the test wants done while it shows, and watches the progress window. Looks for both over
// one X connection.
class MessageCloser {
public:
    MessageCloser(std::string display, std::function<void()> whileShown, OnProgress onProgress)
        : FDisplay(std::move(display)), FWhileShown(std::move(whileShown)), FOnProgress(onProgress),
          FThread([this] { Loop(); }) {}
    ~MessageCloser() {
        FStop = true;
        FThread.join();
    }
    int Closed() const { return FClosed; }
    bool ProgressSeen() const { return FProgressSeen; }
    // Two pictures of the progress window differed: its bar and text moved.
    bool ProgressMoved() const { return FProgressMoved; }

private:
    void Loop() {
        test::XDisplayConnection connection(FDisplay);
        std::vector<std::uint32_t> lastPicture;
        bool cancelSent = false;
        while (!FStop) {
            if (const unsigned long id = connection.FindWindow("Information"); id != 0) {
                if (FWhileShown) {
                    FWhileShown();
                }
                // GTK ignores keys sent to an unfocused window, so focus it first.
                const std::string command = "DISPLAY=" + FDisplay + " xdotool windowfocus --sync " +
                                            std::to_string(id) + " key Return 2>/dev/null";
                if (std::system(command.c_str()) == 0) {
                    ++FClosed;
                }
                std::this_thread::sleep_for(300ms);
            }
            if (const unsigned long id = connection.FindWindow("Velora Player"); id != 0) {
                FProgressSeen = true;
                int width = 0;
                int height = 0;
                std::vector<std::uint32_t> picture = connection.Capture(id, width, height);
                if (!picture.empty() && !lastPicture.empty() && picture != lastPicture) {
                    FProgressMoved = true;
                }
                lastPicture = std::move(picture);
                if (FProgressMoved && !cancelSent && FOnProgress != OnProgress::Watch) {
                    // The Cancel button sits in the window's bottom right corner.
                    const std::string action =
                        FOnProgress == OnProgress::CancelWithEscape
                            ? "windowfocus --sync " + std::to_string(id) + " key Escape"
                            : "mousemove --window " + std::to_string(id) + " " +
                                  std::to_string(width - 55) + " " + std::to_string(height - 30) +
                                  " click 1";
                    cancelSent =
                        std::system(("DISPLAY=" + FDisplay + " xdotool " + action + " 2>/dev/null")
                                        .c_str()) == 0;
                }
                std::this_thread::sleep_for(200ms);
            }
            std::this_thread::sleep_for(50ms);
        }
    }

    std::string FDisplay;
    std::function<void()> FWhileShown;
    OnProgress FOnProgress;
    std::atomic<bool> FStop{false};
    std::atomic<int> FClosed{0};
    std::atomic<bool> FProgressSeen{false};
    std::atomic<bool> FProgressMoved{false};
    std::thread FThread;
};

struct Started {
    std::string program;
    std::size_t size = 0;
    std::vector<std::string> args;
    std::map<int, std::string> descriptors; // number -> what it refers to
};

enum class Server { None, Good, SelfSigned, Expired, WrongHost };

struct RunOptions {
    Server server = Server::Good;
    std::string routes = "{}";
    bool display = true;
    bool useXdgDataHome = true;
    std::uint64_t addressSpaceLimit = 0; // bytes; 0 = none
    std::uint64_t fileSizeLimit = 0;     // bytes; 0 = none
    std::function<void()> whileMessageShows;
    OnProgress onProgress = OnProgress::Watch;
    // Appended to ASAN_OPTIONS: a sanitizer build's own memory keeping can hide or fake growth.
    std::string asanOptions;
};

class LauncherEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        // The port is fixed in the test build, so runs from other build folders on this machine
        // take turns.
        const std::string lockFile = "/tmp/velora-launcher-port-" + std::to_string(kPort) + ".lock";
        FPortLock = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        ASSERT_GE(FPortLock, 0);
        ASSERT_EQ(::flock(FPortLock, LOCK_EX), 0);

        char pattern[] = "/tmp/velora-launcher-e2e-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        FRoot = pattern;
        FHome = FRoot / "home";
        FData = FRoot / "data";
        fs::create_directories(FHome);
        fs::create_directories(FData);
        FLog = FRoot / "started.log";

        // The updater the server hands out: the stub followed by 3 MiB of padding, so that the
        // copy takes several chunks and a cut-off file would be noticed.
        FUpdaterBody = kStub;
        std::uint32_t x = 12345;
        for (int i = 0; i < 3 * 1048576 + 333; ++i) {
            x = x * 1103515245u + 12345u;
            FUpdaterBody.push_back(static_cast<char>(x >> 24));
        }
        FUpdaterFile = FRoot / "served-updater";
        WriteFile(FUpdaterFile, FUpdaterBody);
    }
    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "launcher output:\n"
                      << ReadFile(FRoot / "launcher.out").value_or("(none)") << '\n';
        }
        fs::remove_all(FRoot);
        if (FPortLock >= 0) {
            ::close(FPortLock);
        }
    }

    fs::path InstallDir(bool xdg = true) const {
        return (xdg ? FData : FHome / ".local/share") / "Velora Player";
    }

    void InstallPlayer(std::optional<std::string> settings, bool xdg = true) {
        fs::create_directories(InstallDir(xdg));
        const fs::path player = InstallDir(xdg) / "Velora_Player.exe";
        WriteFile(player, kStub);
        fs::permissions(player, fs::perms::owner_all);
        if (settings) {
            WriteFile(InstallDir(xdg) / "settings.ini", *settings);
        }
    }

    std::string UpdaterRoute(const std::string& options = "") const {
        return std::string("\"") + kUpdaterPath + "\": {\"status\": 200, \"body_file\": \"" +
               FUpdaterFile.string() + "\"" + options + "}";
    }
    static std::string VersionRoute(const std::string& body, int status = 200) {
        std::string escaped;
        for (const char c : body) {
            if (c == '"' || c == '\\') {
                escaped += '\\';
                escaped += c;
            } else if (c == '\r') {
                escaped += "\\r";
            } else if (c == '\n') {
                escaped += "\\n";
            } else {
                escaped += c;
            }
        }
        return std::string("\"") + kVersionPath + "\": {\"status\": " + std::to_string(status) +
               ", \"body\": \"" + escaped + "\"}";
    }

    // Runs the launcher to its end; returns its exit status and fills what the server saw.
    int RunLauncher(const RunOptions& options) {
        std::unique_ptr<test::TestServer> server;
        if (options.server != Server::None) {
            test::TestServerOptions serverOptions;
            serverOptions.port = kPort;
            serverOptions.routesJson = options.routes;
            serverOptions.certificate = options.server == Server::SelfSigned  ? "selfsigned"
                                        : options.server == Server::Expired   ? "expired"
                                        : options.server == Server::WrongHost ? "wronghost"
                                                                              : "server";
            // Something outside these tests may hold the port for a moment.
            for (int attempt = 0; !server; ++attempt) {
                try {
                    server = std::make_unique<test::TestServer>(serverOptions);
                } catch (const std::exception&) {
                    if (attempt == 60) {
                        throw;
                    }
                    std::this_thread::sleep_for(500ms);
                }
            }
        } else {
            // A refused connection needs the port to be free.
            for (int attempt = 0; attempt < 60 && PortInUse(); ++attempt) {
                std::this_thread::sleep_for(500ms);
            }
        }
        std::vector<std::string> env = {"PATH=/usr/bin:/bin", "HOME=" + FHome.string(),
                                        "VELORA_STUB_LOG=" + FLog.string()};
        if (options.useXdgDataHome) {
            env.push_back("XDG_DATA_HOME=" + FData.string());
        }
        for (const char* name : {"UBSAN_OPTIONS", "XAUTHORITY"}) {
            if (const char* value = std::getenv(name)) {
                env.push_back(std::string(name) + "=" + value);
            }
        }
        const char* asan = std::getenv("ASAN_OPTIONS");
        std::string asanOptions = asan != nullptr ? asan : "";
        if (!options.asanOptions.empty()) {
            asanOptions += (asanOptions.empty() ? "" : ":") + options.asanOptions;
        }
        if (!asanOptions.empty()) {
            env.push_back("ASAN_OPTIONS=" + asanOptions);
        }
        // Sanitizer builds: what GTK and its libraries keep until exit is not ours to free.
        const char* lsan = std::getenv("LSAN_OPTIONS");
        env.push_back(std::string("LSAN_OPTIONS=") + (lsan != nullptr ? lsan : "") +
                      (lsan != nullptr && *lsan != '\0' ? ":" : "") +
                      "suppressions=" VELORA_LAUNCHER_LSAN_SUPPRESSIONS);
        std::unique_ptr<MessageCloser> closer;
        if (options.display && TestDisplay::Get().Available()) {
            env.push_back("DISPLAY=" + TestDisplay::Get().Name());
            closer = std::make_unique<MessageCloser>(TestDisplay::Get().Name(),
                                                     options.whileMessageShows, options.onProgress);
        }

        const int status = Spawn(env, options);
        if (closer) {
            FMessagesClosed = closer->Closed();
            FProgressSeen = closer->ProgressSeen();
            FProgressMoved = closer->ProgressMoved();
        }
        if (server) {
            FLogged = server->Requests();
            for (const test::LoggedRequest& request : FLogged) {
                FRequests.push_back(request.path);
            }
        }
        return status;
    }

    static bool PortInUse() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(kPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool inUse =
            ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return inUse;
    }

    int Spawn(const std::vector<std::string>& env, const RunOptions& options) {
        std::vector<char*> envp;
        std::vector<std::string> copy = env;
        for (std::string& e : copy) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        const std::string output = (FRoot / "launcher.out").string();
        const pid_t pid = ::fork();
        if (pid == 0) {
            // A file, not a pipe: the started programs inherit it and outlive the launcher.
            const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            if (options.addressSpaceLimit != 0) {
                const rlimit limit{options.addressSpaceLimit, options.addressSpaceLimit};
                ::setrlimit(RLIMIT_AS, &limit);
            }
            if (options.fileSizeLimit != 0) {
                const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
                ::setrlimit(RLIMIT_FSIZE, &limit);
            }
            char* argv[] = {const_cast<char*>(FBinary), nullptr};
            ::execve(argv[0], argv, envp.data());
            ::_exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + 90s;
        int status = 0;
        rusage usage{};
        while (::wait4(pid, &status, WNOHANG, &usage) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                ::wait4(pid, &status, 0, &usage);
                ADD_FAILURE() << "launcher did not end";
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        FPeakMemory = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
        return status;
    }

    // The programs the launcher started, once the one expected has written its record.
    std::vector<Started> StartedPrograms() {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::optional<std::string> log = ReadFile(FLog);
            if (log && log->find("end\n") != std::string::npos) {
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        // Room for a second start that must not happen.
        std::this_thread::sleep_for(300ms);
        std::vector<Started> started;
        std::istringstream in(ReadFile(FLog).value_or(""));
        std::string line;
        while (std::getline(in, line)) {
            if (line.starts_with("program ")) {
                started.push_back(Started{line.substr(8), 0, {}, {}});
            } else if (line.starts_with("size ") && !started.empty()) {
                started.back().size = std::stoul(line.substr(5));
            } else if (line.starts_with("arg [") && !started.empty()) {
                started.back().args.push_back(line.substr(5, line.size() - 6));
            } else if (const std::size_t arrow = line.find(" -> ");
                       line.starts_with("l") && arrow != std::string::npos && !started.empty()) {
                // "lr-x------ 1 user group 64 Dec  9 05:02 10 -> /path"
                const std::size_t number = line.rfind(' ', arrow - 1) + 1;
                started.back().descriptors[std::stoi(line.substr(number, arrow - number))] =
                    line.substr(arrow + 4);
            }
        }
        return started;
    }

    // Nothing of the launcher's is open in the program: beyond the standard three, only what
    // its shell holds itself (its script, and the saved standard output while it logs).
    void ExpectNothingInherited(const Started& started, const fs::path& program) {
        for (const auto& [fd, target] : started.descriptors) {
            if (fd > 2) {
                EXPECT_TRUE(target == program.string() || target == (FRoot / "launcher.out"))
                    << started.program << " inherited descriptor " << fd << " -> " << target;
            }
        }
    }

    void ExpectPlayerStarted(bool xdg = true) {
        const std::vector<Started> started = StartedPrograms();
        ASSERT_EQ(started.size(), 1u) << ReadFile(FLog).value_or("(nothing started)");
        EXPECT_EQ(started[0].program, "Velora_Player.exe");
        EXPECT_TRUE(started[0].args.empty());
        ExpectNothingInherited(started[0], InstallDir(xdg) / "Velora_Player.exe");
    }

    void ExpectUpdaterStarted(const std::string& version, bool xdg = true) {
        const std::vector<Started> started = StartedPrograms();
        ASSERT_EQ(started.size(), 1u) << ReadFile(FLog).value_or("(nothing started)");
        EXPECT_EQ(started[0].program, "updater.exe");
        EXPECT_EQ(started[0].args, (std::vector<std::string>{version, "velora"}));
        ExpectNothingInherited(started[0], InstallDir(xdg) / "updater.exe");
        // Started whole, and the file on disk is the served body byte for byte.
        EXPECT_EQ(started[0].size, FUpdaterBody.size());
        const std::optional<std::string> written = ReadFile(InstallDir(xdg) / "updater.exe");
        ASSERT_TRUE(written.has_value());
        EXPECT_EQ(written->size(), FUpdaterBody.size());
        EXPECT_TRUE(*written == FUpdaterBody) << "updater.exe differs from the served body";
    }

    bool HaveDisplay() { return TestDisplay::Get().Available(); }

    fs::path FRoot, FHome, FData, FLog, FUpdaterFile;
    std::string FUpdaterBody;
    std::vector<std::string> FRequests;
    std::vector<test::LoggedRequest> FLogged;
    const char* FBinary = VELORA_LAUNCHER_BINARY;
    int FMessagesClosed = 0;
    bool FProgressSeen = false;
    bool FProgressMoved = false;
    std::uint64_t FPeakMemory = 0; // the launcher's peak resident size, bytes
    int FPortLock = -1;
};

// Settings files as found on disk; each run must leave them exactly so.
struct NoUpdateCase {
    const char* name;
    std::optional<std::string> settings;
    std::string document;
    int documentStatus;
};
void PrintTo(const NoUpdateCase& c, std::ostream* os) {
    *os << c.name;
}

class NoUpdate : public LauncherEndToEnd, public testing::WithParamInterface<NoUpdateCase> {};

TEST_P(NoUpdate, StartsThePlayerWithoutAMessageOrASecondRequest) {
    const NoUpdateCase& c = GetParam();
    InstallPlayer(c.settings);
    RunOptions options;
    options.routes = "{" + VersionRoute(c.document, c.documentStatus) + ", " + UpdaterRoute() + "}";
    EXPECT_EQ(RunLauncher(options), 0);
    ExpectPlayerStarted();
    EXPECT_EQ(FRequests, std::vector<std::string>{kVersionPath});
    EXPECT_EQ(FMessagesClosed, 0);
    EXPECT_FALSE(FProgressSeen);
    EXPECT_EQ(ReadFile(InstallDir() / "settings.ini"), c.settings);
    EXPECT_FALSE(fs::exists(InstallDir() / "updater.exe"));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, NoUpdate,
    testing::Values(
        NoUpdateCase{"FirstRunServerZero", std::nullopt, "0", 200},
        NoUpdateCase{"Equal", "[Velora Player]\r\nLocalVersion=42\r\n", "42", 200},
        NoUpdateCase{"LocalGreater", "[Velora Player]\nLocalVersion=43\n", "42\n", 200},
        NoUpdateCase{"HexSettings", "[velora player]\nlocalversion = $1F\n", "0x1F", 200},
        NoUpdateCase{"VersionDocument404", "[Velora Player]\nLocalVersion=9\n", "9", 404},
        NoUpdateCase{"MinimumServerValue", "[Velora Player]\nLocalVersion=0\n", "-2147483648", 200},
        NoUpdateCase{"GarbageDecimal", "[Velora Player]\nLocalVersion=1\n", "42.0", 200},
        NoUpdateCase{"GarbageEmpty", "[Velora Player]\nLocalVersion=1\n", "", 200},
        NoUpdateCase{"GarbageTwoNumbers", "[Velora Player]\nLocalVersion=1\n", "2 3", 200},
        NoUpdateCase{"GarbageHtml", "[Velora Player]\nLocalVersion=1\n",
                     "<html><body>Not Found</body></html>", 404},
        NoUpdateCase{"GarbageTooLarge", "[Velora Player]\nLocalVersion=1\n", "2147483648", 200}),
    [](const testing::TestParamInfo<NoUpdateCase>& p) { return p.param.name; });

struct UpdateCase {
    const char* name;
    std::optional<std::string> settings;
    std::string document;
    int documentStatus;
    std::string parameter;
    std::string updaterOptions = ""; // a slow download shows a moving progress window
};
void PrintTo(const UpdateCase& c, std::ostream* os) {
    *os << c.name;
}

class Update : public LauncherEndToEnd, public testing::WithParamInterface<UpdateCase> {};

TEST_P(Update, ShowsTheMessageDownloadsAndStartsTheUpdater) {
    if (!HaveDisplay()) {
        GTEST_SKIP() << "no X display and no Xvfb";
    }
    const UpdateCase& c = GetParam();
    if (c.settings) {
        InstallPlayer(c.settings);
    }
    RunOptions options;
    options.routes = "{" + VersionRoute(c.document, c.documentStatus) + ", " +
                     UpdaterRoute(c.updaterOptions) + "}";
    EXPECT_EQ(RunLauncher(options), 0);
    ExpectUpdaterStarted(c.parameter);
    EXPECT_EQ(FMessagesClosed, 1);
    if (!c.updaterOptions.empty()) {
        EXPECT_TRUE(FProgressMoved);
    }
    EXPECT_EQ(FRequests, (std::vector<std::string>{kVersionPath, kUpdaterPath}));
    EXPECT_EQ(ReadFile(InstallDir() / "settings.ini"), c.settings);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Update,
    testing::Values(
        // The launcher makes the install folder itself.
        UpdateCase{"FirstRun", std::nullopt, "1", 200, "1"},
        UpdateCase{"Greater", "[Velora Player]\nLocalVersion=41\n", " 42 \r\n", 200, "42"},
        UpdateCase{"HexDocument", "[Velora Player]\nLocalVersion=5\n", "0x2A", 200, "42"},
        UpdateCase{"LeadingZeros", "[Velora Player]\nLocalVersion=5\n", "007", 200, "7"},
        UpdateCase{"NegativeSettings", "[Velora Player]\nLocalVersion=-1\n", "0", 200, "0"},
        UpdateCase{"UnreadableSettings", "[Velora Player]\nLocalVersion=1F\n", "$10", 200, "16"},
        UpdateCase{"VersionDocument404", "[Velora Player]\nLocalVersion=1\n", "3", 404, "3"},
        UpdateCase{"SlowDownload", "[Velora Player]\nLocalVersion=1\n", "2", 200, "2",
                   ", \"trickle\": {\"bytes\": 32768, \"every_ms\": 30}"}),
    [](const testing::TestParamInfo<UpdateCase>& p) { return p.param.name; });

// An update is due, but the download does not give a whole updater that can be started.
enum class Left { Nothing, Whole }; // what stays at updater.exe
struct FailedDownloadCase {
    const char* name;
    std::string updaterRoute; // empty: the server's 404
    Left left = Left::Nothing;
    std::uint64_t fileSizeLimit = 0;
    OnProgress onProgress = OnProgress::Watch; // cancelled once the progress bar moved
};
void PrintTo(const FailedDownloadCase& c, std::ostream* os) {
    *os << c.name;
}

class FailedDownload : public LauncherEndToEnd,
                       public testing::WithParamInterface<FailedDownloadCase> {};

TEST_P(FailedDownload, StartsThePlayerAndNeverAPartialUpdater) {
    if (!HaveDisplay()) {
        GTEST_SKIP() << "no X display and no Xvfb";
    }
    const FailedDownloadCase& c = GetParam();
    const std::string settings = "[Velora Player]\nLocalVersion=1\n";
    InstallPlayer(settings);
    WriteFile(InstallDir() / "updater.exe", "old updater");
    RunOptions options;
    std::string route = c.updaterRoute;
    if (const std::size_t at = route.find("@served@"); at != std::string::npos) {
        route.replace(at, 8, FUpdaterFile.string());
    }
    options.routes = "{" + VersionRoute("2") + (route.empty() ? "" : ", ") + route + "}";
    options.fileSizeLimit = c.fileSizeLimit;
    options.onProgress = c.onProgress;
    EXPECT_EQ(RunLauncher(options), 0);
    ExpectPlayerStarted();
    EXPECT_EQ(FMessagesClosed, 1);
    EXPECT_TRUE(c.onProgress == OnProgress::Watch || FProgressMoved);
    EXPECT_EQ(FRequests, (std::vector<std::string>{kVersionPath, kUpdaterPath}));
    // The old one was deleted before the download; what took its place was never started.
    const std::optional<std::string> left = ReadFile(InstallDir() / "updater.exe");
    EXPECT_EQ(left.has_value(), c.left != Left::Nothing);
    EXPECT_FALSE(fs::exists(InstallDir() / "updater.exe.part"));
    EXPECT_EQ(ReadFile(InstallDir() / "settings.ini"), settings);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FailedDownload,
    testing::Values(
        FailedDownloadCase{"NotFound", ""},
        FailedDownloadCase{"DroppedMidBody", std::string("\"") + kUpdaterPath +
                                                 "\": {\"status\": 200, \"body_size\": 3000000, "
                                                 "\"drop_after\": 1000000}"},
        // The transport takes the whole chunked body; the stray header says 1,000 bytes.
        FailedDownloadCase{"ChunkedWithStrayLength",
                           std::string("\"") + kUpdaterPath +
                               "\": {\"status\": 200, \"body_file\": \"@served@\", \"chunked\": "
                               "true, \"headers\": [[\"Content-Length\", \"1000\"]]}"},
        // Writes fail past 1 MiB.
        FailedDownloadCase{"WriteFails",
                           std::string("\"") + kUpdaterPath +
                               "\": {\"status\": 200, \"body_file\": \"@served@\"}",
                           Left::Nothing, 1048576},
        // Written whole, but the system will not run it.
        FailedDownloadCase{"NotAProgram",
                           std::string("\"") + kUpdaterPath +
                               "\": {\"status\": 200, \"body_size\": 5000}",
                           Left::Whole},
        // The user stops a slow download; without a length the partial body could pass for
        // whole.
        FailedDownloadCase{"CancelledWithEscape",
                           std::string("\"") + kUpdaterPath +
                               "\": {\"status\": 200, \"body_file\": \"@served@\", \"trickle\": "
                               "{\"bytes\": 32768, \"every_ms\": 30}}",
                           Left::Nothing, 0, OnProgress::CancelWithEscape},
        FailedDownloadCase{"CancelledWithClickWithoutLength",
                           std::string("\"") + kUpdaterPath +
                               "\": {\"status\": 200, \"body_file\": \"@served@\", "
                               "\"no_content_length\": true, \"trickle\": {\"bytes\": 32768, "
                               "\"every_ms\": 30}}",
                           Left::Nothing, 0, OnProgress::CancelWithClick}),
    [](const testing::TestParamInfo<FailedDownloadCase>& p) { return p.param.name; });

// The updater path is taken while an update is due: by the old updater, which still runs; by
// another launcher, which holds the file while it writes it; by a link planted while the
// message shows. As on Windows, the file is neither deleted nor written through: the player
// starts.
enum class Taken {
    Running,
    HeldByAnotherLauncher,
    LinkPlantedWhileTheMessageShows,
    DownloadLinkPlantedWhileTheMessageShows
};
void PrintTo(Taken t, std::ostream* os) {
    *os << static_cast<int>(t);
}

class UpdaterPathTaken : public LauncherEndToEnd, public testing::WithParamInterface<Taken> {
protected:
    void TearDown() override {
        if (FRunning > 0) {
            ::kill(FRunning, SIGKILL);
            ::waitpid(FRunning, nullptr, 0);
        }
        if (FHeld >= 0) {
            ::close(FHeld);
        }
        LauncherEndToEnd::TearDown();
    }

    pid_t FRunning = -1;
    int FHeld = -1;
};

TEST_P(UpdaterPathTaken, StartsThePlayerAndLeavesThePathAlone) {
    if (!HaveDisplay()) {
        GTEST_SKIP() << "no X display and no Xvfb";
    }
    InstallPlayer("[Velora Player]\nLocalVersion=1\n");
    const fs::path updater = InstallDir() / "updater.exe";
    const fs::path download = InstallDir() / "updater.exe.part";
    const fs::path victim = FRoot / "victim";
    WriteFile(victim, "not to be overwritten");
    RunOptions options;
    options.routes = "{" + VersionRoute("2") + ", " + UpdaterRoute() + "}";
    switch (GetParam()) {
    case Taken::Running: {
        fs::copy_file("/bin/sleep", updater);
        FRunning = ::fork();
        if (FRunning == 0) {
            ::execl(updater.c_str(), "updater.exe", "120", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Running once writing it fails with ETXTBSY.
        for (int i = 0; i < 500; ++i) {
            const int fd = ::open(updater.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0) {
                break;
            }
            ::close(fd);
            std::this_thread::sleep_for(10ms);
        }
        break;
    }
    case Taken::HeldByAnotherLauncher:
        WriteFile(updater, "being written");
        FHeld = ::open(updater.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_EQ(::flock(FHeld, LOCK_EX | LOCK_NB), 0);
        break;
    case Taken::LinkPlantedWhileTheMessageShows:
        options.whileMessageShows = [&] { fs::create_symlink(victim, updater); };
        break;
    case Taken::DownloadLinkPlantedWhileTheMessageShows:
        options.whileMessageShows = [&] { fs::create_symlink(victim, download); };
        break;
    }
    const bool planted = GetParam() >= Taken::LinkPlantedWhileTheMessageShows;
    const std::string before = planted ? "" : ReadFile(updater).value();

    EXPECT_EQ(RunLauncher(options), 0);
    ExpectPlayerStarted();
    EXPECT_EQ(FMessagesClosed, 1);
    // The download file is made before the request: a link there ends it before the request.
    const std::vector<std::string> requests =
        GetParam() == Taken::DownloadLinkPlantedWhileTheMessageShows
            ? std::vector<std::string>{kVersionPath}
            : std::vector<std::string>{kVersionPath, kUpdaterPath};
    EXPECT_EQ(FRequests, requests);
    EXPECT_EQ(ReadFile(victim), "not to be overwritten");
    if (planted) {
        EXPECT_TRUE(fs::is_symlink(
            GetParam() == Taken::LinkPlantedWhileTheMessageShows ? updater : download));
    } else {
        EXPECT_TRUE(ReadFile(updater) == before) << "updater.exe was replaced";
    }
    if (GetParam() != Taken::DownloadLinkPlantedWhileTheMessageShows) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(download)));
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, UpdaterPathTaken,
                         testing::Values(Taken::Running, Taken::HeldByAnotherLauncher,
                                         Taken::LinkPlantedWhileTheMessageShows,
                                         Taken::DownloadLinkPlantedWhileTheMessageShows),
                         [](const testing::TestParamInfo<Taken>& p) {
                             switch (p.param) {
                             case Taken::Running:
                                 return std::string("Running");
                             case Taken::HeldByAnotherLauncher:
                                 return std::string("HeldByAnotherLauncher");
                             case Taken::LinkPlantedWhileTheMessageShows:
                                 return std::string("LinkPlantedWhileTheMessageShows");
                             default:
                                 return std::string("DownloadLinkPlantedWhileTheMessageShows");
                             }
                         });

// A data folder whose name is not UTF-8 is used as it is, not as a look-alike made anew.
TEST_F(LauncherEndToEnd, DataFolderWhoseNameIsNotUtf8) {
    if (!HaveDisplay()) {
        GTEST_SKIP() << "no X display and no Xvfb";
    }
    FData = FRoot / "data\xFF\xFE";
    InstallPlayer("[Velora Player]\nLocalVersion=1\n");
    RunOptions options;
    options.routes = "{" + VersionRoute("2") + ", " + UpdaterRoute() + "}";
    EXPECT_EQ(RunLauncher(options), 0);
    ExpectUpdaterStarted("2");
    for (const auto& entry : fs::directory_iterator(FRoot)) {
        EXPECT_EQ(entry.path().filename().string().find("\xEF\xBF\xBD"), std::string::npos)
            << "made " << entry.path();
    }
}

// A settings file that is a FIFO reads as missing; opening it does not wait for a writer.
TEST_F(LauncherEndToEnd, SettingsFifoReadsAsMissing) {
    InstallPlayer(std::nullopt);
    ASSERT_EQ(::mkfifo((InstallDir() / "settings.ini").c_str(), 0600), 0);
    RunOptions options;
    options.routes = "{" + VersionRoute("0") + "}";
    EXPECT_EQ(RunLauncher(options), 0);
    ExpectPlayerStarted();
    EXPECT_EQ(FRequests, std::vector<std::string>{kVersionPath});
}

TEST_F(LauncherEndToEnd, DownloadWithoutContentLengthIsWrittenWhole) {
    if (!HaveDisplay()) {
        GTEST_SKIP() << "no X display and no Xvfb";
    }
    InstallPlayer("[Velora Player]\nLocalVersion=1\n");
    RunOptions options;
    options.routes =
        "{" + VersionRoute("2") + ", " + UpdaterRoute(", \"no_content_length\": true") + "}";
    EXPECT_EQ(RunLauncher(options), 0);
    ExpectUpdaterStarted("2");
}

// The body goes to disk as it arrives: a large updater costs no more memory than a small one.
TEST_F(LauncherEndToEnd, PeakMemoryDoesNotGrowWithTheUpdater) {
    if (!HaveDisplay()) {
        GTEST_SKIP() << "no X display and no Xvfb";
    }
    std::uint64_t peak[2] = {};
    const std::uint64_t sizes[2] = {1u << 20, 64u << 20};
    for (int i = 0; i < 2; ++i) {
        InstallPlayer("[Velora Player]\nLocalVersion=1\n");
        RunOptions options;
        // Freed blocks that ASan holds back would count as the download's.
        options.asanOptions = "quarantine_size_mb=0";
        options.routes = "{" + VersionRoute("2") + ", \"" + kUpdaterPath +
                         "\": {\"status\": 200, \"body_size\": " + std::to_string(sizes[i]) + "}}";
        EXPECT_EQ(RunLauncher(options), 0);
        ExpectPlayerStarted(); // the body is no program
        peak[i] = FPeakMemory;
        fs::remove(FLog);
    }
    EXPECT_LT(peak[1], peak[0] + (16u << 20)) << peak[0] << " then " << peak[1];
}

TEST_F(LauncherEndToEnd, EndlessVersionDocumentCostsLittleAndStartsThePlayer) {
    const std::string settings = "[Velora Player]\nLocalVersion=1\n";
    InstallPlayer(settings);
    RunOptions options;
    options.routes = std::string("{\"") + kVersionPath +
                     "\": {\"body\": \"99999999\", \"chunked\": true, \"endless\": true}}";
    EXPECT_EQ(RunLauncher(options), 0);
    ExpectPlayerStarted();
    EXPECT_LT(FPeakMemory, 256u << 20);
    EXPECT_EQ(FRequests, std::vector<std::string>{kVersionPath});
}

TEST_F(LauncherEndToEnd, HomeWithoutDataHomeVariable) {
    InstallPlayer("[Velora Player]\nLocalVersion=7\n", false);
    RunOptions options;
    options.useXdgDataHome = false;
    options.routes = "{" + VersionRoute("7") + "}";
    EXPECT_EQ(RunLauncher(options), 0);
    ExpectPlayerStarted(false);
}

TEST_F(LauncherEndToEnd, MessageWithoutDisplayFallsBackToThePlayer) {
    const std::string settings = "[Velora Player]\nLocalVersion=1\n";
    InstallPlayer(settings);
    WriteFile(InstallDir() / "updater.exe", "old updater");
    RunOptions options;
    options.display = false;
    options.routes = "{" + VersionRoute("2") + ", " + UpdaterRoute() + "}";
    EXPECT_EQ(RunLauncher(options), 0);
    ExpectPlayerStarted();
    EXPECT_EQ(FRequests, std::vector<std::string>{kVersionPath});
    EXPECT_FALSE(fs::exists(InstallDir() / "updater.exe"));
    EXPECT_EQ(ReadFile(InstallDir() / "settings.ini"), settings);
}

class ConnectionFailure : public LauncherEndToEnd, public testing::WithParamInterface<Server> {};

TEST_P(ConnectionFailure, StartsThePlayer) {
    const std::string settings = "[Velora Player]\nLocalVersion=1\n";
    InstallPlayer(settings);
    RunOptions options;
    options.server = GetParam();
    options.routes = "{" + VersionRoute("2") + ", " + UpdaterRoute() + "}";
    EXPECT_EQ(RunLauncher(options), 0);
    ExpectPlayerStarted();
    EXPECT_TRUE(FRequests.empty());
    EXPECT_EQ(FMessagesClosed, 0);
    EXPECT_EQ(ReadFile(InstallDir() / "settings.ini"), settings);
}

INSTANTIATE_TEST_SUITE_P(Paths, ConnectionFailure,
                         testing::Values(Server::None, Server::SelfSigned, Server::Expired,
                                         Server::WrongHost),
                         [](const testing::TestParamInfo<Server>& p) {
                             switch (p.param) {
                             case Server::None:
                                 return std::string("Refused");
                             case Server::SelfSigned:
                                 return std::string("SelfSigned");
                             case Server::Expired:
                                 return std::string("Expired");
                             default:
                                 return std::string("WrongHost");
                             }
                         });

// Signed updates: the test build with the test keys compiled in (current and previous), the
// documents made by velora-sign with the keys the build made.
constexpr char kSignaturePath[] = "/library/controllers/software/updater.exe.sig";

enum class Signature { Valid, Missing, Garbage };

struct SignedCase {
    const char* name;
    const char* signer; // test key that signs
    const char* signedVersion;
    Signature signature;
    bool tampered;         // the server hands out the signed body with one byte changed
    bool starts;           // the updater starts
    bool downloads = true; // the updater is asked for
    const char* versionDocument = "42"; // what the server says the version is
    std::size_t signedShorterBy = 0;    // the signed updater lacks the served one's last bytes
};
void PrintTo(const SignedCase& c, std::ostream* os) {
    *os << c.name;
}

class SignedUpdate : public LauncherEndToEnd, public testing::WithParamInterface<SignedCase> {
protected:
    void SetUp() override {
        LauncherEndToEnd::SetUp();
        FBinary = VELORA_LAUNCHER_SIGNED_BINARY;
    }

    // The signature document velora-sign writes for the served updater, or for its first
    // bytes.
    std::string Sign(const std::string& key, const std::string& version,
                     std::size_t shorterBy = 0) {
        const fs::path out = FRoot / "sign.out";
        const fs::path signedFile = FRoot / "signed-updater";
        WriteFile(signedFile, FUpdaterBody.substr(0, FUpdaterBody.size() - shorterBy));
        const std::string command = std::string("'") + VELORA_SIGN_TOOL + "' sign --key '" +
                                    VELORA_TEST_KEYS_DIR + "/" + key + ".key' --version " +
                                    version + " '" + signedFile.string() + "' > '" + out.string() +
                                    "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return ReadFile(out).value_or("");
    }

    std::string Routes(const std::string& signatureRoute, const std::string& version = "42",
                       const std::string& updaterOptions = "") {
        return "{" + VersionRoute(version) + ", " + UpdaterRoute(updaterOptions) +
               (signatureRoute.empty() ? "" : ", ") + signatureRoute + "}";
    }
};

TEST_P(SignedUpdate, StartsOnlyAnUpdaterSignedForThisVersion) {
    if (!HaveDisplay()) {
        GTEST_SKIP() << "no X display and no Xvfb";
    }
    const SignedCase& c = GetParam();
    const std::string settings = "[Velora Player]\nLocalVersion=41\n";
    InstallPlayer(settings);
    WriteFile(InstallDir() / "updater.exe", "old updater");
    std::string route;
    if (c.signature == Signature::Valid) {
        WriteFile(FRoot / "served.sig", Sign(c.signer, c.signedVersion, c.signedShorterBy));
        route = std::string("\"") + kSignaturePath + "\": {\"body_file\": \"" +
                (FRoot / "served.sig").string() + "\"}";
    } else if (c.signature == Signature::Garbage) {
        route = std::string("\"") + kSignaturePath +
                "\": {\"body\": \"<html><body>It works!</body></html>\"}";
    }
    if (c.tampered) {
        FUpdaterBody[FUpdaterBody.size() / 2] ^= 0x01;
        WriteFile(FUpdaterFile, FUpdaterBody);
    }
    RunOptions options;
    // Without a length the body's end is seen only when it overflows the signed size.
    options.routes = Routes(route, c.versionDocument,
                            c.signedShorterBy != 0 ? ", \"no_content_length\": true" : "");
    EXPECT_EQ(RunLauncher(options), 0);
    EXPECT_EQ(FMessagesClosed, 1);
    // The signature comes first; the updater is asked for only when it holds.
    const std::vector<std::string> requests =
        c.downloads ? std::vector<std::string>{kVersionPath, kSignaturePath, kUpdaterPath}
                    : std::vector<std::string>{kVersionPath, kSignaturePath};
    EXPECT_EQ(FRequests, requests);
    if (c.starts) {
        ExpectUpdaterStarted("42");
    } else {
        ExpectPlayerStarted();
        EXPECT_FALSE(fs::exists(InstallDir() / "updater.exe"));
    }
    EXPECT_FALSE(fs::exists(InstallDir() / "updater.exe.part"));
    EXPECT_EQ(ReadFile(InstallDir() / "settings.ini"), settings);
}

INSTANTIATE_TEST_SUITE_P(
    Signatures, SignedUpdate,
    testing::Values(
        SignedCase{"Valid", "current", "42", Signature::Valid, false, true},
        SignedCase{"PreviousKeyOfARotatedSet", "previous", "42", Signature::Valid, false, true},
        // The signed number is compared as a number, not as text.
        SignedCase{"VersionDocumentWithLeadingZero", "current", "42", Signature::Valid, false, true,
                   true, "042"},
        SignedCase{"VersionDocumentInHex", "current", "42", Signature::Valid, false, true, true,
                   "$2A"},
        SignedCase{"TamperedBody", "current", "42", Signature::Valid, true, false},
        SignedCase{"BodyLongerThanSigned", "current", "42", Signature::Valid, false, false, true,
                   "42", 1},
        SignedCase{"SignedForAnotherVersion", "current", "41", Signature::Valid, false, false,
                   false},
        SignedCase{"UnknownKey", "unknown", "42", Signature::Valid, false, false, false},
        SignedCase{"MissingSignature", "", "", Signature::Missing, false, false, false},
        SignedCase{"GarbageSignature", "", "", Signature::Garbage, false, false, false}),
    [](const testing::TestParamInfo<SignedCase>& p) { return p.param.name; });

// The keyless build and the signed one ask for the version and the updater with the same bytes;
// only the signed one asks for more, on the same client (the cookie travels on).
TEST_F(LauncherEndToEnd, BuildWithoutKeysNeverAsksForASignature) {
    if (!HaveDisplay()) {
        GTEST_SKIP() << "no X display and no Xvfb";
    }
    InstallPlayer("[Velora Player]\nLocalVersion=41\n");
    const std::string cookieVersion = std::string("\"") + kVersionPath +
                                      "\": {\"body\": \"42\", \"headers\": [[\"Set-Cookie\", "
                                      "\"session=abc; Path=/\"]]}";
    RunOptions options;
    options.routes = "{" + cookieVersion + ", " + UpdaterRoute() + ", \"" + kSignaturePath +
                     "\": {\"body\": \"not looked at\"}}";
    EXPECT_EQ(RunLauncher(options), 0);
    ExpectUpdaterStarted("42");
    EXPECT_EQ(FRequests, (std::vector<std::string>{kVersionPath, kUpdaterPath}));
    const std::vector<test::LoggedRequest> keyless = FLogged;

    fs::remove(FLog);
    fs::remove(InstallDir() / "updater.exe");
    FRequests.clear();
    FBinary = VELORA_LAUNCHER_SIGNED_BINARY;
    EXPECT_EQ(RunLauncher(options), 0);
    ExpectPlayerStarted();
    ASSERT_EQ(FRequests, (std::vector<std::string>{kVersionPath, kSignaturePath}));
    for (std::size_t i = 0; i < keyless.size(); ++i) {
        EXPECT_EQ(FLogged[i].method, keyless[i].method);
        EXPECT_EQ(FLogged[i].headers, keyless[i].headers) << FLogged[i].path;
    }
    EXPECT_EQ(FLogged[1].Header("Cookie"), "session=abc");
}

} // namespace
} // namespace velora
