#include "codec/twofish.hpp"
#include "core_test_util.hpp"
#include "rtl/exceptions.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace velora {
namespace {

using namespace coretest;

std::unique_ptr<TTwofishKey> KeyFromSeed(const Bytes& seed) {
    TMemoryStream s;
    Fill(s, seed);
    s.SetPosition(5 < s.Size() ? 5 : 0); // the seed is always read from position 0
    return TTwofishKey::GenerateFromSeed(s);
}

Bytes Encrypt(TTwofishKey& key, const Bytes& pt) {
    TTwoFish cipher;
    auto codec = cipher.MakeBlockCodec(key);
    TMemoryStream p, c;
    Fill(p, pt);
    c.SetSize(16);
    codec->Encrypt_Block(p, c);
    return Contents(c);
}

Bytes Decrypt(TTwofishKey& key, const Bytes& ct) {
    TTwoFish cipher;
    auto codec = cipher.MakeBlockCodec(key);
    TMemoryStream p, c;
    Fill(c, ct);
    p.SetSize(16);
    codec->Decrypt_Block(p, c);
    return Contents(p);
}

// The published iterated tables: each step keys with the previous plaintext followed by the
// front of the previous key, and enciphers the previous ciphertext.
struct KatChain {
    std::size_t KeyBytes;
    const char* FirstCiphertext;
    const char* LastCiphertext; // entry 49
};

class TwofishKnownAnswer : public ::testing::TestWithParam<KatChain> {};

TEST_P(TwofishKnownAnswer, IteratedTableFirstAndLastEntriesBothWays) {
    const KatChain& kat = GetParam();
    Bytes key(kat.KeyBytes, 0), pt(16, 0), ct;
    for (int i = 1; i <= 49; ++i) {
        auto k = KeyFromSeed(key);
        ct = Encrypt(*k, pt);
        EXPECT_EQ(Decrypt(*k, ct), pt) << "entry " << i;
        if (i == 1) {
            EXPECT_EQ(ToHex(ct), kat.FirstCiphertext);
        }
        if (i == 49) {
            EXPECT_EQ(ToHex(ct), kat.LastCiphertext);
            break;
        }
        Bytes nextKey(pt);
        nextKey.insert(nextKey.end(), key.begin(),
                       key.begin() + static_cast<std::ptrdiff_t>(kat.KeyBytes - 16));
        key = nextKey;
        pt = ct;
    }
}

INSTANTIATE_TEST_SUITE_P(KeySizes, TwofishKnownAnswer,
                         ::testing::Values(KatChain{16, "9F589F5CF6122C32B6BFEC2F2AE8C35A",
                                                    "5D9D4EEFFA9151575524F115815A12E0"},
                                           KatChain{24, "EFA71F788965BD4453F860178FC19101",
                                                    "E75449212BEEF9F4A390BD860A640941"},
                                           KatChain{32, "57FF739D4DC92C1BD7FC01700CC8216F",
                                                    "37FE26FF1CF66175F5DDF4C33B97A205"}));

TEST(Twofish, PaperVectorsForEachKeySize) {
    struct {
        const char *Key, *Ciphertext;
    } const cases[] = {
        {"00000000000000000000000000000000", "9F589F5CF6122C32B6BFEC2F2AE8C35A"},
        {"0123456789ABCDEFFEDCBA98765432100011223344556677", "CFD1D2E5A9BE9CDF501F13B892BD2248"},
        {"0123456789ABCDEFFEDCBA987654321000112233445566778899AABBCCDDEEFF",
         "37527BE0052334B89F0CFCCAE87CFA20"},
    };
    for (const auto& c : cases) {
        auto key = KeyFromSeed(Hex(c.Key));
        EXPECT_EQ(ToHex(Encrypt(*key, Bytes(16, 0))), c.Ciphertext);
        EXPECT_EQ(Decrypt(*key, Hex(c.Ciphertext)), Bytes(16, 0));
    }
}

TEST(Twofish, SelfTestTripleIsConsistent) {
    TTwoFish cipher;
    auto key = KeyFromSeed(cipher.SelfTest_Key());
    EXPECT_EQ(cipher.SelfTest_Key().size(), 24u);
    EXPECT_EQ(Encrypt(*key, cipher.SelfTest_Plaintext()), cipher.SelfTest_Ciphertext());
}

// Seed lengths around every key-size boundary, against the exact-size key the rule gives.
class TwofishSeedRule : public ::testing::TestWithParam<std::size_t> {};

TEST_P(TwofishSeedRule, SeedIsZeroPaddedToNextKeySizeAndCutAt32Bytes) {
    std::mt19937 rng(static_cast<unsigned>(GetParam()));
    const Bytes seed = RandomBytes(rng, GetParam());
    const Bytes pt = RandomBytes(rng, 16);
    auto key = KeyFromSeed(seed);
    const Bytes ref = Encrypt(*KeyFromSeed(PaddedKey(seed)), pt);
    EXPECT_EQ(Encrypt(*key, pt), ref);
    EXPECT_EQ(key->KeySeed(), seed) << "every seed byte is kept";
    TMemoryStream saved;
    saved.WriteBuffer("x", 1); // saving writes at the current position
    key->SaveToStream(saved);
    ASSERT_EQ(saved.Size(), static_cast<std::int64_t>(seed.size() + 1));
    saved.SetPosition(1);
    TMemoryStream rest;
    rest.CopyFrom(saved, static_cast<std::int64_t>(seed.size()), 64);
    if (!seed.empty()) {
        auto loaded = TTwofishKey::LoadFromStream(rest);
        EXPECT_EQ(Encrypt(*loaded, pt), ref);
        EXPECT_EQ(loaded->KeySeed(), seed);
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, TwofishSeedRule,
                         ::testing::Values(0, 1, 15, 16, 17, 20, 23, 24, 25, 31, 32, 33, 40, 100));

TEST(Twofish, EmptySeedIsTheAllZero128BitKey) {
    auto key = KeyFromSeed({});
    EXPECT_EQ(ToHex(Encrypt(*key, Bytes(16, 0))), "9F589F5CF6122C32B6BFEC2F2AE8C35A");
}

TEST(Twofish, BlockOperationsWorkInPlace) {
    std::mt19937 rng(7);
    auto key = KeyFromSeed(RandomBytes(rng, 20));
    TTwoFish cipher;
    auto codec = cipher.MakeBlockCodec(*key);
    const Bytes pt = RandomBytes(rng, 16);
    TMemoryStream s;
    Fill(s, pt);
    codec->Encrypt_Block(s, s);
    EXPECT_EQ(Contents(s), Encrypt(*key, pt));
    codec->Decrypt_Block(s, s);
    EXPECT_EQ(Contents(s), pt);
}

TEST(Twofish, BulkCallsMatchSingleBlocksForOddAndEvenCounts) {
    std::mt19937 rng(8);
    auto key = KeyFromSeed(RandomBytes(rng, 32));
    for (std::size_t count : {1, 2, 5}) {
        const Bytes pt = RandomBytes(rng, 16 * count);
        Bytes bulk(pt.size()), single(pt.size()), back(pt.size());
        key->EncryptBlocks(pt.data(), bulk.data(), count);
        for (std::size_t i = 0; i < count; ++i) {
            key->EncryptBlock(pt.data() + 16 * i, single.data() + 16 * i);
        }
        EXPECT_EQ(bulk, single) << count;
        key->DecryptBlocks(bulk.data(), back.data(), count);
        EXPECT_EQ(back, pt) << count;
        key->DecryptBlocks(bulk.data(), bulk.data(), count);
        EXPECT_EQ(bulk, pt) << "in place, " << count;
    }
}

TEST(Twofish, BurnZeroesSeedSubKeysAndTables) {
    auto key = KeyFromSeed(Bytes(20, 0x5A));
    key->Burn();
    EXPECT_TRUE(key->KeySeed().empty());
    EXPECT_TRUE(std::all_of(key->SubKeys().begin(), key->SubKeys().end(),
                            [](std::uint32_t w) { return w == 0; }));
    EXPECT_TRUE(std::all_of(key->SBox().begin(), key->SBox().end(),
                            [](std::uint32_t w) { return w == 0; }));
}

TEST(Twofish, RejectsForeignKeysAndShortBlocks) {
    struct OtherKey : TSymetricKey {
        void SaveToStream(TStream&) override {}
        void Burn() override {}
    } other;
    auto cipher = std::make_shared<TTwoFish>();
    EXPECT_THROW(cipher->MakeBlockCodec(other), EInvalidCast);

    auto key = KeyFromSeed(Bytes(16, 1));
    auto codec = cipher->MakeBlockCodec(*key);
    TMemoryStream shortBlock, full;
    shortBlock.SetSize(15);
    full.SetSize(16);
    EXPECT_THROW(codec->Encrypt_Block(shortBlock, full), ERangeError);
    EXPECT_THROW(codec->Decrypt_Block(full, shortBlock), ERangeError);
}

TEST(Twofish, DescriptiveValues) {
    auto cipher = std::make_shared<TTwoFish>();
    EXPECT_EQ(cipher->ProgId(), u"native.Twofish");
    EXPECT_EQ(cipher->DisplayName(), u"Twofish");
    EXPECT_EQ(cipher->Features().Value(), 0x80);
    EXPECT_EQ(cipher->BlockSize(), 128);
    EXPECT_EQ(cipher->KeySize(), 256);
    EXPECT_EQ(cipher->SeedByteSize(), 32);
    EXPECT_EQ(cipher->SeedByteSizeRange(), (IntegerRange{1, 32}));
    EXPECT_EQ(cipher->ControlObject().get(), static_cast<IInterface*>(cipher.get()));
}

} // namespace
} // namespace velora
