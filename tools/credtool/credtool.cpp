// velora-credtool: makes and checks the stored credentials with the launcher's own codec.
#include "tools/credtool/credtool.hpp"

#include "codec/base64.hpp"
#include "codec/codec.hpp"
#include "codec/crypto_library.hpp"
#include "codec/scope_exit.hpp"
#include "rtl/encoding.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"
#include "rtl/streams.hpp"
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
refused, naming its position and code point: that character would count as "?", and other
passwords would decrypt the same texts.

Commands:
  encrypt    Reads the plaintext (UTF-8 text) from standard input and prints its Base64
             ciphertext and a line end.
  decrypt    Reads Base64 text from standard input (one trailing line end, LF or CR LF, is
             removed) and writes the plaintext as UTF-8 to standard output with nothing added.
             The text is read as the launcher reads it, leniently; a warning says so when it
             is not canonical Base64, and when it holds only the 8-byte nonce (an empty text).
             Text that decodes to fewer than 8 bytes holds no ciphertext and is an error.
  make-set   Encrypts five plaintext files and writes a credential-set file holding the password
             and the five ciphertexts, then decrypts them again to check the result. The files
             are, in this order, the texts of LocalFileCrypto, httpuser, httppass, secret and
             apisecret; each is read as UTF-8 text exactly as it is, line ends included. The
             password must be printable ASCII (characters 32 to 126) and every text non-empty.
             The set records no options: make-set refuses --encoding, --stream, --block and
             --chain other than the launcher's (utf-8 and the defaults below). Before it
             reports success it checks its own output as check-set does. The set is written
             to a new file, readable by its owner only, that then replaces SET (a link at SET
             is replaced, not followed); on failure SET is left as it was.
  check-set  Decrypts the five ciphertexts of a set with its password and checks that each is
             non-empty, valid text; prints each credential's name and sizes, never its value.
             Warns when the sizes differ from the product's (password 256 characters;
             ciphertexts 184, 184, 184, 96 and 184 characters).

Options:
  --password-file P  The password: the file's content as UTF-8 text, one trailing line end
                     (LF or CR LF) removed. Blanks, quotes, '=' and backslashes are kept.
  --output SET       make-set: the set file to write.
  --stream ID        Stream cipher identifier (default native.StreamToBlock).
  --block ID         Block cipher identifier (default native.Twofish).
  --chain ID         Chaining mode identifier (default native.CBC).
  --encoding E       Encoding of the text inside the ciphertext: utf-8 (the default) or ansi
                     (the system's ANSI code page; Windows-1252 on Linux). encrypt refuses text
                     that ansi cannot hold, naming the first such character's position and
                     code point. --encoding also sets the encoding in which a long password
                     is hashed; without it that is ansi, as the launcher hashes its own. The
                     launcher decrypts its credentials as utf-8 with its password hashed as
                     ansi, so it cannot decrypt what another --encoding made.
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

// Where a text first holds a character that encoding cannot represent (it would become "?"):
// the character's number, counted from 1, and its code point; nothing when it all fits. Every
// block made on the way is wiped, as the text may be a password or plaintext.
struct Unfit {
    std::size_t number;
    char32_t codePoint;
};
std::optional<Unfit> FirstUnfitCharacter(const TEncoding& encoding, const UnicodeString& text) {
    Bytes bytes;
    UnicodeString back;
    ScopeExit wipe([&] {
        SecureZero(bytes);
        SecureZero(back);
    });
    try {
        bytes = encoding.GetBytes(text);
        back = encoding.GetString(bytes);
    } catch (const EEncodingError&) {
        // Then the first difference below is the unit that failed, or the end.
    }
    std::size_t number = 0;
    for (std::size_t i = 0; i < text.size();) {
        ++number;
        const Utf16Step step = DecodeUtf16Step(text, i);
        if (back.size() < i + step.length ||
            back.compare(i, step.length, text, i, step.length) != 0) {
            return Unfit{number, step.codePoint};
        }
        i += step.length;
    }
    return std::nullopt;
}

std::string Describe(const char* what, const Unfit& unfit, const TEncoding& encoding) {
    char code[16];
    std::snprintf(code, sizeof(code), "U+%04X", static_cast<unsigned>(unfit.codePoint));
    return std::string(what) + " character " + std::to_string(unfit.number) + ", " + code +
           ", cannot be represented in " + ToUtf8(encoding.Name());
}

// Refuses a password that the key derivation would hash in an encoding that cannot hold one of
// its characters: every such character would count as the same "?".
void CheckPasswordFits(TCodec& codec, const UnicodeString& password) {
    if (!codec.PasswordIsHashed()) {
        return;
    }
    if (const auto unfit = FirstUnfitCharacter(codec.Encoding(), password)) {
        throw std::runtime_error(
            Describe("the password's", *unfit, codec.Encoding()) +
            ", in which a password this long is hashed: it would count as \"?\", and other "
            "passwords would decrypt the same texts. Choose another password.");
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
    if (options.encoding != &TEncoding::UTF8()) {
        if (const auto unfit = FirstUnfitCharacter(*options.encoding, text)) {
            throw std::runtime_error(Describe("the text's", *unfit, *options.encoding) +
                                     " (--encoding): it would be encrypted as \"?\"");
        }
    }
    const UnicodeString cipherText = Encrypt(session, text, *options.encoding);
    WriteOutput(out, ToUtf8(cipherText) + "\n");
    return 0;
}

constexpr std::size_t kNonceBytes = 8;

// What the launcher's codec makes of the Base64 text before it decrypts: warns when that is
// not what the text seems to say, and fails when it holds not even the nonce.
void CheckBase64(const std::string& input, const UnicodeString& base64, const TEncoding& encoding) {
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
    if (body.size() < kNonceBytes) {
        throw std::runtime_error("the input holds no ciphertext: it decodes to " +
                                 std::to_string(body.size()) + " bytes, fewer than the " +
                                 std::to_string(kNonceBytes) + " of the nonce");
    }
    if (body.size() == kNonceBytes) {
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
    CheckBase64(input, base64, *options.encoding);
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

UnicodeString PathText(const std::string& path) {
#ifdef _WIN32
    return TEncoding::ANSI().GetString(reinterpret_cast<const std::uint8_t*>(path.data()),
                                       path.size());
#else
    return FileNameText(path);
#endif
}

// A new file, readable by its owner only on POSIX, renamed over the path once it is complete: a
// failed write leaves the old file as it was, and a link at the path is replaced, not followed.
void WritePrivateFile(const std::string& path, const std::string& content) {
    try {
        TFileReplacement file(PathText(path));
        file.Stream().WriteBuffer(content.data(), static_cast<std::int64_t>(content.size()));
        file.Commit();
    } catch (const Exception& e) {
        throw std::runtime_error("cannot write " + path + ": " + e.what());
    }
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

// Decrypts the set as the launcher would and fails, naming the credential, on one the launcher
// would leave empty.
std::vector<UnicodeString> CheckSet(const Options& options, const CredentialSetFile& set) {
    std::vector<UnicodeString> texts = DecryptSet(options, set);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (texts[i].empty()) {
            for (auto& text : texts) {
                SecureZero(text);
            }
            Bytes body;
            Base64Decode(reinterpret_cast<const std::uint8_t*>(set.cipherTexts[i].data()),
                         set.cipherTexts[i].size(), body);
            throw std::runtime_error(std::string(kCredentialNames[i]) +
                                     ": decrypts to no text, and the launcher would leave it "
                                     "empty: its ciphertext decodes to " +
                                     std::to_string(body.size()) + " bytes");
        }
    }
    return texts;
}

// The set file records no encoding and no algorithms: the launcher reads every set with its own.
void RefuseWhatTheSetCannotRecord(const Options& options) {
    const Options launcher;
    auto refuse = [](const char* option, const std::string& launchers) {
        throw UsageError(std::string("make-set: a credential set does not record ") + option +
                         ", and the launcher decrypts with " + launchers + " only");
    };
    if (options.encoding != launcher.encoding) {
        refuse("--encoding", "utf-8");
    }
    if (options.streamId != launcher.streamId) {
        refuse("--stream", ToUtf8(launcher.streamId));
    }
    if (options.blockId != launcher.blockId) {
        refuse("--block", ToUtf8(launcher.blockId));
    }
    if (options.chainId != launcher.chainId) {
        refuse("--chain", ToUtf8(launcher.chainId));
    }
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
    RefuseWhatTheSetCannotRecord(options);
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
    std::string content = FormatCredentialSet(set);
    ScopeExit wipeContent([&content] { SecureZero(content); });
    {
        // The file's own text, read back as check-set and the build read it.
        CredentialSetFile written = ParseCredentialSet(content, *options.output);
        std::vector<UnicodeString> back;
        SecretsGuard backGuard{back, written};
        back = CheckSet(Options{}, written);
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (back[i] != texts[i]) {
                throw std::runtime_error(std::string(kCredentialNames[i]) +
                                         " does not decrypt to its plaintext");
            }
        }
    }
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
    texts = CheckSet(options, set);

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
