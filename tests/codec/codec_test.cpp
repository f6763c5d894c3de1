// The codec component: round trips, binding and its triggers, the password rules, the state
// machine after failures, the library's notices, text decoding and the statistics.
#include "codec/base64.hpp"
#include "codec/chaining.hpp"
#include "codec/codec.hpp"
#include "facade_fakes.hpp"
#include "program_codec.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

namespace velora {
namespace {

using namespace facadetest;

std::u16string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& e) {
        return e.Message();
    }
    return u"(no failure)";
}

const std::u16string kWrongMode = u"TSimpleCodec.Begin_DecryptMemory - Wrong mode.";
const std::u16string kNotSet = u"TSimpleCodec.Begin_DecryptMemory - Algorithms not set.";

TEST(Codec, RoundTripsTextsOfEveryLengthAroundTheBlocks) {
    ProgramCodec p;
    for (std::size_t n = 1; n <= 70; ++n) {
        UnicodeString text;
        for (std::size_t i = 0; i < n; ++i) {
            text += static_cast<char16_t>(u'a' + i % 26);
        }
        const UnicodeString base64 = p.Encrypt(text);
        EXPECT_EQ(base64.size(), (8 + n + 2) / 3 * 4);
        EXPECT_EQ(p.Decrypt(base64), text);
    }
    const UnicodeString nonAscii = u"Gr\u00fc\u00dfe \u4e16\u754c \U0001F3B5";
    EXPECT_EQ(p.Decrypt(p.Encrypt(nonAscii)), nonAscii);
    EXPECT_EQ(p.codec->Mode(), cmIdle);
}

TEST(Codec, ByteOrderMarkIsKeptAndEmptyResultsChangeNothing) {
    ProgramCodec p;
    EXPECT_EQ(p.Decrypt(p.Encrypt(u"\uFEFFtext")), u"\uFEFFtext");
    // No bytes at all, and a bare nonce: nothing decrypted, the destination keeps its value.
    EXPECT_EQ(p.Decrypt(u""), u"(unchanged)");
    EXPECT_EQ(p.Decrypt(u"AAAAAAAAAAA="), u"(unchanged)");
    EXPECT_EQ(p.Encrypt(u""), u"");
    // Malformed Base64 never fails: a lone surrogate is one more character outside the alphabet.
    const UnicodeString base64 = p.Encrypt(u"text");
    EXPECT_EQ(p.Decrypt(base64 + u"\xD800"), u"text");
    EXPECT_EQ(p.Decrypt(u"\xDC00"
                        u"AAAAAAAAAAA"),
              p.Decrypt(u"\xFFFD"
                        u"AAAAAAAAAAA"));
}

TEST(Codec, InvalidUtf8FailsAndLeavesTheCodecReady) {
    ProgramCodec p;
    // One byte 0xE9 in the ANSI code page is not UTF-8.
    const UnicodeString base64 = p.Encrypt(u"caf\u00e9", TEncoding::ANSI());
    UnicodeString text = u"before";
    EXPECT_EQ(MessageOf([&] { p.codec->DecryptString(text, base64, TEncoding::UTF8()); }),
              SNoMappingForUnicode);
    EXPECT_EQ(text, u"before");
    EXPECT_EQ(p.codec->Mode(), cmIdle);
    p.codec->DecryptAnsiString(text, base64);
    EXPECT_EQ(text, u"caf\u00e9");
}

TEST(Codec, WrongSetUpFailsWithTheEngineMessages) {
    struct Case {
        const char16_t* stream;
        const char16_t* block;
        const char16_t* chain;
        bool withLibrary;
        const char16_t* password;
        std::u16string expected;
    };
    const Case cases[] = {
        {u"native.StreamToBlock", u"native.Twofish", u"native.CBC", false, u"pw", kWrongMode},
        {u"native.StreamToBlock", u"native.Twofish", u"native.CBC", true, u"", kWrongMode},
        {u"native.StreamToBloc", u"native.Twofish", u"native.CBC", true, u"pw", kWrongMode},
        {u"native.StreamToBlock", u"native.Twofish ", u"native.CBC", true, u"pw", kNotSet},
        {u"native.StreamToBlock", u"native.Twofish", u"Twofish", true, u"pw", kNotSet},
        {u"native.StreamToBlock", u"native.AES-%d", u"native.CBC", true, u"pw", kNotSet},
    };
    for (const Case& c : cases) {
        TCryptographicLibrary library;
        TCodec codec;
        if (c.withLibrary) {
            codec.SetCryptoLibrary(&library);
        }
        codec.SetStreamCipherId(c.stream);
        codec.SetBlockCipherId(c.block);
        codec.SetChainModeId(c.chain);
        codec.SetPassword(c.password);
        UnicodeString text;
        EXPECT_EQ(
            MessageOf([&] { codec.DecryptString(text, u"AAAAAAAAAAAAAAAA", TEncoding::UTF8()); }),
            c.expected)
            << ToUtf8(c.stream) << " " << ToUtf8(c.block) << " " << ToUtf8(c.chain);
    }
}

TEST(Codec, IdentifierChangesUnbindOnlyWhenTheTextDiffers) {
    ProgramCodec p;
    const UnicodeString base64 = p.Encrypt(u"text");
    ASSERT_TRUE(p.codec->isBound());
    p.codec->SetBlockCipherId(u"native.Twofish");
    EXPECT_TRUE(p.codec->isBound());
    EXPECT_EQ(p.codec->Mode(), cmIdle);
    // Another letter case is another text here, though the library finds the same cipher.
    p.codec->SetBlockCipherId(u"NATIVE.TWOFISH");
    EXPECT_FALSE(p.codec->isBound());
    EXPECT_EQ(p.codec->Mode(), cmUnitialized);
    EXPECT_EQ(p.Decrypt(base64), u"text");
    EXPECT_TRUE(p.codec->isBound());
}

TEST(Codec, PasswordRules) {
    ProgramCodec p(u"first password, long enough to be hashed");
    const UnicodeString first = p.Encrypt(u"under the first password");

    // An empty password keeps the key in force.
    p.codec->SetPassword(u"");
    EXPECT_EQ(p.Decrypt(first), u"under the first password");

    // A new one takes effect at once, the same as a codec made with it.
    p.codec->SetPassword(u"second");
    ProgramCodec second(u"second");
    const UnicodeString text = u"under the second password";
    EXPECT_EQ(second.Decrypt(p.Encrypt(text)), text);

    // Burn keeps the password: the next operation derives the key again.
    p.codec->Burn();
    EXPECT_EQ(p.codec->Mode(), cmUnitialized);
    EXPECT_FALSE(p.codec->isBound());
    EXPECT_EQ(p.Decrypt(second.Encrypt(text)), text);

    // The password's encoding is used at the next derivation.
    ProgramCodec ansi(u"\u00e4 password longer than sixteen");
    ProgramCodec utf8(u"\u00e4 password longer than sixteen");
    utf8.codec->SetEncoding(TEncoding::UTF8());
    utf8.codec->Burn();
    EXPECT_NE(MessageOf([&] { utf8.Decrypt(ansi.Encrypt(text)); }), u"(no failure)");
}

// A library holding a stream cipher whose decryptor fails.
struct FailingCodec {
    std::shared_ptr<FakeStreamCipher> cipher = std::make_shared<FakeStreamCipher>(32);
    std::unique_ptr<TCodec> codec = std::make_unique<TCodec>();
    std::unique_ptr<TCryptographicLibrary> library = std::make_unique<TCryptographicLibrary>();
    FailingCodec() {
        library->RegisterStreamCipher(cipher);
        codec->SetCryptoLibrary(library.get());
        codec->SetStreamCipherId(u"test.Fake");
        codec->SetPassword(u"pw");
    }
};

TEST(Codec, FailureInsideTheDecryptorBlocksTheCodecUntilReset) {
    FailingCodec f;
    UnicodeString base64;
    f.codec->EncryptString(u"some text", base64, TEncoding::UTF8());
    f.cipher->failDecrypt = true;
    UnicodeString text;
    EXPECT_EQ(MessageOf([&] { f.codec->DecryptString(text, base64, TEncoding::UTF8()); }),
              u"fake decryptor failure");
    EXPECT_EQ(f.codec->Mode(), cmDecrypting);
    f.cipher->failDecrypt = false;
    EXPECT_EQ(MessageOf([&] { f.codec->DecryptString(text, base64, TEncoding::UTF8()); }),
              kWrongMode);
    // The abandoned message's output is gone: feeding it more must fail, not write.
    const std::uint8_t byte = 0;
    EXPECT_EQ(MessageOf([&] { f.codec->DecryptMemory(&byte, 1); }),
              u"TSimpleCodec.DecryptMemory - Wrong mode.");
    // Changing an algorithm is refused while the message is open.
    EXPECT_EQ(MessageOf([&] { f.codec->SetChainModeId(u"native.CFB"); }),
              u"TSimpleCodec.Init - Cannot set Cipher whilst enc/decrypting.");

    f.codec->Reset();
    EXPECT_EQ(f.codec->Mode(), cmIdle);
    f.codec->DecryptString(text, base64, TEncoding::UTF8());
    EXPECT_EQ(text, u"some text");
}

TEST(Codec, LibraryDestroyedWhileAMessageIsOpenIsForgottenSafely) {
    FailingCodec f;
    UnicodeString base64, text;
    f.codec->EncryptString(u"x", base64, TEncoding::UTF8());
    f.cipher->failDecrypt = true;
    EXPECT_ANY_THROW(f.codec->DecryptString(text, base64, TEncoding::UTF8()));
    f.library.reset();
    EXPECT_EQ(f.codec->CryptoLibrary(), nullptr);
    EXPECT_EQ(MessageOf([&] { f.codec->DecryptString(text, base64, TEncoding::UTF8()); }),
              kWrongMode);
    // The unbinding waits for the open message; ended by Reset, nothing is bound any more.
    f.codec->Reset();
    EXPECT_FALSE(f.codec->isBound());
    EXPECT_EQ(MessageOf([&] { f.codec->DecryptString(text, base64, TEncoding::UTF8()); }),
              kWrongMode);
}

// What may happen between the pieces of a memory message the caller holds open. Whatever it is,
// the message then ends with all of its plaintext or with a failure, never with a part of it.
TEST(Codec, AnOpenMessageSurvivesWhatHappensMeanwhile) {
    struct Case {
        const char* what;
        std::function<void(ProgramCodec&, TCryptographicLibrary& other)> event;
        std::u16string expected;
        // A change notice is held back until the message ends; a refused call changes nothing.
        bool notice;
    };
    const Case cases[] = {
        {"another library",
         [](ProgramCodec& p, TCryptographicLibrary& other) { p.codec->SetCryptoLibrary(&other); },
         u"TSimpleCodec.Init - Cannot set Cipher whilst enc/decrypting.", false},
        {"a string decryption",
         [](ProgramCodec& p, TCryptographicLibrary&) { p.Decrypt(u"AAAAAAAAAAAAAAAA"); },
         kWrongMode, false},
        {"a string encryption", [](ProgramCodec& p, TCryptographicLibrary&) { p.Encrypt(u"text"); },
         u"TSimpleCodec.Begin_EncryptMemory - Wrong mode.", false},
        {"a registration",
         [](ProgramCodec& p, TCryptographicLibrary&) {
             p.library->RegisterBlockChainingModel(std::make_shared<TCBC>());
         },
         u"(no failure)", true},
        {"the library's end", [](ProgramCodec& p, TCryptographicLibrary&) { p.library.reset(); },
         u"(no failure)", true},
    };
    const std::string text = "thirty-six bytes of secret plaintext";
    ASSERT_EQ(text.size(), 36u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TCryptographicLibrary other;
        ProgramCodec p;
        Bytes cipher;
        const UnicodeString base64 = p.Encrypt(U16(text));
        const std::string b64 = ToUtf8(base64);
        Base64Decode(reinterpret_cast<const std::uint8_t*>(b64.data()), b64.size(), cipher);
        TCryptographicLibrary* library = p.library.get();

        TMemoryStream out;
        p.codec->Begin_DecryptMemory(out);
        // Everything but the last two blocks' worth is written out before the event.
        p.codec->DecryptMemory(cipher.data(), static_cast<std::int64_t>(cipher.size()));
        EXPECT_EQ(MessageOf([&] { c.event(p, other); }), c.expected);
        if (p.library) {
            // Refused or held back: the codec is as it was.
            EXPECT_EQ(p.codec->CryptoLibrary(), library);
        }
        EXPECT_TRUE(p.codec->isBound());
        EXPECT_EQ(p.codec->Mode(), cmDecrypting);
        EXPECT_EQ(MessageOf([&] { p.codec->End_DecryptMemory(); }), u"(no failure)");
        EXPECT_EQ(std::string(out.Memory(), out.Memory() + out.Size()), text);
        // A notice held back during the message applies now; the next call binds afresh.
        EXPECT_EQ(p.codec->isBound(), !c.notice);
        EXPECT_EQ(MessageOf([&] { p.Decrypt(base64); }), p.library ? u"(no failure)" : kWrongMode);
    }
}

TEST(Codec, RegistrationsInTheLibraryRebindTheCodec) {
    FailingCodec f;
    UnicodeString base64, text;
    f.codec->EncryptString(u"x", base64, TEncoding::UTF8());
    ASSERT_TRUE(f.codec->isBound());
    // A newer cipher under the same identifier replaces the old one; the codec picks it up.
    auto replacement = std::make_shared<FakeStreamCipher>(32);
    replacement->failDecrypt = true;
    f.library->RegisterStreamCipher(replacement);
    EXPECT_FALSE(f.codec->isBound());
    EXPECT_EQ(MessageOf([&] { f.codec->DecryptString(text, base64, TEncoding::UTF8()); }),
              u"fake decryptor failure");
}

TEST(Codec, SaltIsAddedAndRemovedForCiphersThatNeedIt) {
    auto cipher = std::make_shared<FakeStreamCipher>(32, TAlgorithmicFeatureSet{});
    TCryptographicLibrary library;
    library.RegisterStreamCipher(cipher);
    TCodec codec;
    codec.SetCryptoLibrary(&library);
    codec.SetStreamCipherId(u"test.Fake");
    codec.SetPassword(u"pw");
    UnicodeString base64, text;
    codec.EncryptString(u"salted", base64, TEncoding::UTF8());
    EXPECT_EQ(base64.size(), (8u + 6u + 2u) / 3u * 4u);
    codec.DecryptString(text, base64, TEncoding::UTF8());
    EXPECT_EQ(text, u"salted");
}

TEST(Codec, StatisticsAndProgress) {
    ProgramCodec p;
    const UnicodeString text(3000, u'z');
    const UnicodeString base64 = p.Encrypt(text);
    EXPECT_EQ(p.Decrypt(base64), text);
    EXPECT_EQ(p.codec->EstimatedWorkLoad(), static_cast<std::int64_t>(base64.size()));
    EXPECT_EQ(p.codec->CountBytesProcessed(), 3008);
    EXPECT_GE(p.codec->Duration(), 0.0);

    // Reported between the 1,024-byte pieces; stopping clears the result.
    std::vector<std::int64_t> reports;
    p.codec->SetOnProgress([&](void* sender, std::int64_t count) {
        EXPECT_EQ(sender, p.codec.get());
        reports.push_back(count);
        return count < 2048;
    });
    UnicodeString result = u"before";
    p.codec->DecryptString(result, base64, TEncoding::UTF8());
    EXPECT_EQ(reports, (std::vector<std::int64_t>{1024, 2048}));
    EXPECT_TRUE(p.codec->isUserAborted());
    EXPECT_TRUE(result.empty());
    EXPECT_EQ(p.codec->Mode(), cmIdle);

    p.codec->Reset();
    EXPECT_EQ(p.codec->CountBytesProcessed(), 0);
    EXPECT_EQ(p.codec->EstimatedWorkLoad(), 0);
}

TEST(Codec, StreamAndMemoryFormsMatchTheStringForm) {
    ProgramCodec p;
    TMemoryStream plain, cipher, back;
    const std::string text = "a stream of some forty-two bytes of text!!";
    plain.WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
    p.codec->EncryptStream(plain, cipher);
    ASSERT_EQ(cipher.Size(), static_cast<std::int64_t>(text.size() + 8));

    p.codec->Begin_DecryptMemory(back);
    for (std::int64_t i = 0; i < cipher.Size(); ++i) {
        p.codec->DecryptMemory(cipher.Memory() + i, 1);
    }
    p.codec->End_DecryptMemory();
    EXPECT_EQ(std::string(back.Memory(), back.Memory() + back.Size()), text);
}

// The file forms write all or nothing: a new private file, put in place only when the call
// succeeded, never written through a link, and never over the file being read.
TEST(Codec, FileFormsReplaceTheOutputOnlyOnSuccess) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() /
                         ("codec_files_" + std::to_string(reinterpret_cast<std::uintptr_t>(&dir)));
    fs::remove_all(dir);
    fs::create_directories(dir);
    auto path = [&dir](const char* name) { return (dir / name).u16string(); };
    auto write = [&](const char* name, const std::string& content) {
        std::ofstream(dir / name, std::ios::binary) << content;
    };
    auto read = [&](const char* name) {
        std::ifstream in(dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    const std::string text = "forty-two bytes of secret plaintext, or so";
    write("plain", text);
    write("old", "old content");
    ProgramCodec p;
    p.codec->EncryptFile(path("plain"), path("cipher"));
    p.codec->DecryptFile(path("back"), path("cipher"));
    EXPECT_EQ(read("back"), text);
#ifndef _WIN32
    EXPECT_EQ(fs::status(dir / "back").permissions() &
                  (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none);
    fs::create_symlink(dir / "old", dir / "link");
#endif
    const std::string cipher = read("cipher");

    TCodec unbound;
    struct Case {
        const char* what;
        std::function<void()> call;
        const char* file;
        std::string content;
    };
    const Case failing[] = {
        {"decrypt over its input", [&] { p.codec->DecryptFile(path("cipher"), path("cipher")); },
         "cipher", cipher},
        {"encrypt over its input", [&] { p.codec->EncryptFile(path("old"), path("old")); }, "old",
         "old content"},
        {"refused by the engine", [&] { unbound.DecryptFile(path("old"), path("cipher")); }, "old",
         "old content"},
#ifndef _WIN32
        {"a link to its input", [&] { p.codec->EncryptFile(path("old"), path("link")); }, "old",
         "old content"},
#endif
    };
    for (const Case& c : failing) {
        EXPECT_NE(MessageOf(c.call), u"(no failure)") << c.what;
        EXPECT_EQ(read(c.file), c.content) << c.what;
    }
#ifndef _WIN32
    // A link at the output is replaced, and what it leads to is left alone.
    p.codec->DecryptFile(path("link"), path("cipher"));
    EXPECT_EQ(read("old"), "old content");
    EXPECT_FALSE(fs::is_symlink(dir / "link"));
    EXPECT_EQ(read("link"), text);
#endif
    // Nothing else is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()),
              std::ptrdiff_t{5 - (fs::exists(dir / "link") ? 0 : 1)});
    fs::remove_all(dir);
}

} // namespace
} // namespace velora
