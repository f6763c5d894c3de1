// The codec's Base64: the lenient decoder's grouping and arithmetic, and the standard encoder.
#include "codec/base64.hpp"
#include "facade_fakes.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace velora {
namespace {

using facadetest::AsBytes;

Bytes Decode(std::string_view text) {
    Bytes out;
    Base64Decode(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), out);
    return out;
}

std::string Encode(std::string_view bytes) {
    return Base64Encode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

TEST(Base64, Rfc4648VectorsBothWays) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, base64] : vectors) {
        EXPECT_EQ(Encode(plain), base64);
        EXPECT_EQ(Decode(base64), AsBytes(plain)) << base64;
    }
}

TEST(Base64, RandomRoundTrips) {
    std::mt19937 rng(64);
    for (std::size_t n = 0; n < 100; ++n) {
        Bytes data(n);
        for (auto& b : data) {
            b = static_cast<std::uint8_t>(rng());
        }
        const std::string text = Base64Encode(data.data(), data.size());
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(Decode(text), data);
    }
}

struct LenientCase {
    std::string text;
    Bytes expected;
    const char* why;
};

TEST(Base64, LenientDecoding) {
    const LenientCase cases[] = {
        {"Zm9vYm", AsBytes("foo"), "a trailing part group is ignored"},
        {"Zm9", {}, "fewer than four characters give nothing"},
        {"Zg==Zm9v", AsBytes("ffoo"), "'=' shortens only its own group"},
        {"Z===Zm9v", AsBytes("foo"), "one value before '=' gives no byte"},
        {"=Zm9Zm9v", AsBytes("foo"), "'=' first ends the group at once"},
        {"Zm=vZm9v", AsBytes("ffoo"), "'=' third gives one byte"},
        // Values taken as 255: (0xFC + 0x0F) mod 256, (0xF0 + 0) and 0: sums, not ors.
        {"**AA", {0x0B, 0xF0, 0x00}, "bytes outside the alphabet count as 255"},
        {"Zm9v\nZm9v", {'f', 'o', 'o', 0xFD, 0x99, 0xBD}, "a line break shifts the grouping"},
        {"A\xc3\xa9"
         "A",
         {0x0F, 0x2F, 0xC0},
         "each byte of a non-ASCII character is 255"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Decode(c.text), c.expected) << c.why;
    }
}

} // namespace
} // namespace velora
