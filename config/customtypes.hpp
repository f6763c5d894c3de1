// The product configuration: web endpoints and service credentials, held as process-wide texts
// and filled once by LoadConfiguration.
#pragma once

#include "rtl/ustring.hpp"

namespace velora::customtypes {

// Endpoints; the launcher reads controllerurl only.
extern UnicodeString apiurl;
extern UnicodeString controllerurl;
extern UnicodeString streamurl;
extern UnicodeString serviceapiurl;

// Service credentials, decrypted by the credential phase.
extern UnicodeString LocalFileCrypto;
extern UnicodeString httpuser;
extern UnicodeString httppass;
extern UnicodeString secret;
extern UnicodeString apisecret;

// Decrypts the credentials, then assigns the endpoints. When the credentials fail, the failure
// goes on to the caller and no endpoint is assigned.
void LoadConfiguration();

// Run once at process end, after the launcher has released its own state. Credentials are
// wiped before their memory goes.
void FinalizeConfiguration() noexcept;

} // namespace velora::customtypes
