// SHA-256 and ECDSA P-256 verification from the platform's own crypto, behind one small
// interface: the update check above it sees byte arrays only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace velora {

using TSha256Digest = std::array<std::uint8_t, 32>;
// The affine coordinates X || Y, 32 bytes each, big-endian.
using TP256PublicKey = std::array<std::uint8_t, 64>;
// r || s, 32 bytes each, big-endian.
using TP256Signature = std::array<std::uint8_t, 64>;

class ISha256 {
public:
    virtual ~ISha256() = default;
    virtual void Update(std::span<const std::uint8_t> data) = 0;
    // Ends the hash; the object is not used afterwards.
    virtual TSha256Digest Final() = 0;
};

class ISignatureVerifier {
public:
    virtual ~ISignatureVerifier() = default;
    virtual std::unique_ptr<ISha256> CreateSha256() = 0;
    // Whether signature is a valid ECDSA signature of SHA-256(message) under key. A key that is
    // not a point of the curve verifies nothing. Throws only when the platform's crypto cannot
    // be used at all.
    virtual bool VerifyP256Sha256(const TP256PublicKey& key, std::span<const std::uint8_t> message,
                                  const TP256Signature& signature) = 0;
};

// libcrypto on Linux, CNG on Windows.
std::unique_ptr<ISignatureVerifier> CreateSignatureVerifier();

} // namespace velora
