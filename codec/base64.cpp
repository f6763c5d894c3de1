#include "codec/base64.hpp"

#include <array>
#include <string_view>

namespace velora {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    table.fill(255);
    for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecodeTable = MakeDecodeTable();

} // namespace

void Base64Decode(const std::uint8_t* data, std::size_t size, Bytes& out) {
    const std::size_t groups = size / 4;
    out.reserve(out.size() + groups * 3);
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint8_t* group = data + 4 * g;
        std::array<unsigned, 4> v{};
        int k = 0;
        while (k < 4 && group[k] != '=') {
            v[k] = kDecodeTable[group[k]];
            ++k;
        }
        // Sums, not bitwise ors: the two differ once an invalid byte (255) takes part.
        const std::uint8_t bytes[3] = {
            static_cast<std::uint8_t>(((v[0] << 2) & 0xFF) + ((v[1] >> 4) & 0xFF)),
            static_cast<std::uint8_t>(((v[1] << 4) & 0xFF) + ((v[2] >> 2) & 0xFF)),
            static_cast<std::uint8_t>(((v[2] << 6) & 0xFF) + (v[3] & 0xFF)),
        };
        out.insert(out.end(), bytes, bytes + (6 * k) / 8);
    }
}

std::string Base64Encode(const std::uint8_t* data, std::size_t size) {
    std::string text;
    text.reserve((size + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t n =
            (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
        text += kAlphabet[(n >> 18) & 63];
        text += kAlphabet[(n >> 12) & 63];
        text += kAlphabet[(n >> 6) & 63];
        text += kAlphabet[n & 63];
    }
    if (const std::size_t rest = size - i; rest > 0) {
        std::uint32_t n = std::uint32_t{data[i]} << 16;
        if (rest == 2) {
            n |= std::uint32_t{data[i + 1]} << 8;
        }
        text += kAlphabet[(n >> 18) & 63];
        text += kAlphabet[(n >> 12) & 63];
        text += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
        text += '=';
    }
    return text;
}

} // namespace velora
