// The update keys compiled into a program (VELORA_UPDATE_PUBLIC_KEYS); empty when the build has
// none, and then updaters are started unsigned.
#pragma once

#include "signing/verifier.hpp"

#include <span>

namespace velora {

extern const std::span<const TP256PublicKey> kUpdatePublicKeys;

} // namespace velora
