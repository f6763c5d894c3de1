// The credential phase of LoadConfiguration.
#pragma once

namespace velora::customtypes {

// Sets LocalFileCrypto, httpuser, httppass, secret and apisecret, in that order. On failure the
// texts already set keep their values and the failing one and those after it stay as they were.
void LoadCredentials();

} // namespace velora::customtypes
