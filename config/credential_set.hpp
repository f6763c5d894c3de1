// The product password and the five stored ciphertexts. Their values come from the
// credential-set file that the build configuration names (VELORA_CREDENTIAL_SET); the build turns
// that file into the definition of kCredentialSet.
#pragma once

#include <string_view>

namespace velora {

struct TCredentialSet {
    std::u16string_view Password;
    // Base64 ciphertexts, in the order in which they are decrypted.
    std::u16string_view LocalFileCrypto;
    std::u16string_view httpuser;
    std::u16string_view httppass;
    std::u16string_view secret;
    std::u16string_view apisecret;
};

extern const TCredentialSet kCredentialSet;

} // namespace velora
