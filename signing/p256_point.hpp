// Whether X || Y is a point of P-256, as libcrypto and CNG decide when they import a key. Plain
// constexpr arithmetic, so that the build can check the compiled-in keys for every platform
// (signing/gen_update_keys.cmake) without a crypto library.
#pragma once

#include "signing/verifier.hpp"

#include <array>
#include <cstdint>

namespace velora {

namespace p256_detail {

// Little-endian 32-bit words.
using TWords = std::array<std::uint32_t, 8>;

// p = 2^256 - 2^224 + 2^192 + 2^96 - 1
constexpr TWords kPrime = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0, 0, 1, 0xFFFFFFFF};
constexpr TWords kB = {0x27D2604B, 0x3BCE3C3E, 0xCC53B0F6, 0x651D06B0,
                       0x769886BC, 0xB3EBBD55, 0xAA3A93E7, 0x5AC635D8};

constexpr TWords FromBigEndian(const std::uint8_t* bytes) {
    TWords words{};
    for (int i = 0; i < 8; ++i) {
        const std::uint8_t* w = bytes + 4 * (7 - i);
        words[i] = std::uint32_t{w[0]} << 24 | std::uint32_t{w[1]} << 16 |
                   std::uint32_t{w[2]} << 8 | std::uint32_t{w[3]};
    }
    return words;
}

constexpr bool Less(const TWords& a, const TWords& b) {
    for (int i = 7; i >= 0; --i) {
        if (a[i] != b[i]) {
            return a[i] < b[i];
        }
    }
    return false;
}

// a += b (or -=); the carry (borrow) out.
constexpr bool AddInPlace(TWords& a, const TWords& b, bool subtract) {
    std::uint64_t carry = 0;
    for (int i = 0; i < 8; ++i) {
        const std::uint64_t sum =
            subtract ? std::uint64_t{a[i]} - b[i] - carry : std::uint64_t{a[i]} + b[i] + carry;
        a[i] = static_cast<std::uint32_t>(sum);
        carry = (sum >> 32) & 1;
    }
    return carry != 0;
}

// Arguments below p.
constexpr TWords AddMod(TWords a, const TWords& b) {
    if (AddInPlace(a, b, false) || !Less(a, kPrime)) {
        AddInPlace(a, kPrime, true);
    }
    return a;
}

constexpr TWords SubMod(TWords a, const TWords& b) {
    if (AddInPlace(a, b, true)) {
        AddInPlace(a, kPrime, false);
    }
    return a;
}

// The 512-bit product, then NIST's fast reduction for this prime (FIPS 186-4), so that a
// compiler's constexpr evaluation stays far within its step limits.
constexpr TWords MulMod(const TWords& a, const TWords& b) {
    std::array<std::uint32_t, 16> c{};
    for (int i = 0; i < 8; ++i) {
        std::uint64_t carry = 0;
        for (int j = 0; j < 8; ++j) {
            const std::uint64_t t = std::uint64_t{a[i]} * b[j] + c[i + j] + carry;
            c[i + j] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        c[i + 8] = static_cast<std::uint32_t>(carry);
    }
    std::array<std::int64_t, 16> w{};
    for (int i = 0; i < 16; ++i) {
        w[i] = c[i];
    }
    // s1 + 2 s2 + 2 s3 + s4 + s5 - s6 - s7 - s8 - s9, word by word.
    const std::array<std::int64_t, 8> sum = {
        w[0] + w[8] + w[9] - w[11] - w[12] - w[13] - w[14],
        w[1] + w[9] + w[10] - w[12] - w[13] - w[14] - w[15],
        w[2] + w[10] + w[11] - w[13] - w[14] - w[15],
        w[3] + 2 * w[11] + 2 * w[12] + w[13] - w[15] - w[8] - w[9],
        w[4] + 2 * w[12] + 2 * w[13] + w[14] - w[9] - w[10],
        w[5] + 2 * w[13] + 2 * w[14] + w[15] - w[10] - w[11],
        w[6] + 3 * w[14] + 2 * w[15] + w[13] - w[8] - w[9],
        w[7] + 3 * w[15] + w[8] - w[10] - w[11] - w[12] - w[13],
    };
    // The value is top * 2^256 + result, top a small signed number.
    TWords result{};
    std::int64_t top = 0;
    for (int i = 0; i < 8; ++i) {
        const std::int64_t v = sum[i] + top;
        result[i] = static_cast<std::uint32_t>(v);
        top = v >> 32;
    }
    while (top < 0) {
        top += AddInPlace(result, kPrime, false) ? 1 : 0;
    }
    while (top > 0 || !Less(result, kPrime)) {
        top -= AddInPlace(result, kPrime, true) ? 1 : 0;
    }
    return result;
}

} // namespace p256_detail

// y^2 = x^3 - 3x + b with both coordinates below p. P-256 has cofactor 1 and X || Y cannot
// encode the point at infinity, so this is the whole of a public key's validity.
constexpr bool IsP256Point(const TP256PublicKey& key) {
    using namespace p256_detail;
    const TWords x = FromBigEndian(key.data());
    const TWords y = FromBigEndian(key.data() + 32);
    if (!Less(x, kPrime) || !Less(y, kPrime)) {
        return false;
    }
    const TWords three = {3, 0, 0, 0, 0, 0, 0, 0};
    const TWords right = AddMod(MulMod(SubMod(MulMod(x, x), three), x), kB);
    return MulMod(y, y) == right;
}

} // namespace velora
