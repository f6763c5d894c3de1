#include "config/credentials.hpp"

namespace velora::customtypes {

// The stored ciphertexts and the codec that decrypts them are not in this build yet; the
// credentials stay empty.
void LoadCredentials() {}

} // namespace velora::customtypes
