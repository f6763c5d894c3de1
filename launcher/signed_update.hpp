// The signature check of a downloaded updater, in builds with update keys.
#pragma once

#include "launcher/sequence.hpp"
#include "signing/document.hpp"

#include <optional>

namespace velora {

inline constexpr std::u16string_view kSignatureSuffix = u".sig";

// With update keys: GETs the updater's signature document on the same client, before the
// updater, and raises EUpdateSignatureError unless it is signed for this version under one of
// the keys. Without keys: returns nothing at once and asks for nothing.
std::optional<TUpdaterSignature> FetchUpdaterSignature(ILauncherClient& client,
                                                       const UnicodeString& controllerurl,
                                                       std::int32_t remoteversion,
                                                       std::span<const TP256PublicKey> keys,
                                                       ISignatureVerifier& verifier);

} // namespace velora
