// Helpers for the codec core tests: hex text, memory streams, seeds.
#pragma once

#include "rtl/streams.hpp"
#include "rtl/ustring.hpp"

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

namespace velora::coretest {

inline Bytes Hex(std::string_view hex) {
    Bytes out;
    auto nibble = [](char c) {
        return static_cast<std::uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    };
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>((nibble(hex[i]) << 4) | nibble(hex[i + 1])));
    }
    return out;
}

inline std::string ToHex(const Bytes& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (auto v : b) {
        s += digits[v >> 4];
        s += digits[v & 15];
    }
    return s;
}

inline void Fill(TMemoryStream& s, const Bytes& b) {
    s.SetSize(0);
    s.SetPosition(0);
    if (!b.empty()) {
        s.WriteBuffer(b.data(), static_cast<std::int64_t>(b.size()));
    }
    s.SetPosition(0);
}

inline Bytes Contents(TMemoryStream& s) {
    return Bytes(s.Memory(), s.Memory() + s.Size());
}

inline Bytes RandomBytes(std::mt19937& rng, std::size_t n) {
    Bytes b(n);
    for (auto& v : b) {
        v = static_cast<std::uint8_t>(rng());
    }
    return b;
}

// The Twofish key a seed stands for: zero-padded to 16, 24 or 32 bytes, cut at 32.
inline Bytes PaddedKey(const Bytes& seed) {
    Bytes key(seed.begin(),
              seed.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(seed.size(), 32)));
    const std::size_t size = key.size() <= 16 ? 16 : key.size() <= 24 ? 24 : 32;
    key.resize(size, 0);
    return key;
}

} // namespace velora::coretest
