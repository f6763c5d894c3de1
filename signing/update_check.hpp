// Whether a downloaded updater is the one the product signed for this version.
#pragma once

#include "signing/document.hpp"
#include "signing/verifier.hpp"

#include <span>

namespace velora {

// The position in keys of the key whose signature holds. EUpdateSignatureError when the document
// does not parse, names another version or another SHA-256, or verifies under none of the keys.
std::size_t CheckUpdaterSignature(std::span<const TP256PublicKey> keys,
                                  ISignatureVerifier& verifier, std::int32_t version,
                                  const TSha256Digest& updaterSha256, std::string_view document);

} // namespace velora
