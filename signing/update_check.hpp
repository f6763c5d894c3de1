// Whether a downloaded updater is the one the product signed for this version.
#pragma once

#include "signing/document.hpp"
#include "signing/verifier.hpp"

#include <span>

namespace velora {

// What can be checked before the updater is fetched: the document parses, names this version and
// verifies under one of the keys (its position goes to signer). EUpdateSignatureError otherwise.
TUpdaterSignature CheckSignatureDocument(std::span<const TP256PublicKey> keys,
                                         ISignatureVerifier& verifier, std::int32_t version,
                                         std::string_view document, std::size_t* signer = nullptr);

// EUpdateSignatureError unless the received body has the signed length and SHA-256.
void CheckSignedBody(const TUpdaterSignature& signature, std::int64_t size,
                     const TSha256Digest& sha256);

// Both at once, for an updater at hand: the position in keys of the key whose signature holds.
std::size_t CheckUpdaterSignature(std::span<const TP256PublicKey> keys,
                                  ISignatureVerifier& verifier, std::int32_t version,
                                  std::int64_t size, const TSha256Digest& updaterSha256,
                                  std::string_view document);

} // namespace velora
