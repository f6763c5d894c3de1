// The codec set up as the launcher sets up its own: Twofish in CBC through the stream adapter,
// keyed from a password. For tests that need that codec beside other things.
#pragma once

#include "codec/codec.hpp"
#include "codec/crypto_library.hpp"
#include "rtl/encoding.hpp"

#include <memory>
#include <string_view>

namespace velora {

struct ProgramCodec {
    std::unique_ptr<TCodec> codec = std::make_unique<TCodec>();
    std::unique_ptr<TCryptographicLibrary> library = std::make_unique<TCryptographicLibrary>();

    explicit ProgramCodec(std::u16string_view password = u"the product's password") {
        codec->SetCryptoLibrary(library.get());
        codec->SetStreamCipherId(u"native.StreamToBlock");
        codec->SetBlockCipherId(u"native.Twofish");
        codec->SetChainModeId(u"native.CBC");
        codec->SetPassword(password);
    }
    ~ProgramCodec() {
        library.reset();
        codec.reset();
    }
    UnicodeString Encrypt(const UnicodeString& text, const TEncoding& enc = TEncoding::UTF8()) {
        UnicodeString base64;
        codec->EncryptString(text, base64, enc);
        return base64;
    }
    UnicodeString Decrypt(const UnicodeString& base64) {
        UnicodeString text = u"(unchanged)";
        codec->DecryptString(text, base64, TEncoding::UTF8());
        return text;
    }
};

} // namespace velora
