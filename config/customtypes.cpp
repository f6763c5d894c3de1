#include "config/customtypes.hpp"

#include "config/credentials.hpp"
#include "rtl/build_config.hpp"
#include "rtl/secure.hpp"

namespace velora::customtypes {

UnicodeString apiurl;
UnicodeString controllerurl;
UnicodeString streamurl;
UnicodeString serviceapiurl;

UnicodeString LocalFileCrypto;
UnicodeString httpuser;
UnicodeString httppass;
UnicodeString secret;
UnicodeString apisecret;

void LoadConfiguration() {
    LoadCredentials();

    const UnicodeString server = U16(kServer);
    apiurl = server + u"/index.php/players/";
    controllerurl = server + u"/library/controllers/";
    // A copy: it does not follow later changes of controllerurl.
    streamurl = controllerurl + u"getsong.php";
    serviceapiurl = U16(kServiceApiServer) + u"/api/";
}

namespace {

void Release(UnicodeString& text) noexcept {
    text.clear();
    text.shrink_to_fit();
}

void Burn(UnicodeString& text) noexcept {
    SecureZero(text);
    Release(text);
}

} // namespace

void FinalizeConfiguration() noexcept {
    Release(streamurl);
    Release(apiurl);
    Burn(LocalFileCrypto);
    Burn(httppass);
    Burn(httpuser);
    Burn(secret);
    Burn(apisecret);
    Release(controllerurl);
    Release(serviceapiurl);
}

} // namespace velora::customtypes
