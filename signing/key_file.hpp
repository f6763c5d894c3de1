// The update keys file: one or more ECDSA P-256 public keys as PEM "PUBLIC KEY" blocks (the
// SubjectPublicKeyInfo of an uncompressed point). Outside the blocks only blank lines and lines
// starting with '#' may stand; LF or CR LF line ends. The build reads the same grammar
// (signing/gen_update_keys.cmake) and compiles the keys in.
#pragma once

#include "rtl/exceptions.hpp"
#include "signing/verifier.hpp"

#include <string_view>
#include <vector>

namespace velora {

VELORA_DECLARE_EXCEPTION(EUpdateKeyFileError, Exception);

// The keys in file order; EUpdateKeyFileError naming the line and what is wrong with it.
std::vector<TP256PublicKey> ParseUpdateKeyFile(std::string_view text);

} // namespace velora
