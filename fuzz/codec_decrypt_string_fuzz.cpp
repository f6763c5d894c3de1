// Input: one control byte, a password of (control & 0x3F) bytes, then the Base64 text. Each byte
// of the password and the text becomes one UTF-16 unit, so non-ASCII characters reach both the
// key derivation and the Base64 step; in the text, the bytes 0xD8 to 0xDF become surrogates,
// paired or not. Two decryptions run on one codec to exercise the state kept between calls.
// Malformed Base64 never fails: the only failure is the text decoding of what comes out, or,
// without a password, the engine's refusal to start.
#include "codec/codec.hpp"
#include "codec/crypto_library.hpp"
#include "rtl/exceptions.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace velora;

namespace {

UnicodeString Units(const std::uint8_t* data, std::size_t size, bool surrogates) {
    UnicodeString text;
    for (std::size_t i = 0; i < size; ++i) {
        const bool surrogate = surrogates && data[i] >= 0xD8 && data[i] <= 0xDF;
        text += static_cast<char16_t>(surrogate ? data[i] << 8 : data[i]);
    }
    return text;
}

void DecryptOnce(TCodec& codec, const UnicodeString& base64, const TEncoding& encoding,
                 bool withPassword) {
    UnicodeString plaintext = u"unchanged";
    try {
        codec.DecryptString(plaintext, base64, encoding);
    } catch (const Exception& e) {
        // A failed decryption leaves the destination alone.
        if (plaintext != u"unchanged") {
            std::abort();
        }
        const std::u16string_view expected =
            withPassword ? SNoMappingForUnicode
                         : std::u16string_view(u"TSimpleCodec.Begin_DecryptMemory - Wrong mode.");
        if (e.Message() != expected) {
            std::abort();
        }
        return;
    }
    if (codec.Mode() != cmIdle) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t control = data[0];
    const std::size_t passwordLength = std::min<std::size_t>(control & 0x3F, size - 1);
    const UnicodeString password = Units(data + 1, passwordLength, false);
    const UnicodeString base64 = Units(data + 1 + passwordLength, size - 1 - passwordLength, true);
    const TEncoding& encoding = (control & 0x40) != 0 ? TEncoding::ANSI() : TEncoding::UTF8();

    TCodec codec;
    TCryptographicLibrary library;
    codec.SetCryptoLibrary(&library);
    codec.SetStreamCipherId(u"native.StreamToBlock");
    codec.SetBlockCipherId(u"native.Twofish");
    codec.SetChainModeId(u"native.CBC");
    codec.SetPassword(password);
    DecryptOnce(codec, base64, encoding, !password.empty());
    if ((control & 0x80) != 0) {
        codec.Reset();
    }
    DecryptOnce(codec, base64, encoding, !password.empty());
    return 0;
}
