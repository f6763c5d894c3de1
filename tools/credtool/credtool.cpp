// velora-credtool: makes and checks the stored credentials with the launcher's own codec.
#include "tools/credtool/credtool.hpp"

#include "codec/base64.hpp"
#include "codec/codec.hpp"
#include "codec/crypto_library.hpp"
#include "codec/scope_exit.hpp"
#include "rtl/encoding.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"
#include "tools/credtool/set_file.hpp"

#include <cstdio>
#include <iostream>
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
system's ANSI code page once it is longer than the cipher takes as it is, 16 characters for
Twofish). A password that is hashed and holds a character the encoding cannot represent is
refused: that character would count as "?", and other passwords would decrypt the same texts.

Commands:
  encrypt    Reads the plaintext (UTF-8 text) from standard input and prints its Base64
             ciphertext and a line end.
  decrypt    Reads Base64 text from standard input (one trailing line end, LF or CR LF, is
             removed) and writes the plaintext as UTF-8 to standard output with nothing added.
             The text is read as the launcher reads it, leniently; a warning says so when it
             is not canonical Base64, and when it holds no ciphertext (8 bytes or fewer).
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
                     The launcher decrypts its credentials as utf-8. When given, it is also
                     the encoding in which a long password is hashed (default: ansi, as the
                     launcher hashes its own).
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
    // The launcher's codec hashes a long password in the ANSI code page; an explicit
    // --encoding chooses this one too.
    const TEncoding* passwordEncoding = &TEncoding::ANSI();
    std::vector<std::string> arguments;
};

// A failure whose message gets a second line that tells the usual cause.
struct FailureWithHint : std::runtime_error {
    FailureWithHint(const std::string& message, std::string hintLine)
        : std::runtime_error(message), hint(std::move(hintLine)) {}
    std::string hint;
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
            options.passwordEncoding = options.encoding;
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

// Reads the whole file. It may hold a password or plaintext: unbuffered, the bytes land only in
// the result, whose growth wipes the blocks it leaves behind.
std::string ReadAll(std::FILE* file, const std::string& what) {
    std::setvbuf(file, nullptr, _IONBF, 0);
#ifdef _WIN32
    _setmode(_fileno(file), _O_BINARY);
#endif
    std::string bytes;
    char chunk[4096];
    ScopeExit wipeChunk([&chunk] { SecureZero(chunk, sizeof(chunk)); });
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof(chunk), file);
        if (n == 0) {
            break;
        }
        SecureAppend(bytes, chunk, n);
    }
    if (std::ferror(file)) {
        SecureZero(bytes);
        throw std::runtime_error("cannot read " + what);
    }
    return bytes;
}

std::string ReadFile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        throw std::runtime_error("cannot read " + path);
    }
    ScopeExit close([file] { std::fclose(file); });
    return ReadAll(file, path);
}

void WriteOutput(std::FILE* out, const char* bytes, std::size_t size) {
#ifdef _WIN32
    _setmode(_fileno(out), _O_BINARY);
#endif
    if (std::fwrite(bytes, 1, size, out) != size || std::fflush(out) != 0) {
        throw std::runtime_error("cannot write to standard output");
    }
}

void WriteOutput(std::FILE* out, const std::string& bytes) {
    WriteOutput(out, bytes.data(), bytes.size());
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

// UTF-8 of a text that may be secret, made in a block of its final size.
std::string SecretUtf8(const UnicodeString& text) {
    Bytes bytes = TEncoding::UTF8().GetBytes(text);
    ScopeExit wipe([&bytes] { SecureZero(bytes); });
    return std::string(bytes.begin(), bytes.end());
}

UnicodeString ReadPassword(const Options& options) {
    if (!options.passwordFile) {
        throw UsageError("--password-file is required");
    }
    std::string bytes = ReadFile(*options.passwordFile);
    ScopeExit wipe([&bytes] { SecureZero(bytes); });
    RemoveOneLineEnd(bytes);
    UnicodeString password = FromUtf8(bytes);
    if (password.empty()) {
        throw std::runtime_error("the password file " + *options.passwordFile + " is empty");
    }
    return password;
}

// "U+0416 "Ж"" for the character at text[i].
std::string DescribeCharacter(std::u16string_view text, std::size_t i, std::size_t units) {
    char32_t cp = text[i];
    if (units == 2) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
    }
    char code[16];
    std::snprintf(code, sizeof(code), "U+%04X", static_cast<unsigned>(cp));
    return std::string(code) + " \"" + ToUtf8(text.substr(i, units)) + "\"";
}

// Refuses a password that the key derivation would hash in an encoding that cannot hold one of
// its characters: every such character would count as the same "?".
void CheckPasswordFits(TCodec& codec, const UnicodeString& password) {
    if (!codec.PasswordIsHashed()) {
        return;
    }
    const TEncoding& encoding = codec.Encoding();
    std::size_t number = 0;
    for (std::size_t i = 0; i < password.size();) {
        ++number;
        const std::size_t length = DecodeUtf16Step(password, i).length;
        const std::u16string_view one = std::u16string_view(password).substr(i, length);
        bool fits = false;
        try {
            fits = encoding.GetString(encoding.GetBytes(one)) == one;
        } catch (const EEncodingError&) {
        }
        if (!fits) {
            throw std::runtime_error(
                "the password's character " + std::to_string(number) + ", " +
                DescribeCharacter(password, i, one.size()) + ", cannot be represented in " +
                ToUtf8(encoding.Name()) +
                ", in which a password this long is hashed: it would count as \"?\", and other "
                "passwords would decrypt the same texts. Choose --encoding utf-8 or another "
                "password.");
        }
        i += length;
    }
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
        FCodec->SetEncoding(*options.passwordEncoding);
        FCodec->SetPassword(password);
        CheckPasswordFits(*FCodec, password);
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

int RunEncrypt(const Options& options, std::FILE* in, std::FILE* out) {
    UnicodeString password = ReadPassword(options);
    ScopeExit wipePassword([&password] { SecureZero(password); });
    CodecSession session(options, password);
    UnicodeString text;
    ScopeExit wipeText([&text] { SecureZero(text); });
    {
        std::string input = ReadAll(in, "standard input");
        ScopeExit wipeInput([&input] { SecureZero(input); });
        text = FromUtf8(input);
    }
    const UnicodeString cipherText = Encrypt(session, text, *options.encoding);
    WriteOutput(out, ToUtf8(cipherText) + "\n");
    return 0;
}

// What the launcher's codec makes of the Base64 text before it decrypts: warns when that is
// not what the text seems to say.
void WarnAboutBase64(const std::string& input, const UnicodeString& base64,
                     const TEncoding& encoding) {
    const TEncoding& textEncoding =
        &encoding == &TEncoding::UTF8() ? TEncoding::UTF8Replacing() : encoding;
    const Bytes text = textEncoding.GetBytes(base64);
    Bytes body;
    Base64Decode(text.data(), text.size(), body);
    if (Base64Encode(body.data(), body.size()) != input) {
        std::cerr << "warning: the input is not canonical Base64; it was read leniently, as the "
                     "launcher reads it, as "
                  << body.size() << " bytes\n";
    }
    if (body.size() <= 8) {
        std::cerr << "warning: the input holds no ciphertext: it decodes to " << body.size()
                  << " bytes, and the first 8 are the nonce\n";
    }
}

int RunDecrypt(const Options& options, std::FILE* in, std::FILE* out) {
    UnicodeString password = ReadPassword(options);
    ScopeExit wipePassword([&password] { SecureZero(password); });
    CodecSession session(options, password);
    std::string input = ReadAll(in, "standard input");
    RemoveOneLineEnd(input);
    const UnicodeString base64 = FromUtf8(input);
    WarnAboutBase64(input, base64, *options.encoding);
    UnicodeString text;
    ScopeExit wipeText([&text] { SecureZero(text); });
    try {
        text = Decrypt(session, base64, *options.encoding);
    } catch (const EEncodingError& e) {
        if (e.Message() != SNoMappingForUnicode) {
            throw;
        }
        throw FailureWithHint(e.what(), "the decrypted bytes are not UTF-8 text: a wrong password "
                                        "or a damaged ciphertext is the usual cause");
    }
    std::string output = SecretUtf8(text);
    ScopeExit wipeOutput([&output] { SecureZero(output); });
    WriteOutput(out, output);
    return 0;
}

void WritePrivateFile(const std::string& path, const std::string& content) {
#ifdef _WIN32
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        throw std::runtime_error("cannot create " + path);
    }
    std::setvbuf(file, nullptr, _IONBF, 0);
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    if (std::fclose(file) != 0 || !written) {
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
    UnicodeString password = U16(set.password);
    ScopeExit wipePassword([&password] { SecureZero(password); });
    CodecSession session(options, password);
    std::vector<UnicodeString> texts;
    // Reserved: growth would leave short texts behind in the old block.
    texts.reserve(set.cipherTexts.size());
    for (std::size_t i = 0; i < set.cipherTexts.size(); ++i) {
        try {
            texts.push_back(Decrypt(session, U16(set.cipherTexts[i]), *options.encoding));
        } catch (const Exception& e) {
            for (auto& text : texts) {
                SecureZero(text);
            }
            throw std::runtime_error(std::string(kCredentialNames[i]) + ": " + e.what());
        }
    }
    return texts;
}

// Wipes the texts, and the set's password, when they go.
struct SecretsGuard {
    std::vector<UnicodeString>& texts;
    CredentialSetFile& set;
    ~SecretsGuard() {
        for (auto& text : texts) {
            SecureZero(text);
        }
        SecureZero(set.password);
    }
};

int RunMakeSet(const Options& options) {
    if (!options.output) {
        throw UsageError("make-set needs --output SET");
    }
    if (options.arguments.size() != kCredentialNames.size()) {
        throw UsageError("make-set needs five plaintext files");
    }
    UnicodeString password = ReadPassword(options);
    ScopeExit wipePassword([&password] { SecureZero(password); });
    CredentialSetFile set;
    std::vector<UnicodeString> texts;
    texts.reserve(kCredentialNames.size());
    SecretsGuard guard{texts, set};
    {
        CodecSession session(options, password);
        set.password = SecretUtf8(password);
        if (!IsPrintableAscii(set.password)) {
            throw std::runtime_error("the password must be printable ASCII (characters 32 to 126)");
        }
        for (std::size_t i = 0; i < kCredentialNames.size(); ++i) {
            {
                std::string bytes = ReadFile(options.arguments[i]);
                ScopeExit wipe([&bytes] { SecureZero(bytes); });
                texts.push_back(FromUtf8(bytes));
            }
            set.cipherTexts[i] = ToUtf8(Encrypt(session, texts.back(), *options.encoding));
        }
    }
    std::vector<UnicodeString> back = DecryptSet(options, set);
    SecretsGuard backGuard{back, set};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (back[i] != texts[i]) {
            throw std::runtime_error(std::string(kCredentialNames[i]) +
                                     " does not decrypt to its plaintext");
        }
    }
    std::string content = FormatCredentialSet(set);
    ScopeExit wipeContent([&content] { SecureZero(content); });
    WritePrivateFile(*options.output, content);
    return 0;
}

int RunCheckSet(const Options& options, std::FILE* out) {
    if (options.arguments.size() != 1) {
        throw UsageError("check-set needs one set file");
    }
    const std::string& path = options.arguments[0];
    CredentialSetFile set;
    {
        std::string content = ReadFile(path);
        ScopeExit wipeContent([&content] { SecureZero(content); });
        set = ParseCredentialSet(content, path);
    }
    std::vector<UnicodeString> texts;
    SecretsGuard guard{texts, set};
    texts = DecryptSet(options, set);

    constexpr std::size_t kProductPasswordLength = 256;
    constexpr std::size_t kProductLengths[] = {184, 184, 184, 96, 184};
    if (set.password.size() != kProductPasswordLength) {
        std::cerr << "warning: the password has " << set.password.size()
                  << " characters; the product's has " << kProductPasswordLength << "\n";
    }
    std::ostringstream report;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::string bytes = SecretUtf8(texts[i]);
        const std::size_t size = bytes.size();
        SecureZero(bytes);
        report << kCredentialNames[i] << ": " << set.cipherTexts[i].size()
               << " characters of Base64, " << size << " bytes of text\n";
        if (set.cipherTexts[i].size() != kProductLengths[i]) {
            std::cerr << "warning: " << kCredentialNames[i] << " has " << set.cipherTexts[i].size()
                      << " characters; the product's has " << kProductLengths[i] << "\n";
        }
    }
    WriteOutput(out, report.str() + "ok\n");
    return 0;
}

} // namespace

int Run(int argc, char** argv, std::FILE* in, std::FILE* out) {
    // Decrypted text goes straight out, not through a buffer of the C library's.
    std::setvbuf(out, nullptr, _IONBF, 0);
    try {
        const Options options = ParseCommandLine(argc, argv);
        if (options.command == "help") {
            WriteOutput(out, kHelp);
            return 0;
        }
        if (options.command == "encrypt" || options.command == "decrypt") {
            if (!options.arguments.empty()) {
                throw UsageError(options.command + " takes no file arguments");
            }
            return options.command == "encrypt" ? RunEncrypt(options, in, out)
                                                : RunDecrypt(options, in, out);
        }
        if (options.command == "make-set") {
            return RunMakeSet(options);
        }
        if (options.command == "check-set") {
            return RunCheckSet(options, out);
        }
        throw UsageError(options.command.empty() ? "no command given"
                                                 : "unknown command " + options.command);
    } catch (const UsageError& e) {
        std::cerr << "velora-credtool: " << e.what() << " (see velora-credtool --help)\n";
        return 1;
    } catch (const FailureWithHint& e) {
        std::cerr << e.what() << "\n" << e.hint << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
}

} // namespace velora::credtool
