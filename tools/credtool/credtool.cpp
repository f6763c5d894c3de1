// velora-credtool: makes and checks the stored credentials with the launcher's own codec.
#include "codec/codec.hpp"
#include "codec/crypto_library.hpp"
#include "rtl/encoding.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"
#include "tools/credtool/set_file.hpp"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace velora::credtool {
namespace {

constexpr const char* kHelp = R"(Usage:
  velora-credtool encrypt   --password-file P [options]  < plaintext  > base64
  velora-credtool decrypt   --password-file P [options]  < base64     > plaintext
  velora-credtool make-set  --password-file P --output SET [options] F1 F2 F3 F4 F5
  velora-credtool check-set SET [options]
  velora-credtool --help

Makes and checks the launcher's stored credentials with the launcher's own codec: a stream
cipher over a block cipher and chaining mode, keyed by a password (its SHA-1 digest in the
system's ANSI code page once it is longer than the cipher takes as it is).

Commands:
  encrypt    Reads the plaintext (UTF-8 text) from standard input and prints its Base64
             ciphertext and a line end.
  decrypt    Reads Base64 text from standard input (one trailing line end, LF or CR LF, is
             removed) and writes the plaintext as UTF-8 to standard output with nothing added.
  make-set   Encrypts five plaintext files and writes a credential-set file holding the password
             and the five ciphertexts, then decrypts them again to check the result. The files
             are, in this order, the texts of LocalFileCrypto, httpuser, httppass, secret and
             apisecret; each is read as UTF-8 text exactly as it is, line ends included. The
             password must be printable ASCII (characters 32 to 126). The set file is created
             readable by its owner only.
  check-set  Decrypts the five ciphertexts of a set with its password and checks that each is
             valid text; prints each credential's name and sizes, never its value. Warns when
             the sizes differ from the product's (password 256 characters; ciphertexts 184, 184,
             184, 96 and 184 characters).

Options:
  --password-file P  The password: the file's content as UTF-8 text, one trailing line end
                     (LF or CR LF) removed. Blanks, quotes, '=' and backslashes are kept.
  --output SET       make-set: the set file to write.
  --stream ID        Stream cipher identifier (default native.StreamToBlock).
  --block ID         Block cipher identifier (default native.Twofish).
  --chain ID         Chaining mode identifier (default native.CBC).
  --encoding E       Encoding of the text inside the ciphertext: utf-8 (default) or ansi.
                     The launcher decrypts its credentials as utf-8.
  --help             This text.

Credential-set file (the build reads it from the file VELORA_CREDENTIAL_SET names):
  One "<name> <value>" per line, name and value separated by one blank; lines that are empty
  or start with '#' are ignored; LF or CR LF line ends. The first line that counts is
  "velora-credential-set 1"; then each of these exactly once, in any order:
    password-hex     the password's bytes as hex digits (two per character), so that any
                     printable-ASCII password, trailing blanks included, is carried exactly
    LocalFileCrypto  \
    httpuser          |
    httppass          |  the Base64 ciphertexts (A-Z a-z 0-9 + / and '='), in the order
    secret            |  the launcher decrypts them
    apisecret        /

Exit status: 0 on success, 1 on any failure; the failure's message goes to standard error.
)";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string command;
    std::optional<std::string> passwordFile;
    std::optional<std::string> output;
    UnicodeString streamId = u"native.StreamToBlock";
    UnicodeString blockId = u"native.Twofish";
    UnicodeString chainId = u"native.CBC";
    const TEncoding* encoding = &TEncoding::UTF8();
    std::vector<std::string> arguments;
};

Options ParseCommandLine(int argc, char** argv) {
    Options options;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) {
                throw UsageError(arg + " needs a value");
            }
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            options.command = "help";
            return options;
        } else if (arg == "--password-file") {
            options.passwordFile = value();
        } else if (arg == "--output") {
            options.output = value();
        } else if (arg == "--stream") {
            options.streamId = U16(value());
        } else if (arg == "--block") {
            options.blockId = U16(value());
        } else if (arg == "--chain") {
            options.chainId = U16(value());
        } else if (arg == "--encoding") {
            const std::string name = value();
            if (name == "utf-8" || name == "utf8") {
                options.encoding = &TEncoding::UTF8();
            } else if (name == "ansi") {
                options.encoding = &TEncoding::ANSI();
            } else {
                throw UsageError("unknown encoding \"" + name + "\" (utf-8 or ansi)");
            }
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            throw UsageError("unknown option " + arg);
        } else if (options.command.empty()) {
            options.command = arg;
        } else {
            options.arguments.push_back(arg);
        }
    }
    return options;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadStandardInput() {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

void WriteStandardOutput(const std::string& bytes) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
        std::fflush(stdout) != 0) {
        throw std::runtime_error("cannot write to standard output");
    }
}

void RemoveOneLineEnd(std::string& text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
    }
}

UnicodeString FromUtf8(const std::string& bytes) {
    return TEncoding::UTF8().GetString(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                       bytes.size());
}

UnicodeString ReadPassword(const Options& options) {
    if (!options.passwordFile) {
        throw UsageError("--password-file is required");
    }
    std::string bytes = ReadFile(*options.passwordFile);
    RemoveOneLineEnd(bytes);
    UnicodeString password = FromUtf8(bytes);
    SecureZero(bytes);
    if (password.empty()) {
        throw std::runtime_error("the password file " + *options.passwordFile + " is empty");
    }
    return password;
}

// The codec and its library, set up as the launcher sets up its own: library, the three
// identifiers, then the password.
class CodecSession {
public:
    CodecSession(const Options& options, const UnicodeString& password)
        : FCodec(std::make_unique<TCodec>(nullptr)),
          FLibrary(std::make_unique<TCryptographicLibrary>(nullptr)) {
        FCodec->SetCryptoLibrary(FLibrary.get());
        FCodec->SetStreamCipherId(options.streamId);
        FCodec->SetBlockCipherId(options.blockId);
        FCodec->SetChainModeId(options.chainId);
        FCodec->SetPassword(password);
    }
    TCodec& Codec() { return *FCodec; }

private:
    // Released in reverse order: the library first, then the codec.
    std::unique_ptr<TCodec> FCodec;
    std::unique_ptr<TCryptographicLibrary> FLibrary;
};

UnicodeString Encrypt(CodecSession& session, const UnicodeString& text, const TEncoding& enc) {
    UnicodeString cipherText;
    session.Codec().EncryptString(text, cipherText, enc);
    return cipherText;
}

UnicodeString Decrypt(CodecSession& session, const UnicodeString& cipherText,
                      const TEncoding& enc) {
    UnicodeString text;
    session.Codec().DecryptString(text, cipherText, enc);
    return text;
}

int RunEncrypt(const Options& options) {
    CodecSession session(options, ReadPassword(options));
    std::string input = ReadStandardInput();
    UnicodeString text = FromUtf8(input);
    SecureZero(input);
    const UnicodeString cipherText = Encrypt(session, text, *options.encoding);
    SecureZero(text);
    WriteStandardOutput(ToUtf8(cipherText) + "\n");
    return 0;
}

int RunDecrypt(const Options& options) {
    CodecSession session(options, ReadPassword(options));
    std::string input = ReadStandardInput();
    RemoveOneLineEnd(input);
    UnicodeString text = Decrypt(session, FromUtf8(input), *options.encoding);
    std::string output = ToUtf8(text);
    SecureZero(text);
    WriteStandardOutput(output);
    SecureZero(output);
    return 0;
}

void WritePrivateFile(const std::string& path, const std::string& content) {
#ifdef _WIN32
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + path);
    }
    ::fchmod(fd, 0600);
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0) {
            ::close(fd);
            throw std::runtime_error("cannot write " + path);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        throw std::runtime_error("cannot write " + path);
    }
#endif
}

// Decrypts every ciphertext of the set; returns the plaintexts, or throws naming the credential.
std::vector<UnicodeString> DecryptSet(const Options& options, const CredentialSetFile& set) {
    CodecSession session(options, U16(set.password));
    std::vector<UnicodeString> texts;
    for (std::size_t i = 0; i < set.cipherTexts.size(); ++i) {
        try {
            texts.push_back(Decrypt(session, U16(set.cipherTexts[i]), *options.encoding));
        } catch (const Exception& e) {
            throw std::runtime_error(std::string(kCredentialNames[i]) + ": " + e.what());
        }
    }
    return texts;
}

int RunMakeSet(const Options& options) {
    if (!options.output) {
        throw UsageError("make-set needs --output SET");
    }
    if (options.arguments.size() != kCredentialNames.size()) {
        throw UsageError("make-set needs five plaintext files");
    }
    const UnicodeString password = ReadPassword(options);
    CredentialSetFile set;
    set.password = ToUtf8(password);
    if (!IsPrintableAscii(set.password)) {
        throw std::runtime_error("the password must be printable ASCII (characters 32 to 126)");
    }
    std::vector<UnicodeString> texts;
    {
        CodecSession session(options, password);
        for (std::size_t i = 0; i < kCredentialNames.size(); ++i) {
            std::string bytes = ReadFile(options.arguments[i]);
            texts.push_back(FromUtf8(bytes));
            SecureZero(bytes);
            set.cipherTexts[i] = ToUtf8(Encrypt(session, texts.back(), *options.encoding));
        }
    }
    std::vector<UnicodeString> back = DecryptSet(options, set);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const bool same = back[i] == texts[i];
        SecureZero(back[i]);
        SecureZero(texts[i]);
        if (!same) {
            throw std::runtime_error(std::string(kCredentialNames[i]) +
                                     " does not decrypt to its plaintext");
        }
    }
    WritePrivateFile(*options.output, FormatCredentialSet(set));
    return 0;
}

int RunCheckSet(const Options& options) {
    if (options.arguments.size() != 1) {
        throw UsageError("check-set needs one set file");
    }
    const std::string& path = options.arguments[0];
    const CredentialSetFile set = ParseCredentialSet(ReadFile(path), path);
    std::vector<UnicodeString> texts = DecryptSet(options, set);

    constexpr std::size_t kProductPasswordLength = 256;
    constexpr std::size_t kProductLengths[] = {184, 184, 184, 96, 184};
    if (set.password.size() != kProductPasswordLength) {
        std::cerr << "warning: the password has " << set.password.size()
                  << " characters; the product's has " << kProductPasswordLength << "\n";
    }
    std::ostringstream report;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string bytes = ToUtf8(texts[i]);
        report << kCredentialNames[i] << ": " << set.cipherTexts[i].size()
               << " characters of Base64, " << bytes.size() << " bytes of text\n";
        if (set.cipherTexts[i].size() != kProductLengths[i]) {
            std::cerr << "warning: " << kCredentialNames[i] << " has " << set.cipherTexts[i].size()
                      << " characters; the product's has " << kProductLengths[i] << "\n";
        }
        SecureZero(texts[i]);
    }
    WriteStandardOutput(report.str() + "ok\n");
    return 0;
}

int Run(int argc, char** argv) {
    try {
        const Options options = ParseCommandLine(argc, argv);
        if (options.command == "help") {
            WriteStandardOutput(kHelp);
            return 0;
        }
        if (options.command == "encrypt" || options.command == "decrypt") {
            if (!options.arguments.empty()) {
                throw UsageError(options.command + " takes no file arguments");
            }
            return options.command == "encrypt" ? RunEncrypt(options) : RunDecrypt(options);
        }
        if (options.command == "make-set") {
            return RunMakeSet(options);
        }
        if (options.command == "check-set") {
            return RunCheckSet(options);
        }
        throw UsageError(options.command.empty() ? "no command given"
                                                 : "unknown command " + options.command);
    } catch (const UsageError& e) {
        std::cerr << "velora-credtool: " << e.what() << " (see velora-credtool --help)\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
}

} // namespace
} // namespace velora::credtool

int main(int argc, char** argv) {
    return velora::credtool::Run(argc, argv);
}
