// The signature check of a downloaded updater, in builds with update keys.
#pragma once

#include "launcher/sequence.hpp"

namespace velora {

inline constexpr std::u16string_view kSignatureSuffix = u".sig";

// With update keys compiled in: GETs the updater's signature document on the same client and
// raises EUpdateSignatureError unless it signs this body for this version under one of the
// keys. Without keys: returns at once and asks for nothing.
void CheckSignedUpdater(ILauncherClient& client, const UnicodeString& controllerurl,
                        std::int32_t remoteversion, IHTTPResponse& updater);

} // namespace velora
