#include "signing/update_check.hpp"

namespace velora {

std::size_t CheckUpdaterSignature(std::span<const TP256PublicKey> keys,
                                  ISignatureVerifier& verifier, std::int32_t version,
                                  const TSha256Digest& updaterSha256, std::string_view document) {
    const TUpdaterSignature signature = ParseSignatureDocument(document);
    // A signature for an older version must not pass for a newer one.
    if (signature.Version != version) {
        throw EUpdateSignatureError("the signature is for version " +
                                    std::to_string(signature.Version) + ", not " +
                                    std::to_string(version));
    }
    if (signature.Sha256 != updaterSha256) {
        throw EUpdateSignatureError(
            "the updater's SHA-256 is " + LowerHex(updaterSha256.data(), updaterSha256.size()) +
            ", the signed one " + LowerHex(signature.Sha256.data(), signature.Sha256.size()));
    }
    const auto* statements = reinterpret_cast<const std::uint8_t*>(signature.Statements.data());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (verifier.VerifyP256Sha256(keys[i], {statements, signature.Statements.size()},
                                      signature.Signature)) {
            return i;
        }
    }
    throw EUpdateSignatureError("the signature verifies under none of the " +
                                std::to_string(keys.size()) + " update key(s)");
}

} // namespace velora
