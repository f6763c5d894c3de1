#include "launcher/signed_update.hpp"

#include "signing/update_check.hpp"
#include "signing/update_keys.hpp"

#include <string>

namespace velora {

TUpdateKeys BuildUpdateKeys() {
    return {kUpdatePublicKeys, CreateSignatureVerifier};
}

std::optional<TUpdaterSignature> FetchUpdaterSignature(ILauncherClient& client,
                                                       const UnicodeString& controllerurl,
                                                       std::int32_t remoteversion,
                                                       std::span<const TP256PublicKey> keys,
                                                       ISignatureVerifier& verifier) {
    if (keys.empty()) {
        return std::nullopt;
    }
    const std::shared_ptr<IHTTPResponse> response =
        client.Get(controllerurl + UnicodeString(kUpdaterFolder) + UnicodeString(kUpdaterFileName) +
                   UnicodeString(kSignatureSuffix));
    if (const std::int32_t status = response->GetStatusCode(); status != 200) {
        throw EUpdateSignatureError("the signature document was answered with status " +
                                    std::to_string(status));
    }
    TStream& stream = response->GetContentStream();
    const std::int64_t size = stream.Size();
    if (size > static_cast<std::int64_t>(kMaxSignatureDocumentSize)) {
        throw EUpdateSignatureError("the signature document is larger than " +
                                    std::to_string(kMaxSignatureDocumentSize) + " bytes");
    }
    std::string document(static_cast<std::size_t>(size), '\0');
    stream.SetPosition(0);
    stream.ReadBuffer(document.data(), size);
    return CheckSignatureDocument(keys, verifier, remoteversion, document);
}

} // namespace velora
