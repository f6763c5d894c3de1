// The listed-only algorithms, set up in a codec, refuse to start a message.
#include "codec/codec.hpp"
#include "codec/crypto_library.hpp"
#include "rtl/encoding.hpp"
#include "rtl/exceptions.hpp"

#include <gtest/gtest.h>

namespace velora {
namespace {

struct CodecSetup {
    const char16_t* Stream;
    const char16_t* Block;
    const char16_t* Chain;
};

class PlaceholderInCodec : public ::testing::TestWithParam<CodecSetup> {};

TEST_P(PlaceholderInCodec, DecryptionFailsWithAlgorithmsNotSet) {
    const CodecSetup& s = GetParam();
    TCryptographicLibrary library;
    TCodec codec;
    codec.SetCryptoLibrary(&library);
    codec.SetStreamCipherId(s.Stream);
    codec.SetBlockCipherId(s.Block);
    codec.SetChainModeId(s.Chain);
    // Both paths of key derivation: a password used raw and one that is hashed.
    for (const char16_t* password : {u"pw", u"a password long enough to be hashed"}) {
        codec.SetPassword(password);
        UnicodeString text = u"unchanged";
        try {
            codec.DecryptString(text, u"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", TEncoding::UTF8());
            ADD_FAILURE() << "no failure";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), u"TSimpleCodec.Begin_DecryptMemory - Algorithms not set.");
        }
        EXPECT_EQ(text, u"unchanged");
    }
}

constexpr const char16_t* kAdapter = u"native.StreamToBlock";

INSTANTIATE_TEST_SUITE_P(
    Listed, PlaceholderInCodec,
    ::testing::Values(CodecSetup{u"native.base64", u"", u""}, CodecSetup{u"native.RSA", u"", u""},
                      CodecSetup{u"native.XXTEA.Large.Littleend", u"", u""},
                      CodecSetup{kAdapter, u"native.AES-128", u"native.CBC"},
                      CodecSetup{kAdapter, u"native.AES-192", u"native.CBC"},
                      CodecSetup{kAdapter, u"native.AES-256", u"native.CBC"},
                      CodecSetup{kAdapter, u"native.DES", u"native.CBC"},
                      CodecSetup{kAdapter, u"native.3DES.2", u"native.CBC"},
                      CodecSetup{kAdapter, u"native.3DES.1", u"native.CBC"},
                      CodecSetup{kAdapter, u"native.Blowfish", u"native.CBC"},
                      CodecSetup{kAdapter, u"native.Twofish", u"native.ECB"},
                      CodecSetup{kAdapter, u"native.Twofish", u"native.CFB"},
                      CodecSetup{kAdapter, u"native.Twofish", u"native.OFB"},
                      CodecSetup{kAdapter, u"native.Twofish", u"native.CTR"},
                      CodecSetup{kAdapter, u"native.Twofish", u"native.PCBC"}));

} // namespace
} // namespace velora
