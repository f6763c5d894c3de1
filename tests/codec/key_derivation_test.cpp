// Password to key: the raw and hashed seed paths, the seed-size ranges, the empty seed, the
// messages and the wiping; and the program's configuration against independent SHA-1 and Twofish.
#include "codec/base64.hpp"
#include "codec/codec.hpp"
#include "codec/twofish.hpp"
#include "facade_fakes.hpp"
#include "program_codec.hpp"

#include <gtest/gtest.h>
#include <nettle/cbc.h>
#include <nettle/twofish.h>
#include <openssl/sha.h>

#include <functional>
#include <optional>

namespace velora {
namespace {

using namespace facadetest;

Bytes Utf16LE(std::u16string_view text) {
    Bytes out;
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

Bytes Sha1(const Bytes& message) {
    Bytes digest(SHA_DIGEST_LENGTH);
    SHA1(message.data(), message.size(), digest.data());
    return digest;
}

// The digest cut or repeated to size bytes.
Bytes Fitted(const Bytes& digest, std::size_t size) {
    Bytes out;
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(digest[i % digest.size()]);
    }
    return out;
}

std::u16string Repeat(std::u16string_view unit, std::size_t count) {
    std::u16string s;
    for (std::size_t i = 0; i < count; ++i) {
        s += unit;
    }
    return s;
}

struct SeedCase {
    std::int32_t seedByteSize;
    std::optional<IntegerRange> range;
    std::u16string password;
    // Empty: the password's UTF-16LE bytes; otherwise the digest fitted to this many bytes.
    std::size_t digestFittedTo;
};

class SeedPaths : public testing::TestWithParam<SeedCase> {};

TEST_P(SeedPaths, SeedIsRawPasswordOrFittedDigest) {
    const SeedCase& c = GetParam();
    auto cipher = c.range ? std::make_shared<FakeRangedStreamCipher>(c.seedByteSize, *c.range)
                          : std::make_shared<FakeStreamCipher>(c.seedByteSize);
    for (const TEncoding* encoding : {&TEncoding::ANSI(), &TEncoding::UTF8()}) {
        TSimpleCodec engine;
        engine.SetStreamCipher(cipher);
        engine.Init(c.password, *encoding);
        ASSERT_EQ(engine.Mode(), cmIdle);
        const Bytes expected = c.digestFittedTo == 0
                                   ? Utf16LE(c.password)
                                   : Fitted(Sha1(encoding->GetBytes(c.password)), c.digestFittedTo);
        EXPECT_EQ(cipher->seeds.back(), expected) << "with " << ToUtf8(encoding->Name());
        EXPECT_EQ(engine.HashesPassword(c.password.size()), c.digestFittedTo != 0);
        // Nothing of the seed or the digest stays behind.
        EXPECT_EQ(engine.PasswordHasher().OutputValue().Size(), 0);
    }
}

const std::u16string kUmlauts16 = Repeat(u"\u00e4", 16);
const std::u16string kUmlauts17 = Repeat(u"\u00e4", 17);

INSTANTIATE_TEST_SUITE_P(
    Ranges, SeedPaths,
    testing::Values(
        // Declared range 1 to 32, as Twofish's: up to 16 characters go in raw.
        SeedCase{32, IntegerRange{1, 32}, u"a", 0},
        SeedCase{32, IntegerRange{1, 32}, kUmlauts16, 0},
        SeedCase{32, IntegerRange{1, 32}, kUmlauts17, 20},
        SeedCase{32, IntegerRange{1, 32}, Repeat(u"x", 256), 20},
        // No declared range: only the exact size goes in raw; the digest is repeated or cut.
        SeedCase{32, std::nullopt, Repeat(u"k", 16), 0},
        SeedCase{32, std::nullopt, Repeat(u"k", 15), 32},
        SeedCase{32, std::nullopt, kUmlauts17, 32}, SeedCase{16, std::nullopt, Repeat(u"k", 8), 0},
        SeedCase{16, std::nullopt, Repeat(u"k", 9), 16},
        SeedCase{64, std::nullopt, Repeat(u"k", 5), 64},
        // A range above the digest's length pads the digest up to the range's lower end.
        SeedCase{32, IntegerRange{24, 40}, Repeat(u"k", 10), 24}));

TEST(KeyDerivation, NoSeedSizeGivesAnEmptySeed) {
    auto cipher = std::make_shared<FakeStreamCipher>(-1);
    TSimpleCodec engine;
    engine.SetStreamCipher(cipher);
    engine.Init(u"password", TEncoding::ANSI());
    ASSERT_EQ(cipher->seeds.size(), 1u);
    EXPECT_TRUE(cipher->seeds[0].empty());
    EXPECT_EQ(engine.Mode(), cmIdle);
}

TEST(KeyDerivation, SamePasswordTwiceDerivesTwiceTheSameKey) {
    auto cipher = std::make_shared<FakeStreamCipher>(32);
    TSimpleCodec engine;
    engine.SetStreamCipher(cipher);
    engine.Init(u"a password of some length", TEncoding::ANSI());
    engine.Init(u"a password of some length", TEncoding::ANSI());
    ASSERT_EQ(cipher->seeds.size(), 2u);
    EXPECT_EQ(cipher->seeds[0], cipher->seeds[1]);
}

std::u16string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& e) {
        return e.Message();
    }
    return u"(no failure)";
}

TEST(KeyDerivation, FailuresLeaveNoKey) {
    auto cipher = std::make_shared<FakeStreamCipher>(32);
    TSimpleCodec engine;
    engine.SetStreamCipher(cipher);
    engine.Init(u"first", TEncoding::ANSI());

    // An empty password changes nothing.
    EXPECT_EQ(MessageOf([&] { engine.Init(u"", TEncoding::ANSI()); }),
              u"TSimpleCodec.Init - No password.");
    EXPECT_EQ(engine.Mode(), cmIdle);
    EXPECT_NE(engine.Key(), nullptr);

    engine.PasswordHasher().SetHash(std::make_shared<EmptyHash>());
    EXPECT_EQ(MessageOf([&] { engine.Init(u"a longer password", TEncoding::ANSI()); }),
              u"TSimpleCodec.Init - Hash failed.");
    EXPECT_EQ(engine.Mode(), cmUnitialized);
    EXPECT_EQ(engine.Key(), nullptr);

    cipher->failGenerateKey = true;
    engine.PasswordHasher().SetHash(MakeSHA1Hash());
    EXPECT_EQ(MessageOf([&] { engine.Init(u"a longer password", TEncoding::ANSI()); }),
              u"fake key failure");
    EXPECT_EQ(engine.Mode(), cmUnitialized);
    EXPECT_EQ(engine.Key(), nullptr);
    EXPECT_EQ(engine.PasswordHasher().OutputValue().Size(), 0);

    TMemoryStream out;
    EXPECT_EQ(MessageOf([&] { engine.Begin_DecryptMemory(out); }),
              u"TSimpleCodec.Begin_DecryptMemory - Wrong mode.");

    TSimpleCodec asymmetric;
    asymmetric.SetStreamCipher(
        std::make_shared<FakeStreamCipher>(32, TAlgorithmicFeatureSet{afAsymetric}));
    EXPECT_EQ(MessageOf([&] { asymmetric.Init(u"pw", TEncoding::ANSI()); }),
              u"TSimpleCodec.Init - Asymetric codecs are not initialized by string.");
    EXPECT_EQ(asymmetric.Mode(), cmUnitialized);
}

// The engine bound to the program's algorithms straight from a library.
struct TwofishEngine {
    TCryptographicLibrary library;
    TSimpleCodec engine;
    TwofishEngine() {
        engine.SetStreamCipher(library.StreamCipherIntfc(u"native.StreamToBlock"));
        engine.SetBlockCipher(library.BlockCipherIntfc(u"native.Twofish"));
        engine.SetChainMode(library.BlockChainingModelIntfc(u"native.CBC"));
    }
    Bytes SeedFor(std::u16string_view password, const TEncoding& encoding) {
        engine.Init(password, encoding);
        return dynamic_cast<TTwofishKey&>(*engine.Key()).KeySeed();
    }
};

TEST(KeyDerivation, TwofishTakesUpTo16CharactersRawAndHashesLongerOnes) {
    TwofishEngine t;
    EXPECT_EQ(t.SeedFor(kUmlauts16, TEncoding::UTF8()), Utf16LE(kUmlauts16));
    EXPECT_EQ(t.SeedFor(kUmlauts17, TEncoding::UTF8()),
              Sha1(TEncoding::UTF8().GetBytes(kUmlauts17)));
    EXPECT_EQ(t.SeedFor(kUmlauts17, TEncoding::ANSI()), Sha1(Bytes(17, 0xE4)));
}

// The stored form from the other side: SHA-1 of the password's bytes as a 192-bit Twofish key
// (zero-padded by the cipher), CBC under the nonce followed by zeros, computed with other
// libraries.
TEST(KeyDerivation, ProgramConfigurationMatchesIndependentSha1AndTwofish) {
    std::string passwordText;
    for (int i = 0; i < 256; ++i) {
        passwordText += static_cast<char>(0x20 + (i * 7) % 95);
    }
    const UnicodeString password = U16(passwordText);
    const std::string plaintext = "two whole Twofish blocks of text";
    ASSERT_EQ(plaintext.size(), 32u);

    const UnicodeString base64 = ProgramCodec(password).Encrypt(U16(plaintext));

    Bytes cipherText;
    const std::string ascii = ToUtf8(base64);
    Base64Decode(reinterpret_cast<const std::uint8_t*>(ascii.data()), ascii.size(), cipherText);
    ASSERT_EQ(cipherText.size(), 8u + 32u);

    const Bytes key = Sha1(AsBytes(passwordText));
    twofish_ctx ctx;
    twofish_set_key(&ctx, key.size(), key.data());
    std::uint8_t iv[TWOFISH_BLOCK_SIZE] = {};
    std::copy_n(cipherText.begin(), 8, iv);
    Bytes decrypted(32);
    cbc_decrypt(&ctx, reinterpret_cast<nettle_cipher_func*>(twofish_decrypt), TWOFISH_BLOCK_SIZE,
                iv, decrypted.size(), decrypted.data(), cipherText.data() + 8);
    EXPECT_EQ(decrypted, AsBytes(plaintext));
}

} // namespace
} // namespace velora
