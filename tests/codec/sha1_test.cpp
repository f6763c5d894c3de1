// SHA-1 through the codec's hashing engine: the published examples, and OpenSSL on random input
// fed in random pieces.
#include "codec/sha1.hpp"
#include "codec/simple_hash.hpp"
#include "facade_fakes.hpp"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <random>
#include <string>

namespace velora {
namespace {

using facadetest::AsBytes;
using facadetest::Contents;

std::string Hex(const Bytes& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (auto b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

Bytes Digest(TSimpleHash& hash, const Bytes& message) {
    hash.Begin_Hash();
    hash.UpdateMemory(message.data(), static_cast<std::int64_t>(message.size()));
    hash.End_Hash();
    return Contents(hash.OutputValue());
}

struct Fips180Example {
    std::string message;
    std::string digest;
};

TEST(SHA1, PublishedExamples) {
    const Fips180Example examples[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    };
    TSimpleHash hash;
    hash.SetHash(MakeSHA1Hash());
    for (const auto& example : examples) {
        EXPECT_EQ(Hex(Digest(hash, AsBytes(example.message))), example.digest)
            << example.message.size() << " bytes";
    }
}

TEST(SHA1, MatchesOpenSSLForRandomMessagesInRandomPieces) {
    std::mt19937 rng(1801);
    TSimpleHash hash;
    hash.SetHash(MakeSHA1Hash());
    for (int round = 0; round < 400; ++round) {
        // Every length around the padding boundaries, then longer ones.
        const std::size_t length = round < 200 ? static_cast<std::size_t>(round) : rng() % 5000;
        Bytes message(length);
        for (auto& b : message) {
            b = static_cast<std::uint8_t>(rng());
        }
        Bytes expected(SHA_DIGEST_LENGTH);
        SHA1(message.data(), message.size(), expected.data());

        hash.Begin_Hash();
        std::size_t done = 0;
        while (done < length) {
            const std::size_t piece = std::min<std::size_t>(length - done, rng() % 150);
            hash.UpdateMemory(message.data() + done, static_cast<std::int64_t>(piece));
            done += piece;
        }
        hash.End_Hash();
        ASSERT_EQ(Contents(hash.OutputValue()), expected) << "length " << length;
        EXPECT_EQ(hash.Count(), static_cast<std::int64_t>(length));
    }
}

TEST(SimpleHash, HashTextUsesTheGivenEncoding) {
    TSimpleHash hash;
    hash.SetHash(MakeSHA1Hash());
    const UnicodeString text = u"p\u00e4ss";
    const Bytes utf8 = {'p', 0xC3, 0xA4, 's', 's'};
    const Bytes ansi = {'p', 0xE4, 's', 's'};
    hash.HashText(text, TEncoding::UTF8());
    EXPECT_EQ(Contents(hash.OutputValue()), Digest(hash, utf8));
    hash.HashText(text, TEncoding::ANSI());
    EXPECT_EQ(Contents(hash.OutputValue()), Digest(hash, ansi));
}

TEST(SimpleHash, FailsWithoutDescriptorOrStartAndBurnsItsState) {
    TSimpleHash hash;
    try {
        hash.Begin_Hash();
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"TSimpleHash.Begin_Hash - without undefined hash algorithm.");
    }
    hash.SetHash(MakeSHA1Hash());
    hash.HashText(u"abc", TEncoding::UTF8());
    const std::uint8_t byte = 1;
    try {
        hash.UpdateMemory(&byte, 1);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"TSimpleHash.UpdateMemory - hashing not started.");
    }
    hash.Burn();
    EXPECT_EQ(hash.OutputValue().Size(), 0);
    EXPECT_EQ(hash.Count(), 0);
}

} // namespace
} // namespace velora
