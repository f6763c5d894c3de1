#include "config/credentials.hpp"

#include "codec/codec.hpp"
#include "codec/crypto_library.hpp"
#include "config/credential_set.hpp"
#include "config/customtypes.hpp"
#include "rtl/encoding.hpp"

#include <memory>

namespace velora::customtypes {

void LoadCredentials() {
    const TCredentialSet& set = kCredentialSet;
    // Declared in this order so that leaving the scope, normally or by a failure, releases the
    // registry first and then the codec.
    auto codec = std::make_unique<TCodec>(nullptr);
    auto library = std::make_unique<TCryptographicLibrary>(nullptr);

    codec->SetCryptoLibrary(library.get());
    codec->SetStreamCipherId(u"native.StreamToBlock");
    codec->SetBlockCipherId(u"native.Twofish");
    codec->SetChainModeId(u"native.CBC");
    codec->SetPassword(set.Password);

    const TEncoding& utf8 = TEncoding::UTF8();
    codec->DecryptString(LocalFileCrypto, UnicodeString(set.LocalFileCrypto), utf8);
    codec->DecryptString(httpuser, UnicodeString(set.httpuser), utf8);
    codec->DecryptString(httppass, UnicodeString(set.httppass), utf8);
    codec->DecryptString(secret, UnicodeString(set.secret), utf8);
    codec->DecryptString(apisecret, UnicodeString(set.apisecret), utf8);
}

} // namespace velora::customtypes
