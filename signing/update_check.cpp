#include "signing/update_check.hpp"

namespace velora {

TUpdaterSignature CheckSignatureDocument(std::span<const TP256PublicKey> keys,
                                         ISignatureVerifier& verifier, std::int32_t version,
                                         std::string_view document, std::size_t* signer) {
    TUpdaterSignature signature = ParseSignatureDocument(document);
    // Neither an older signed updater replayed as a newer one nor a newer one ahead of its
    // release.
    if (signature.Version != version) {
        throw EUpdateSignatureError("the signature is for version " +
                                    std::to_string(signature.Version) + ", not " +
                                    std::to_string(version));
    }
    const auto* statements = reinterpret_cast<const std::uint8_t*>(signature.Statements.data());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (verifier.VerifyP256Sha256(keys[i], {statements, signature.Statements.size()},
                                      signature.Signature)) {
            if (signer != nullptr) {
                *signer = i;
            }
            return signature;
        }
    }
    throw EUpdateSignatureError("the signature verifies under none of the " +
                                std::to_string(keys.size()) + " update key(s)");
}

void CheckSignedBody(const TUpdaterSignature& signature, std::int64_t size,
                     const TSha256Digest& sha256) {
    if (signature.Sha256 != sha256) {
        throw EUpdateSignatureError("the updater's SHA-256 is " +
                                    LowerHex(sha256.data(), sha256.size()) + ", the signed one " +
                                    LowerHex(signature.Sha256.data(), signature.Sha256.size()));
    }
    if (size != signature.Size) {
        throw EUpdateSignatureError("the updater has " + std::to_string(size) +
                                    " bytes, the signed one " + std::to_string(signature.Size));
    }
}

std::size_t CheckUpdaterSignature(std::span<const TP256PublicKey> keys,
                                  ISignatureVerifier& verifier, std::int32_t version,
                                  std::int64_t size, const TSha256Digest& updaterSha256,
                                  std::string_view document) {
    std::size_t signer = 0;
    CheckSignedBody(CheckSignatureDocument(keys, verifier, version, document, &signer), size,
                    updaterSha256);
    return signer;
}

} // namespace velora
