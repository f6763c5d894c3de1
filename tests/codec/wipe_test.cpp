// Secrets leave no copies behind: this program replaces the global allocation functions, and
// while a check runs, every block released through them is searched for pieces of the secrets
// it was told about. Blocks that held a secret must have been wiped before they went.
#include "codec/base64.hpp"
#include "codec/codec.hpp"
#include "program_codec.hpp"
#include "rtl/encoding.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"
#include "tools/credtool/credtool.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

// The replacements below pair malloc with free behind a header; GCC cannot see that through
// the inlined replacements and warns.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

// Any 8 bytes in a row of a secret count as a piece of it.
constexpr std::size_t kPieceBytes = 8;
constexpr std::size_t kMaxSecrets = 8;
constexpr std::size_t kMaxSecretBytes = 256;

struct Watched {
    unsigned char bytes[kMaxSecretBytes];
    std::size_t size;
};

// Fixed storage: the checks run inside operator delete, which must not allocate.
Watched gSecrets[kMaxSecrets];
std::size_t gSecretCount = 0;
std::atomic<bool> gWatching{false};
std::atomic<int> gLeaks{0};
std::size_t gFirstLeakBlockSize = 0;
std::size_t gFirstLeakSecret = 0;

// Every block starts with its size, kept in a header of the strictest alignment.
constexpr std::size_t kHeader = alignof(std::max_align_t);

bool HoldsPiece(const unsigned char* block, std::size_t size, const Watched& secret) {
    if (size < kPieceBytes || secret.size < kPieceBytes) {
        return false;
    }
    for (std::size_t at = 0; at + kPieceBytes <= secret.size; ++at) {
        const unsigned char* piece = secret.bytes + at;
        if (std::search(block, block + size, piece, piece + kPieceBytes) != block + size) {
            return true;
        }
    }
    return false;
}

void Inspect(const unsigned char* block, std::size_t size) {
    for (std::size_t i = 0; i < gSecretCount; ++i) {
        if (HoldsPiece(block, size, gSecrets[i])) {
            if (gLeaks.fetch_add(1) == 0) {
                gFirstLeakBlockSize = size;
                gFirstLeakSecret = i;
            }
            return;
        }
    }
}

// Blocks start zeroed, so that what a released block holds was put there during its life and
// not left by an earlier one.
void* Allocate(std::size_t size) {
    auto* base = static_cast<unsigned char*>(std::calloc(1, kHeader + (size == 0 ? 1 : size)));
    if (base == nullptr) {
        throw std::bad_alloc();
    }
    std::memcpy(base, &size, sizeof(size));
    return base + kHeader;
}

void Release(void* p) noexcept {
    if (p == nullptr) {
        return;
    }
    unsigned char* base = static_cast<unsigned char*>(p) - kHeader;
    std::size_t size;
    std::memcpy(&size, base, sizeof(size));
    if (gWatching.load()) {
        Inspect(static_cast<unsigned char*>(p), size);
    }
    std::free(base);
}

} // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    Release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Release(p);
}

namespace velora {
namespace {

namespace fs = std::filesystem;

int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return getpid();
#endif
}

// Watches the secrets (as UTF-8 and as UTF-16LE) while it lives; Leaks() counts the released
// blocks that still held a piece of one.
class SecretWatch {
public:
    explicit SecretWatch(std::initializer_list<std::u16string_view> secrets) {
        gSecretCount = 0;
        for (const std::u16string_view secret : secrets) {
            const Bytes utf8 = TEncoding::UTF8().GetBytes(secret);
            const Bytes utf16 = TEncoding::Unicode().GetBytes(secret);
            for (const Bytes* form : {&utf8, &utf16}) {
                Watched& w = gSecrets[gSecretCount++];
                w.size = std::min(form->size(), kMaxSecretBytes);
                std::memcpy(w.bytes, form->data(), w.size);
            }
        }
        gLeaks = 0;
        gWatching = true;
    }
    ~SecretWatch() { gWatching = false; }
    SecretWatch(const SecretWatch&) = delete;
    SecretWatch& operator=(const SecretWatch&) = delete;

    int Leaks() const { return gLeaks.load(); }
    std::string FirstLeak() const {
        return "a block of " + std::to_string(gFirstLeakBlockSize) + " bytes held secret #" +
               std::to_string(gFirstLeakSecret);
    }
};

// Nothing else the programs handle holds 8 bytes in a row of these. The plaintext is
// non-ASCII, so that its UTF-8 is longer than its UTF-16 count; the password is long enough to
// be hashed.
const std::u16string kPlaintext = u"Pl\u00e4:Wx7#Qm3\u00e4Zr8 \u4e16\u754c Vk2@Lp9!Hs4";
const std::u16string kPassword = u"Pw:Vq8#Lm2$Tz5!Rj9&Hx3*Nc6@Bd1";

TEST(Wipe, TheWatchSeesAnUnwipedCopy) {
    SecretWatch watch({kPlaintext});
    { const std::u16string copy(kPlaintext); }
    EXPECT_EQ(watch.Leaks(), 1);
}

TEST(Wipe, Utf8BytesOfASecret) {
    SecretWatch watch({kPlaintext});
    Bytes bytes = TEncoding::UTF8().GetBytes(kPlaintext);
    SecureZero(bytes);
    EXPECT_EQ(watch.Leaks(), 0) << watch.FirstLeak();
}

TEST(Wipe, CodecStreamsReadInWhole) {
    ProgramCodec p(kPassword);
    TCodec& codec = *p.codec;

    // Several times the size the stream is read in, so that reading it grows a buffer.
    std::string text;
    const std::string unit = ToUtf8(kPlaintext);
    while (text.size() < 20000) {
        text += unit;
    }
    TMemoryStream plain, cipher, back;
    plain.SetSensitive(true);
    back.SetSensitive(true);
    plain.WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
    {
        SecretWatch watch({kPlaintext, kPassword});
        codec.EncryptStream(plain, cipher);
        codec.DecryptStream(back, cipher);
        EXPECT_EQ(watch.Leaks(), 0) << watch.FirstLeak();
    }
    EXPECT_EQ(std::string(back.Memory(), back.Memory() + back.Size()), text);
    SecureZero(text);
}

TEST(Wipe, DecryptedTextThatIsNotUtf8) {
    ProgramCodec p(kPassword);
    // The secret, then a byte that cannot start UTF-8: decoding fails past the secret.
    std::string bytes = ToUtf8(kPlaintext) + "\xff";
    TMemoryStream plain, cipher;
    plain.SetSensitive(true);
    plain.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    SecureZero(bytes);
    p.codec->EncryptStream(plain, cipher);
    const UnicodeString base64 =
        U16(Base64Encode(cipher.Memory(), static_cast<std::size_t>(cipher.Size())));
    UnicodeString text;
    {
        SecretWatch watch({kPlaintext});
        EXPECT_THROW(p.codec->DecryptString(text, base64, TEncoding::UTF8()), EEncodingError);
        EXPECT_EQ(watch.Leaks(), 0) << watch.FirstLeak();
    }
}

class WipeCredTool : public testing::Test {
protected:
    void SetUp() override {
        // The process id too: other builds on the machine run this test at the same time.
        FDir = fs::temp_directory_path() /
               ("wipe_test_" + std::to_string(ProcessId()) + "_" +
                std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::create_directories(FDir);
    }
    void TearDown() override { fs::remove_all(FDir); }

    std::string Write(const std::string& name, const std::string& content) const {
        const std::string path = (FDir / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(FDir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // Runs the tool's command in this process, with the file inPath as its input and "out" as
    // its output.
    int Run(std::vector<std::string> args, const std::string& inPath) {
        const std::string outPath = (FDir / "out").string();
        std::FILE* in = std::fopen(inPath.c_str(), "rb");
        std::FILE* out = std::fopen(outPath.c_str(), "wb");
        args.insert(args.begin(), "velora-credtool");
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        const int status = credtool::Run(static_cast<int>(argv.size()), argv.data(), in, out);
        std::fclose(in);
        std::fclose(out);
        return status;
    }

    fs::path FDir;
};

TEST_F(WipeCredTool, CommandsLeaveNoCopiesOfPasswordOrPlaintext) {
    // Everything that holds a secret on the test's side is made before the watch begins.
    const std::string password = Write("pw", ToUtf8(kPassword) + "\n");
    std::string text;
    while (text.size() < 20000) {
        text += ToUtf8(kPlaintext);
    }
    // Long enough that reading it grows the tool's buffer several times.
    const std::string plain = Write("plain", text);
    std::vector<std::string> makeSet = {"make-set", "--password-file", password, "--output",
                                        (FDir / "set").string()};
    for (int i = 0; i < 5; ++i) {
        makeSet.push_back(Write("plain" + std::to_string(i), ToUtf8(kPlaintext)));
    }
    const std::string none = Write("none", "");
    // Failures part way: a password that is not UTF-8 at its end, and a set whose password line
    // is read before a line that is wrong.
    const std::string badPassword = Write("badpw", ToUtf8(kPassword) + "\xff");
    std::string hex;
    for (const char c : ToUtf8(kPassword)) {
        static constexpr char kDigits[] = "0123456789abcdef";
        hex += kDigits[static_cast<unsigned char>(c) >> 4];
        hex += kDigits[static_cast<unsigned char>(c) & 15];
    }
    const std::string badSet =
        Write("badset", "velora-credential-set 1\npassword-hex " + hex + "\nnot a line\n");
    SecureZero(hex);

    struct Step {
        std::vector<std::string> args;
        std::string input;
        int status;
    };
    const Step steps[] = {
        {{"encrypt", "--password-file", password}, plain, 0},
        {{"decrypt", "--password-file", password}, (FDir / "cipher").string(), 0},
        {makeSet, none, 0},
        {{"check-set", (FDir / "set").string()}, none, 0},
        {{"encrypt", "--password-file", badPassword}, plain, 1},
        {{"check-set", badSet}, none, 1},
    };
    for (const Step& step : steps) {
        {
            SecretWatch watch({kPlaintext, kPassword});
            ASSERT_EQ(Run(step.args, step.input), step.status) << step.args[0];
            EXPECT_EQ(watch.Leaks(), 0)
                << step.args[0] << " " << step.args[1] << ": " << watch.FirstLeak();
        }
        if (step.args[0] == "encrypt" && step.status == 0) {
            fs::copy_file(FDir / "out", FDir / "cipher");
        } else if (step.args[0] == "decrypt") {
            EXPECT_TRUE(Read("out") == text);
        }
    }
    SecureZero(text);
}

} // namespace
} // namespace velora
