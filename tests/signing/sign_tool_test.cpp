// velora-sign as a release manager runs it: keys, documents the launcher's check accepts, and
// refusals that write nothing.
#include "signing/key_file.hpp"
#include "signing/update_check.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velora {
namespace {

namespace fs = std::filesystem;

struct ToolResult {
    int status = -1;
    std::string out;
    std::string err;
};

class SignTool : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velora-sign-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        FDir = pattern;
    }
    void TearDown() override { fs::remove_all(FDir); }

    std::string Path(const std::string& name) const { return (FDir / name).string(); }
    std::string Write(const std::string& name, const std::string& content) const {
        std::ofstream(Path(name), std::ios::binary) << content;
        return Path(name);
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static std::string Quote(const std::string& s) {
        std::string q = "'";
        for (const char c : s) {
            q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        return q + "'";
    }

    // Runs the tool after the shell commands in setup (a umask, a file-size limit). Standard
    // error comes through a pipe, which no file-size limit reaches, followed by the exit status.
    ToolResult Run(const std::vector<std::string>& args, const char* setup = "umask 022") const {
        std::string command = std::string(setup) + "; " + Quote(VELORA_SIGN_TOOL);
        // Appends, not " " + Quote(a): GCC 12 at -O3 warns on that (-Wrestrict).
        for (const std::string& a : args) {
            command += ' ';
            command += Quote(a);
        }
        command += " 2>&1 > ";
        command += Quote(Path("stdout"));
        command += "; echo \" $?\"";
        ToolResult result;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) {
            ADD_FAILURE() << "popen";
            return result;
        }
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
            result.err.append(chunk, n);
        }
        ::pclose(pipe);
        const std::size_t status = result.err.rfind(' ');
        if (status != std::string::npos) {
            result.status = std::atoi(result.err.c_str() + status + 1);
            result.err.erase(status);
        }
        result.out = Read(Path("stdout"));
        return result;
    }

    // A new key pair in <name>.key and <name>.pub.
    void KeyGen(const std::string& name) {
        const ToolResult r =
            Run({"keygen", "--private", Path(name + ".key"), "--public", Path(name + ".pub")});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    fs::path FDir;
};

TEST_F(SignTool, KeysSignAndVerifyAsTheLauncherDoes) {
    // No umask protects the private key: the tool sets its mode itself.
    const ToolResult gen =
        Run({"keygen", "--private", Path("new.key"), "--public", Path("new.pub")}, "umask 000");
    ASSERT_EQ(gen.status, 0) << gen.err;
    EXPECT_EQ(fs::status(Path("new.key")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(gen.out.empty());
    KeyGen("old");

    std::string body = "MZ";
    for (unsigned i = 0; i < 300000; ++i) {
        body += static_cast<char>(i * 7919u % 251u);
    }
    const std::string updater = Write("updater.exe", body);
    // The document of an earlier signing is replaced, and readable for publishing.
    const std::string sig = Write("updater.exe.sig", "earlier");
    const ToolResult sign =
        Run({"sign", "--key", Path("old.key"), "--version", "-7", "--output", sig, updater});
    ASSERT_EQ(sign.status, 0) << sign.err;
    EXPECT_TRUE(sign.err.empty()) << sign.err;
    EXPECT_TRUE(sign.out.empty()) << sign.out;
    const std::string document = Read(sig);
    EXPECT_EQ(fs::status(sig).permissions(), fs::perms::owner_read | fs::perms::owner_write |
                                                 fs::perms::group_read | fs::perms::others_read);

    // A rotated keys file: the new key first, the old one still accepted.
    const std::string keys =
        Write("keys.pem", "# new\n" + Read(Path("new.pub")) + "# old\n" + Read(Path("old.pub")));
    const ToolResult ok = Run({"verify", "--keys", keys, "--version", "-7", updater, sig});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_NE(ok.out.find("by key 2 of 2"), std::string::npos) << ok.out;

    // The launcher's own check accepts the document with the keys the build would compile in.
    const std::unique_ptr<ISignatureVerifier> verifier = CreateSignatureVerifier();
    const std::unique_ptr<ISha256> hash = verifier->CreateSha256();
    hash->Update({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()});
    EXPECT_EQ(CheckUpdaterSignature(ParseUpdateKeyFile(Read(keys)), *verifier, -7,
                                    static_cast<std::int64_t>(body.size()), hash->Final(),
                                    document),
              1u);

    struct Refusal {
        const char* name;
        std::vector<std::string> args;
        const char* message;
    };
    const std::string tampered = Write("tampered.exe", body + "!");
    const Refusal refusals[] = {
        {"another version", {"--keys", keys, "--version", "7", updater, sig}, "for version -7"},
        {"another body", {"--keys", keys, "--version", "-7", tampered, sig}, "SHA-256"},
        {"rotated out",
         {"--keys", Path("new.pub"), "--version", "-7", updater, sig},
         "none of the 1"},
        {"garbage document", {"--keys", keys, "--version", "-7", updater, keys}, "line 1"},
    };
    for (const Refusal& r : refusals) {
        std::vector<std::string> args = {"verify"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const ToolResult result = Run(args);
        EXPECT_EQ(result.status, 1) << r.name;
        EXPECT_TRUE(result.out.empty()) << r.name << ": " << result.out;
        EXPECT_NE(result.err.find(r.message), std::string::npos) << r.name << ": " << result.err;
    }
}

TEST_F(SignTool, BadInputIsRefusedAndNothingIsWritten) {
    KeyGen("k");
    const std::string updater = Write("updater.exe", "MZ updater");
    const std::string p384 = Path("p384.key");
    ASSERT_EQ(std::system(("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out " +
                           Quote(p384) + " 2>/dev/null")
                              .c_str()),
              0);
    const std::string data = VELORA_SIGNING_TEST_DATA "/keys/";
    const std::string sig = Write("doc.sig", "velora-updater-signature 1\n");
    // A refused or failed signing leaves the published document as it was.
    const std::string published = Write("published.sig", "published");
    const std::string shared = Write("shared.key", Read(Path("k.key")));
    fs::permissions(shared, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // ASan would insist on coming first.
    const std::string failingClose = "export LD_PRELOAD=" + Quote(VELORA_FAILING_CLOSE) +
                                     " ASAN_OPTIONS=verify_asan_link_order=0";

    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string message;
        const char* setup = "umask 022";
    };
    const Case cases[] = {
        {"keygen over a private key",
         {"keygen", "--private", Path("k.key"), "--public", Path("fresh.pub")},
         "exists already"},
        {"keygen over a public key",
         {"keygen", "--private", Path("fresh.key"), "--public", Path("k.pub")},
         "exists already"},
        {"keygen into a missing folder",
         {"keygen", "--private", Path("fresh.key"), "--public", Path("no/such/fresh.pub")},
         "cannot create"},
        {"keygen when closing the key fails",
         {"keygen", "--private", Path("fresh.key"), "--public", Path("fresh.pub")},
         "cannot write " + Path("fresh.key") + ": Input/output error",
         failingClose.c_str()},
        {"keygen past a file-size limit",
         {"keygen", "--private", Path("fresh.key"), "--public", Path("fresh.pub")},
         "cannot write " + Path("fresh.key") + ": File too large",
         "ulimit -f 0"},
        {"sign without a key", {"sign", "--version", "1", updater}, "--key"},
        {"sign with a missing key",
         {"sign", "--key", Path("none.key"), "--version", "1", updater},
         "cannot read"},
        {"sign with a public key",
         {"sign", "--key", Path("k.pub"), "--version", "1", updater},
         "no private key"},
        {"sign with a P-384 key", {"sign", "--key", p384, "--version", "1", updater}, "P-256"},
        {"sign an unreadable file",
         {"sign", "--key", Path("k.key"), "--version", "1", Path("none.exe")},
         "cannot read"},
        {"sign a folder",
         {"sign", "--key", Path("k.key"), "--version", "1", FDir.string()},
         "not a regular file"},
        {"sign without a version", {"sign", "--key", Path("k.key"), updater}, "--version"},
        {"version with a leading zero",
         {"sign", "--key", Path("k.key"), "--version", "042", "--output", published, updater},
         "not a decimal"},
        {"sign past a file-size limit",
         {"sign", "--key", Path("k.key"), "--version", "1", "--output", published, updater},
         "File too large",
         "ulimit -f 0"},
        {"sign with a key others can read",
         {"sign", "--key", shared, "--version", "1", "--output", published, updater},
         "(mode 0640); a private key must be its owner's alone: chmod 600 " + shared},
        {"sign over the updater",
         {"sign", "--key", Path("k.key"), "--version", "1", "--output", updater, updater},
         "would replace"},
        {"version out of range",
         {"sign", "--key", Path("k.key"), "--version", "2147483648", updater},
         "not a decimal"},
        {"version in hex",
         {"sign", "--key", Path("k.key"), "--version", "0x2A", updater},
         "not a decimal"},
        {"version with a sign",
         {"sign", "--key", Path("k.key"), "--version", "+1", updater},
         "not a decimal"},
        {"keys file with a private key",
         {"verify", "--keys", data + "bad-private.pem", "--version", "1", updater, sig},
         "a private key"},
        {"key off the curve",
         {"verify", "--keys", data + "bad-off-curve.pem", "--version", "1", updater, sig},
         "not a point of the curve"},
        {"no command", {}, "no command"},
    };
    const std::vector<std::string> before = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(FDir)) {
            names.push_back(e.path().filename().string());
        }
        return names;
    }();
    for (const Case& c : cases) {
        const ToolResult r = Run(c.args, c.setup);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_TRUE(r.out.empty()) << c.name << ": " << r.out;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
        EXPECT_FALSE(fs::exists(Path("fresh.key"))) << c.name;
        EXPECT_FALSE(fs::exists(Path("fresh.pub"))) << c.name;
    }
    EXPECT_EQ(Read(published), "published");
    EXPECT_EQ(Read(updater), "MZ updater");
    std::size_t after = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(FDir)) {
        ++after;
    }
    EXPECT_EQ(after, before.size());
}

} // namespace
} // namespace velora
