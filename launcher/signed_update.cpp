#include "launcher/signed_update.hpp"

#include "signing/update_check.hpp"
#include "signing/update_keys.hpp"

#include <string>
#include <vector>

namespace velora {

namespace {

// The whole body, read from its start; the stream's position is left as it was, for the copy.
TSha256Digest HashBody(ISignatureVerifier& verifier, TStream& body) {
    const std::int64_t position = body.Position();
    body.SetPosition(0);
    const std::unique_ptr<ISha256> hash = verifier.CreateSha256();
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(kCopyChunkSize));
    for (;;) {
        const std::int64_t n = body.Read(chunk.data(), static_cast<std::int64_t>(chunk.size()));
        if (n <= 0) {
            break;
        }
        hash->Update({chunk.data(), static_cast<std::size_t>(n)});
    }
    body.SetPosition(position);
    return hash->Final();
}

} // namespace

void CheckSignedUpdater(ILauncherClient& client, const UnicodeString& controllerurl,
                        std::int32_t remoteversion, IHTTPResponse& updater) {
    if (kUpdatePublicKeys.empty()) {
        return;
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

    const std::unique_ptr<ISignatureVerifier> verifier = CreateSignatureVerifier();
    CheckUpdaterSignature(kUpdatePublicKeys, *verifier, remoteversion,
                          HashBody(*verifier, updater.GetContentStream()), document);
}

} // namespace velora
