// The signature document published beside the updater: which version the updater is for, its
// length and the SHA-256 of its bytes, and an ECDSA P-256 signature over exactly those
// statements.
//
//   velora-updater-signature 2\n
//   version <decimal>\n
//   size <decimal>\n
//   sha256 <64 lower-case hex digits>\n
//   signature ecdsa-p256-sha256 <128 lower-case hex digits: r || s>\n
//
// The signature covers the bytes of the first four lines as they stand, line ends included.
// Nothing else is allowed: no other line, no blank line, no CR, no second signature.
#pragma once

#include "rtl/exceptions.hpp"
#include "signing/verifier.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velora {

VELORA_DECLARE_EXCEPTION(EUpdateSignatureError, Exception);

inline constexpr std::string_view kSignatureDocumentHeader = "velora-updater-signature 2";
// Far above any document of this format; a larger answer is not one.
inline constexpr std::size_t kMaxSignatureDocumentSize = 1024;

struct TUpdaterSignature {
    std::int32_t Version = 0;
    // The updater's length in bytes.
    std::int64_t Size = 0;
    TSha256Digest Sha256{};
    TP256Signature Signature{};
    // The bytes the signature covers.
    std::string Statements;
};

// The statement lines for a version, a length and a hash: what a signer signs.
std::string UpdaterStatements(std::int32_t version, std::int64_t size, const TSha256Digest& sha256);
// The whole document: the statements followed by the signature line.
std::string FormatSignatureDocument(std::string_view statements, const TP256Signature& signature);

// EUpdateSignatureError naming the line and what is wrong with it.
TUpdaterSignature ParseSignatureDocument(std::string_view document);

// The launcher's decimal text of a number: "-" for negatives, no leading zeros, "0" for zero.
// Nothing else is read as a version: no "+", no blanks, no other radix.
std::optional<std::int32_t> ParseCanonicalDecimal(std::string_view text) noexcept;

std::string LowerHex(const std::uint8_t* data, std::size_t size);

} // namespace velora
