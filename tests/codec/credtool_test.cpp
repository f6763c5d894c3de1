// velora-credtool as its users run it, and the set-file format it shares with the build.
#include "codec/codec.hpp"
#include "program_codec.hpp"
#include "tools/credtool/set_file.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace velora {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
// Standard error stays in text mode there.
const std::string kErrorLineEnd = "\r\n";
#else
const std::string kErrorLineEnd = "\n";
#endif

int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return getpid();
#endif
}

struct ToolResult {
    int status = -1;
    std::string out;
    std::string err;
};

class CredTool : public testing::Test {
protected:
    void SetUp() override {
        FDir = fs::temp_directory_path() /
               ("credtool_test_" + std::to_string(ProcessId()) + "_" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(FDir);
    }
    void TearDown() override { fs::remove_all(FDir); }

    std::string Path(const std::string& name) const { return (FDir / name).string(); }

    std::string Write(const std::string& name, const std::string& content) const {
        std::ofstream(Path(name), std::ios::binary) << content;
        return Path(name);
    }

    std::string Read(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // shellPrefix (POSIX only) goes before the command, as in "ulimit -f 1; ".
    ToolResult Run(const std::vector<std::string>& args, const std::string& input = "",
                   const std::string& shellPrefix = "") const {
#ifdef _WIN32
        // cmd.exe: the tests' arguments hold no double quotes.
        auto quote = [](const std::string& s) { return "\"" + s + "\""; };
#else
        auto quote = [](const std::string& s) {
            std::string q = "'";
            for (char c : s) {
                q += c == '\'' ? std::string("'\\''") : std::string(1, c);
            }
            return q + "'";
        };
#endif
        std::string command = quote(VELORA_CREDTOOL);
        for (const auto& a : args) {
            // Two appends, not " " + quote(a): GCC 12 at -O3 warns on that (-Wrestrict).
            command += ' ';
            command += quote(a);
        }
        Write("stdin", input);
        command += " < " + quote(Path("stdin")) + " > " + quote(Path("stdout")) + " 2> " +
                   quote(Path("stderr"));
        ToolResult result;
#ifdef _WIN32
        (void)shellPrefix;
        // The whole line in one more pair of quotes, which cmd.exe takes off again.
        result.status = std::system(("\"" + command + "\"").c_str());
#else
        const int raw = std::system((shellPrefix + command).c_str());
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
        result.out = Read("stdout");
        result.err = Read("stderr");
        return result;
    }

private:
    fs::path FDir;
};

// Blanks, quotes, '=', backslashes and trailing blanks, then a CR LF line end that is not part of
// the password.
const std::string kPassword = " pass \"word\" = 'x' \\ back\\\\slash  ";

TEST_F(CredTool, EncryptAndDecryptRoundTripExactly) {
    const std::string pw = Write("pw", kPassword + "\r\n");
    const std::string text = "Gr\xc3\xbc\xc3\x9f"
                             "e\n with a line end at the end\n";
    const ToolResult enc = Run({"encrypt", "--password-file", pw}, text);
    ASSERT_EQ(enc.status, 0) << enc.err;
    ASSERT_EQ(enc.out.back(), '\n');
    EXPECT_EQ(enc.out.size(), (8 + text.size() + 2) / 3 * 4 + 1);

    for (const std::string lineEnd : {"", "\n", "\r\n"}) {
        const std::string base64 = enc.out.substr(0, enc.out.size() - 1) + lineEnd;
        const ToolResult dec = Run({"decrypt", "--password-file", pw}, base64);
        EXPECT_EQ(dec.status, 0) << dec.err;
        EXPECT_EQ(dec.out, text);
    }

    // The launcher's codec under the same password reads what the tool wrote.
    EXPECT_EQ(
        ToUtf8(ProgramCodec(U16(kPassword)).Decrypt(U16(enc.out.substr(0, enc.out.size() - 1)))),
        text);
}

TEST_F(CredTool, ExitStatusAndMessages) {
    const std::string pw = Write("pw", kPassword);
    const std::string other = Write("other", "another password entirely, also long");
    const std::string text(64, 'q');
    const std::string base64 = Run({"encrypt", "--password-file", pw}, text).out;
    const std::string lenient =
        "warning: the input is not canonical Base64; it was read leniently, as the launcher "
        "reads it, as ";
    const std::string noCipherText = "warning: the input holds no ciphertext: it decodes to ";
    const std::string tooShort = "the input holds no ciphertext: it decodes to ";

    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out;
        // Exact lines; a single empty line: any message.
        std::vector<std::string> err;
    };
    const Case cases[] = {
        {{"decrypt", "--password-file", other},
         base64,
         1,
         "",
         {"No mapping for the Unicode character exists in the target multi-byte code page",
          "the decrypted bytes are not UTF-8 text: a wrong password or a damaged ciphertext is "
          "the usual cause"}},
        {{"decrypt", "--password-file", pw, "--chain", "native.CFB"},
         base64,
         1,
         "",
         {"TSimpleCodec.Begin_DecryptMemory - Algorithms not set."}},
        {{"decrypt", "--password-file", pw, "--stream", "native.Nothing"},
         base64,
         1,
         "",
         {"TSimpleCodec.Begin_DecryptMemory - Wrong mode."}},
        {{"decrypt", "--password-file", Write("empty", "\n")}, base64, 1, "", {""}},
        {{"decrypt"}, base64, 1, "", {""}},
        {{"frobnicate"}, "", 1, "", {""}},
        // Read as the launcher reads it, with a word about what it made of the text.
        {{"decrypt", "--password-file", pw},
         base64.substr(0, base64.size() - 1) + "Zm9\n",
         0,
         text,
         {lenient + "72 bytes"}},
        {{"decrypt", "--password-file", pw},
         "AAAAAAAAAAA=",
         0,
         "",
         {noCipherText + "8 bytes, and the first 8 are the nonce"}},
        // Not even a nonce: nothing the launcher could have stored.
        {{"decrypt", "--password-file", pw},
         "AAAAAAAAAA",
         1,
         "",
         {lenient + "6 bytes", tooShort + "6 bytes, fewer than the 8 of the nonce"}},
        {{"decrypt", "--password-file", pw},
         "",
         1,
         "",
         {tooShort + "0 bytes, fewer than the 8 of the nonce"}},
    };
    for (const Case& c : cases) {
        const ToolResult r = Run(c.args, c.input);
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.input;
        EXPECT_EQ(r.out, c.out);
        if (c.err == std::vector<std::string>{""}) {
            EXPECT_FALSE(r.err.empty());
            continue;
        }
        std::string lines;
        for (const std::string& line : c.err) {
            lines += line + kErrorLineEnd;
        }
        EXPECT_EQ(r.err, lines) << c.input;
    }
}

// A long password is hashed in an encoding; one that encoding cannot hold is refused, because
// each such character would count as "?" and other passwords would decrypt the same texts.
TEST_F(CredTool, PasswordsTheKeyDerivationCannotHoldAreRefused) {
    const std::string cyrillic = "\xd0\x9f\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c"; // six letters
    const std::string longCyrillic = Write("long", "password-" + cyrillic + "-and-more");
    const std::string otherCyrillic =
        Write("other", "password-\xd0\x9a\xd0\xbb\xd1\x8e\xd1\x87\xd0\xb8\xd0\xba-and-more");
    const std::string shortCyrillic = Write("short", cyrillic);
    const std::string latin1 = Write("latin1", "Gr\xc3\xbc\xc3\x9f"
                                               "e, a long password");
    const std::string refusal = "the password's character 10, U+041F, cannot be represented in "
                                "cp1252";

    for (const char* command : {"encrypt", "decrypt"}) {
        const ToolResult r = Run({command, "--password-file", longCyrillic}, "AAAA");
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.err.rfind(refusal, 0), 0u) << r.err;
        // Neither the secret's character nor an option whose ciphertexts the launcher cannot
        // decrypt.
        EXPECT_EQ(r.err.find("\xd0"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("--encoding"), std::string::npos) << r.err;
    }
    std::vector<std::string> makeSet = {"make-set", "--password-file", longCyrillic, "--output",
                                        Path("set")};
    for (int i = 0; i < 5; ++i) {
        makeSet.push_back(Write("plain" + std::to_string(i), "text"));
    }
    EXPECT_EQ(Run(makeSet).err.rfind(refusal, 0), 0u);
    EXPECT_FALSE(fs::exists(Path("set")));

    // What the derivation represents faithfully is allowed: a password short enough to be taken
    // as it is, one the ANSI code page holds, and any one hashed as UTF-8.
    const std::vector<std::string> utf8 = {"--encoding", "utf-8"};
    const std::pair<std::string, std::vector<std::string>> allowed[] = {
        {shortCyrillic, {}}, {latin1, {}}, {longCyrillic, utf8}};
    for (const auto& [password, options] : allowed) {
        std::vector<std::string> enc = {"encrypt", "--password-file", password};
        enc.insert(enc.end(), options.begin(), options.end());
        const ToolResult e = Run(enc, "secret text");
        ASSERT_EQ(e.status, 0) << password << e.err;
        enc[0] = "decrypt";
        EXPECT_EQ(Run(enc, e.out).out, "secret text") << password;
    }
    // Hashed as UTF-8, another password of the same length no longer decrypts it.
    std::vector<std::string> enc = {"encrypt", "--password-file", longCyrillic, "--encoding",
                                    "utf-8"};
    const std::string base64 = Run(enc, "secret text").out;
    enc[0] = "decrypt";
    enc[2] = otherCyrillic;
    EXPECT_EQ(Run(enc, base64).status, 1);
}

TEST_F(CredTool, AnsiEncodingOptionChangesTheTextBytes) {
    const std::string pw = Write("pw", kPassword);
    const std::string text = "caf\xc3\xa9";
    const ToolResult enc = Run({"encrypt", "--password-file", pw, "--encoding", "ansi"}, text);
    ASSERT_EQ(enc.status, 0);
    // One byte for the accented letter, not two.
    EXPECT_EQ(enc.out.size(), (8 + 4 + 2) / 3 * 4 + 1);
    EXPECT_EQ(Run({"decrypt", "--password-file", pw, "--encoding", "ansi"}, enc.out).out, text);
    EXPECT_EQ(Run({"decrypt", "--password-file", pw}, enc.out).status, 1);

    // Text the code page lacks would come back as "?": refused, the character not printed.
    const ToolResult lost = Run({"encrypt", "--password-file", pw, "--encoding", "ansi"},
                                "Zhenya \xd0\x96 \xe4\xb8\x96");
    EXPECT_EQ(lost.status, 1);
    EXPECT_EQ(lost.out, "");
    EXPECT_EQ(lost.err, "the text's character 8, U+0416, cannot be represented in cp1252 "
                        "(--encoding): it would be encrypted as \"?\"" +
                            kErrorLineEnd);
}

TEST_F(CredTool, MakeSetThenCheckSet) {
    const std::string pw = Write("pw", std::string(250, 'p') + " =\\\"  \n");
    std::vector<std::string> args = {"make-set", "--password-file", pw, "--output", Path("set")};
    const int lengths[] = {128, 128, 128, 64, 128};
    for (int i = 0; i < 5; ++i) {
        args.push_back(Write("plain" + std::to_string(i), std::string(lengths[i], 'a' + i)));
    }
    const ToolResult made = Run(args);
    ASSERT_EQ(made.status, 0) << made.err;
#ifndef _WIN32
    // Windows has no such bits; the file takes the access rules of its folder.
    EXPECT_EQ(fs::status(Path("set")).permissions() & fs::perms::group_all, fs::perms::none);
#endif

    const auto set = credtool::ParseCredentialSet(Read("set"), "set");
    EXPECT_EQ(set.password, std::string(250, 'p') + " =\\\"  ");
    const std::size_t expectedLengths[] = {184, 184, 184, 96, 184};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(set.cipherTexts[i].size(), expectedLengths[i]);
    }

    const ToolResult checked = Run({"check-set", Path("set")});
    EXPECT_EQ(checked.status, 0) << checked.err;
    EXPECT_TRUE(checked.err.empty()) << checked.err;

    // A damaged ciphertext is named.
    std::string damaged = Read("set");
    const std::size_t at = damaged.find("httppass ") + 40;
    damaged[at] = damaged[at] == 'A' ? 'B' : 'A';
    const ToolResult bad = Run({"check-set", Write("damaged", damaged)});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err.rfind("httppass: ", 0), 0u) << bad.err;

    // A credential the launcher would read as empty is no success.
    for (const std::string& empty : {std::string("AAAA"), std::string()}) {
        std::string content = Read("set");
        const std::size_t from = content.find("\nsecret ") + 8;
        content.replace(from, content.find('\n', from) - from, empty);
        const ToolResult r = Run({"check-set", Write("empty", content)});
        EXPECT_EQ(r.status, 1) << empty;
        EXPECT_EQ(r.err.rfind("secret: decrypts to no text", 0), 0u) << r.err;
    }

    // The set records no options: make-set takes the launcher's, or refuses naming the option.
    const std::vector<std::string> options[] = {{"--encoding", "ansi"},
                                                {"--stream", "native.XOR"},
                                                {"--block", "native.AES-128"},
                                                {"--chain", "native.CFB-8bit"},
                                                {"--encoding", "utf-8"}};
    for (const auto& option : options) {
        std::vector<std::string> withOption = args;
        withOption[4] = Path("other");
        withOption.insert(withOption.begin() + 1, option.begin(), option.end());
        const ToolResult r = Run(withOption);
        const bool launchers = option[1] == "utf-8";
        EXPECT_EQ(r.status, launchers ? 0 : 1) << option[0] << r.err;
        EXPECT_EQ(r.err.find(option[0]) != std::string::npos, !launchers) << r.err;
        EXPECT_EQ(fs::exists(Path("other")), launchers);
        fs::remove(Path("other"));
    }
    // Nor does it write a set with a credential the launcher would read as empty.
    std::vector<std::string> withEmpty = args;
    withEmpty[4] = Path("other");
    withEmpty[8] = Write("nothing", "");
    EXPECT_EQ(Run(withEmpty).err.rfind("secret: decrypts to no text", 0), 0u);
    EXPECT_FALSE(fs::exists(Path("other")));

#ifndef _WIN32
    // A link at the output is replaced, not written through.
    Write("victim", "victim");
    fs::create_symlink(Path("victim"), Path("linked"));
    args[4] = Path("linked");
    EXPECT_EQ(Run(args).status, 0);
    EXPECT_EQ(Read("victim"), "victim");
    EXPECT_FALSE(fs::is_symlink(Path("linked")));
    // A write that fails leaves the old set as it was, and nothing beside it.
    const std::string before = Read("set");
    args[4] = Path("set");
    EXPECT_EQ(Run(args, "", "ulimit -f 1; ").status, 1);
    EXPECT_EQ(Read("set"), before);
    for (const auto& entry : fs::directory_iterator(fs::path(Path("set")).parent_path())) {
        EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
    }
#endif

    // Only printable-ASCII passwords go into a set.
    args[2] = Write("pw2", "p\xc3\xa4ssword");
    EXPECT_EQ(Run(args).status, 1);
}

TEST_F(CredTool, HelpDescribesTheCommandsAndTheSetFormat) {
    const ToolResult r = Run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"encrypt", "decrypt", "make-set", "check-set", "--stream", "--block",
                             "--chain", "--encoding", "password-hex", "velora-credential-set 1"}) {
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    }
}

TEST(CredentialSetFile, RejectsMalformedSets) {
    const std::string body = "password-hex 41\nLocalFileCrypto \nhttpuser QQ==\nhttppass \n"
                             "secret \napisecret \n";
    const std::string header = "velora-credential-set 1\n";
    const std::pair<std::string, std::string> cases[] = {
        {body, "expected \"velora-credential-set 1\""},
        {header + body + "secret \n", "\"secret\" given twice"},
        {header + body + "other x\n", "unknown name \"other\""},
        {header + "password-hex 414\n" + body.substr(16), "even number of hex digits"},
        {header + "password-hex 4109\n" + body.substr(16), "not printable ASCII"},
        {header + "password-hex 41\nLocalFileCrypto QQ ==\n" + body.substr(33),
         "is not Base64 text"},
        {header + "password-hex 41\n", "\"LocalFileCrypto\" is missing"},
    };
    for (const auto& [content, problem] : cases) {
        try {
            credtool::ParseCredentialSet(content, "f");
            ADD_FAILURE() << "accepted: " << content;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(problem), std::string::npos) << e.what();
        }
    }
    // CR LF line ends and comments anywhere are fine.
    std::string crlf = "# comment\r\n" + header + body;
    for (std::size_t p = 0; (p = crlf.find('\n', p)) != std::string::npos; p += 2) {
        if (crlf[p - 1] != '\r') {
            crlf.insert(p, 1, '\r');
        }
    }
    const auto set = credtool::ParseCredentialSet(crlf, "f");
    EXPECT_EQ(set.password, "A");
    EXPECT_EQ(set.cipherTexts[1], "QQ==");
}

} // namespace
} // namespace velora
