// velora-sign: makes update keys, signs updaters and checks signature documents, for the people
// who publish releases. Uses libcrypto, and the launcher's own document parser and check.
#include "rtl/secure.hpp"
#include "signing/document.hpp"
#include "signing/key_file.hpp"
#include "signing/libcrypto_handles.hpp"
#include "signing/update_check.hpp"
#include "signing/verifier.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace velora::sign {
namespace {

constexpr const char* kHelp = R"(Usage:
  velora-sign keygen --private KEY --public PUB
  velora-sign sign   --key KEY --version N [--output SIG] FILE
  velora-sign verify --keys KEYS --version N FILE SIG
  velora-sign --help

Makes the ECDSA P-256 keys of signed updates, signs an updater for one version, and checks a
signature document the way the launcher does.

Commands:
  keygen  Makes a new key: the private key (PKCS#8 PEM) in KEY, created readable and writable by
          its owner only (mode 0600), and its public key (PEM "PUBLIC KEY") in PUB. Neither file
          may exist yet. Keep KEY off the build and web machines; PUB goes into the keys file
          that the build's VELORA_UPDATE_PUBLIC_KEYS names.
  sign    Writes the signature document for FILE (the updater exactly as it will be served) and
          version N into a new file beside SIG, renamed to SIG once signing succeeded (without
          --output: to standard output). Publish it as software/updater.exe.sig beside the
          updater. KEY must be open to its owner only (chmod 600 KEY).
  verify  Checks that SIG is a signature document for FILE and version N under one of the keys
          in the keys file KEYS, as the launcher would. Prints which key signed it.

N is the version number the launcher reads from the version document, written in decimal
without leading zeros or "+" (-2147483648 to 2147483647): the launcher compares it with the
signed one and refuses an updater signed for another version.

Exit status: 0 on success (verify: the signature holds), 1 on any failure; the reason goes to
standard error and nothing is written.
)";

struct Options {
    std::string command;
    std::optional<std::string> privateKey, publicKey, key, keys, version, output;
    std::vector<std::string> files;
};

Options ParseCommandLine(int argc, char** argv) {
    Options options;
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::optional<std::string>& into) {
            if (i + 1 >= args.size()) {
                throw std::runtime_error(arg + " needs a value");
            }
            if (into) {
                throw std::runtime_error(arg + " is given twice");
            }
            into = args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            options.command = "help";
            return options;
        } else if (arg == "--private") {
            value(options.privateKey);
        } else if (arg == "--public") {
            value(options.publicKey);
        } else if (arg == "--key") {
            value(options.key);
        } else if (arg == "--keys") {
            value(options.keys);
        } else if (arg == "--version") {
            value(options.version);
        } else if (arg == "--output") {
            value(options.output);
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw std::runtime_error("unknown option " + arg);
        } else if (options.command.empty()) {
            options.command = arg;
        } else {
            options.files.push_back(arg);
        }
    }
    return options;
}

// "<what> <path>: <error>", with errno read at the call, before anything else can change it.
[[noreturn]] void ThrowSystemError(const char* what, const std::string& path, int error = errno) {
    throw std::runtime_error(std::string(what) + " " + path + ": " + std::strerror(error));
}

// A file descriptor closed on every path; Close() reports the error of a close that fails.
class TFile {
public:
    explicit TFile(int fd) : FFd(fd) {}
    TFile(const TFile&) = delete;
    TFile& operator=(const TFile&) = delete;
    ~TFile() {
        if (FFd >= 0) {
            ::close(FFd);
        }
    }
    int Get() const { return FFd; }
    void Close(const std::string& path) {
        const int fd = std::exchange(FFd, -1);
        if (::close(fd) != 0) {
            ThrowSystemError("cannot write", path);
        }
    }

private:
    int FFd;
};

std::string OctalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// The whole of a regular file, and its mode. Read as a secret: the copies it leaves are wiped.
std::string ReadFile(const std::string& path, mode_t* mode = nullptr) {
    const TFile file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) {
        ThrowSystemError("cannot read", path);
    }
    struct stat st {};
    if (::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw std::runtime_error("cannot read " + path + ": not a regular file");
    }
    if (mode) {
        *mode = st.st_mode;
    }
    std::string data;
    char chunk[1 << 16];
    for (;;) {
        const ssize_t n = ::read(file.Get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            SecureZero(data);
            SecureZero(chunk, sizeof chunk);
            ThrowSystemError("cannot read", path, error);
        }
        if (n == 0) {
            break;
        }
        SecureAppend(data, chunk, static_cast<std::size_t>(n));
    }
    SecureZero(chunk, sizeof chunk);
    return data;
}

TSha256Digest HashFile(ISignatureVerifier& verifier, const std::string& path, std::int64_t& size) {
    const std::string data = ReadFile(path);
    size = static_cast<std::int64_t>(data.size());
    const std::unique_ptr<ISha256> hash = verifier.CreateSha256();
    hash->Update({reinterpret_cast<const std::uint8_t*>(data.data()), data.size()});
    return hash->Final();
}

std::int32_t ReadVersion(const Options& options) {
    if (!options.version) {
        throw std::runtime_error("--version is required");
    }
    const std::optional<std::int32_t> version = ParseCanonicalDecimal(*options.version);
    if (!version) {
        throw std::runtime_error("the version \"" + *options.version +
                                 "\" is not a decimal integer from -2147483648 to 2147483647 "
                                 "written without leading zeros or \"+\"");
    }
    return *version;
}

void ExpectFiles(const Options& options, std::size_t count, const char* names) {
    if (options.files.size() != count) {
        throw std::runtime_error(options.command + " takes " + names);
    }
}

std::string LibcryptoError(const std::string& what) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return what;
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return what + " (" + text + ")";
}

bool IsP256(EVP_PKEY* key) {
    char group[64] = {};
    std::size_t size = 0;
    return EVP_PKEY_is_a(key, "EC") &&
           EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                          &size) == 1 &&
           std::string(group) == "prime256v1";
}

// X || Y of a P-256 key.
TP256PublicKey PublicPoint(EVP_PKEY* key) {
    BIGNUM* x = nullptr;
    BIGNUM* y = nullptr;
    EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x);
    EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y);
    const libcrypto::TNumber ownX(x), ownY(y);
    TP256PublicKey point{};
    if (!x || !y || BN_bn2binpad(x, point.data(), 32) != 32 ||
        BN_bn2binpad(y, point.data() + 32, 32) != 32) {
        throw std::runtime_error(LibcryptoError("cannot read the key's public point"));
    }
    return point;
}

libcrypto::TKey ReadPrivateKey(const std::string& path) {
    mode_t mode = 0;
    std::string pem = ReadFile(path, &mode);
    libcrypto::TBio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    libcrypto::TKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                            : nullptr);
    SecureZero(pem);
    if (!key) {
        throw std::runtime_error(LibcryptoError(path + " holds no private key in PEM form"));
    }
    if (!IsP256(key.get())) {
        throw std::runtime_error(path + " is not an ECDSA P-256 private key");
    }
    // As ssh wants of its keys.
    if ((mode & 077) != 0) {
        throw std::runtime_error(path + " is open to other users (mode " + OctalMode(mode) +
                                 "); a private key must be its owner's alone: chmod 600 " + path);
    }
    return key;
}

// r || s of an ECDSA signature of SHA-256(message).
TP256Signature SignStatements(EVP_PKEY* key, const std::string& message) {
    const libcrypto::TDigestContext context(EVP_MD_CTX_new());
    std::size_t size = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(message.data());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &size, data, message.size()) != 1) {
        throw std::runtime_error(LibcryptoError("cannot sign"));
    }
    std::vector<unsigned char> der(size);
    if (EVP_DigestSign(context.get(), der.data(), &size, data, message.size()) != 1) {
        throw std::runtime_error(LibcryptoError("cannot sign"));
    }
    const unsigned char* p = der.data();
    const libcrypto::TSignature sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(size)));
    TP256Signature signature{};
    if (!sig || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), signature.data(), 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), signature.data() + 32, 32) != 32) {
        throw std::runtime_error(LibcryptoError("cannot read the signature"));
    }
    return signature;
}

// All of content, on the disk when this returns.
void WriteAndFlush(TFile& file, const std::string& path, const std::string& content) {
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t n = ::write(file.Get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ThrowSystemError("cannot write", path, n < 0 ? errno : EIO);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(file.Get()) != 0) {
        ThrowSystemError("cannot write", path);
    }
    file.Close(path);
}

// So that a name just created or renamed survives a crash.
void FlushFolderOf(const std::string& path) {
    std::string folder = std::filesystem::path(path).parent_path().string();
    if (folder.empty()) {
        folder = ".";
    }
    TFile file(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (file.Get() < 0 || ::fsync(file.Get()) != 0) {
        ThrowSystemError("cannot flush the folder", folder);
    }
    file.Close(folder);
}

// Creates a new file with the given mode and the whole content, or nothing.
void WriteNewFile(const std::string& path, const std::string& content, mode_t mode) {
    TFile file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (file.Get() < 0) {
        ThrowSystemError("cannot create", path);
    }
    try {
        if (::fchmod(file.Get(), mode) != 0) {
            ThrowSystemError("cannot set the mode of", path);
        }
        WriteAndFlush(file, path, content);
    } catch (...) {
        ::unlink(path.c_str());
        throw;
    }
}

// Replaces path with content through a new file beside it, so that path is never partly written
// and stays as it was when anything fails.
void ReplaceFile(const std::string& path, const std::string& content) {
    std::string name = path + ".XXXXXX";
    TFile file(::mkostemp(name.data(), O_CLOEXEC));
    if (file.Get() < 0) {
        ThrowSystemError("cannot create a file beside", path);
    }
    try {
        // mkostemp made it 0600; the document is for publishing.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        if (::fchmod(file.Get(), 0666 & ~mask) != 0) {
            ThrowSystemError("cannot set the mode of", name);
        }
        WriteAndFlush(file, name, content);
        if (::rename(name.c_str(), path.c_str()) != 0) {
            ThrowSystemError("cannot replace", path);
        }
    } catch (...) {
        ::unlink(name.c_str());
        throw;
    }
    FlushFolderOf(path);
}

std::string PemOf(EVP_PKEY* key, bool privatePart) {
    // Memory that libcrypto wipes when it lets it go.
    libcrypto::TBio bio(BIO_new(BIO_s_secmem()));
    const int ok = !bio          ? 0
                   : privatePart ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0,
                                                            nullptr, nullptr)
                                 : PEM_write_bio_PUBKEY(bio.get(), key);
    char* data = nullptr;
    const long size = ok == 1 ? BIO_get_mem_data(bio.get(), &data) : 0;
    if (size <= 0) {
        throw std::runtime_error(LibcryptoError("cannot write the key in PEM form"));
    }
    return std::string(data, static_cast<std::size_t>(size));
}

bool IsSameFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

int KeyGen(const Options& options) {
    if (!options.privateKey || !options.publicKey) {
        throw std::runtime_error("keygen needs --private KEY and --public PUB");
    }
    ExpectFiles(options, 0, "no file arguments");
    const std::string& privatePath = *options.privateKey;
    const std::string& publicPath = *options.publicKey;
    for (const std::string& path : {privatePath, publicPath}) {
        if (Exists(path)) {
            throw std::runtime_error(path + " exists already; keygen replaces no file");
        }
    }
    const libcrypto::TKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key) {
        throw std::runtime_error(LibcryptoError("cannot make a P-256 key"));
    }
    std::string privatePem = PemOf(key.get(), true);
    const std::string publicPem = PemOf(key.get(), false);
    try {
        WriteNewFile(privatePath, privatePem, 0600);
    } catch (...) {
        SecureZero(privatePem);
        throw;
    }
    SecureZero(privatePem);
    bool publicWritten = false;
    try {
        WriteNewFile(publicPath, publicPem, 0644);
        publicWritten = true;
        FlushFolderOf(privatePath);
        FlushFolderOf(publicPath);
    } catch (...) {
        if (publicWritten) {
            ::unlink(publicPath.c_str());
        }
        ::unlink(privatePath.c_str());
        throw;
    }
    std::fprintf(stderr, "velora-sign: private key %s (mode 0600), public key %s\n",
                 privatePath.c_str(), publicPath.c_str());
    return 0;
}

int Sign(const Options& options) {
    if (!options.key) {
        throw std::runtime_error("sign needs --key KEY");
    }
    ExpectFiles(options, 1, "one file, the updater");
    const std::int32_t version = ReadVersion(options);
    for (const std::string& input : {*options.key, options.files[0]}) {
        if (options.output && IsSameFile(*options.output, input)) {
            throw std::runtime_error("--output " + *options.output + " would replace " + input);
        }
    }
    const libcrypto::TKey key = ReadPrivateKey(*options.key);
    const std::unique_ptr<ISignatureVerifier> verifier = CreateSignatureVerifier();
    std::int64_t size = 0;
    const TSha256Digest digest = HashFile(*verifier, options.files[0], size);

    const std::string statements = UpdaterStatements(version, size, digest);
    const TP256Signature signature = SignStatements(key.get(), statements);
    const std::string document = FormatSignatureDocument(statements, signature);
    // What goes out must pass the launcher's own check.
    const TP256PublicKey point = PublicPoint(key.get());
    CheckUpdaterSignature({&point, 1}, *verifier, version, size, digest, document);

    if (options.output) {
        ReplaceFile(*options.output, document);
    } else if (std::fwrite(document.data(), 1, document.size(), stdout) != document.size() ||
               std::fflush(stdout) != 0) {
        throw std::runtime_error("cannot write to standard output");
    }
    return 0;
}

int Verify(const Options& options) {
    if (!options.keys) {
        throw std::runtime_error("verify needs --keys KEYS");
    }
    ExpectFiles(options, 2, "two files, the updater and its signature document");
    const std::int32_t version = ReadVersion(options);
    const std::vector<TP256PublicKey> keys = ParseUpdateKeyFile(ReadFile(*options.keys));
    const std::unique_ptr<ISignatureVerifier> verifier = CreateSignatureVerifier();
    std::int64_t size = 0;
    const TSha256Digest digest = HashFile(*verifier, options.files[0], size);
    const std::string document = ReadFile(options.files[1]);
    try {
        const std::size_t signer =
            CheckUpdaterSignature(keys, *verifier, version, size, digest, document);
        std::printf("verified: %s is signed for version %d by key %zu of %zu in %s\n",
                    options.files[0].c_str(), version, signer + 1, keys.size(),
                    options.keys->c_str());
        return 0;
    } catch (const EUpdateSignatureError& e) {
        std::fprintf(stderr, "velora-sign: not verified: %s\n", e.what());
        return 1;
    }
}

int Run(int argc, char** argv) {
    // Past a file-size limit a write fails and is reported, instead of the signal killing the
    // tool between creating a file and filling it.
    std::signal(SIGXFSZ, SIG_IGN);
    const Options options = ParseCommandLine(argc, argv);
    if (options.command == "help") {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (options.command == "keygen") {
        return KeyGen(options);
    }
    if (options.command == "sign") {
        return Sign(options);
    }
    if (options.command == "verify") {
        return Verify(options);
    }
    throw std::runtime_error(options.command.empty()
                                 ? "no command (keygen, sign or verify; --help tells more)"
                                 : "unknown command \"" + options.command + "\"");
}

} // namespace
} // namespace velora::sign

int main(int argc, char** argv) {
    try {
        return velora::sign::Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velora-sign: %s\n", e.what());
        return 1;
    }
}
