#include "codec/chaining.hpp"
#include "codec/twofish.hpp"
#include "core_test_util.hpp"

#include <gtest/gtest.h>

namespace velora {
namespace {

using namespace coretest;

struct Fixture {
    explicit Fixture(unsigned seed, std::size_t keyBytes = 24) : rng(seed) {
        rawKey = RandomBytes(rng, keyBytes);
        TMemoryStream s;
        Fill(s, rawKey);
        key = TTwofishKey::GenerateFromSeed(s);
        codec = cipher->MakeBlockCodec(*key);
        Fill(iv, RandomBytes(rng, 16));
    }
    std::mt19937 rng;
    Bytes rawKey;
    std::shared_ptr<TTwoFish> cipher = std::make_shared<TTwoFish>();
    std::unique_ptr<TTwofishKey> key;
    std::shared_ptr<IBlockCodec> codec;
    TMemoryStream iv;
};

// Runs whole blocks through a link, one block stream at a time.
Bytes RunBlocks(TBlockChainLink& link, const Bytes& in, bool encrypt, bool sameStream = false) {
    Bytes out;
    TMemoryStream a, b;
    for (std::size_t off = 0; off < in.size(); off += 16) {
        Fill(a, Bytes(in.begin() + static_cast<std::ptrdiff_t>(off),
                      in.begin() + static_cast<std::ptrdiff_t>(off + 16)));
        TMemoryStream& dst = sameStream ? a : b;
        dst.SetSize(16);
        if (encrypt) {
            link.Encrypt_Block(a, dst);
        } else {
            link.Decrypt_Block(dst, a);
        }
        const Bytes block = Contents(dst);
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

TEST(ChainLinks, CloneKeepsTheChainingValueOfItsMomentAndEvolvesAlone) {
    Fixture f(3);
    TCBC cbc;
    const Bytes ct = RandomBytes(f.rng, 48);
    auto link = cbc.MakeDecryptLink(*f.key, f.iv, f.codec);
    RunBlocks(*link, Bytes(ct.begin(), ct.begin() + 16), false);
    auto clone = link->Clone();
    const Bytes last(ct.begin() + 16, ct.begin() + 32);
    // Same block into both: same plaintext, and each moves on by itself.
    EXPECT_EQ(RunBlocks(*link, last, false), RunBlocks(*clone, last, false));
    const Bytes third(ct.begin() + 32, ct.end());
    const Bytes fromLink = RunBlocks(*link, third, false);
    clone->Burn();
    EXPECT_EQ(clone->CV().Size(), 0);
    auto fresh = cbc.MakeDecryptLink(*f.key, f.iv, f.codec);
    EXPECT_EQ(RunBlocks(*fresh, ct, false).size(), 48u);
    Bytes fullRun = RunBlocks(*cbc.MakeDecryptLink(*f.key, f.iv, f.codec), ct, false);
    EXPECT_EQ(Bytes(fullRun.begin() + 32, fullRun.end()), fromLink);
}

TEST(ChainLinks, CfbCloneHasItsOwnRegister) {
    Fixture f(4);
    TCFB_8Bit cfb;
    auto link = cfb.MakeEncryptLink(*f.key, f.iv, f.codec);
    std::uint8_t c1 = 0, c2 = 0, c3 = 0;
    link->Encrypt_8bit(1, c1);
    auto clone = link->Clone();
    link->Encrypt_8bit(2, c2);
    clone->Encrypt_8bit(2, c3);
    EXPECT_EQ(c2, c3);
    link->Encrypt_8bit(9, c2);
    clone->Encrypt_8bit(7, c3);
    EXPECT_NE(Contents(link->CV()), Contents(clone->CV()));
}

TEST(ChainLinks, ResetRestartsOnTheGivenIV) {
    Fixture f(5);
    TCBC cbc;
    const Bytes pt = RandomBytes(f.rng, 32);
    auto link = cbc.MakeEncryptLink(*f.key, f.iv, f.codec);
    const Bytes first = RunBlocks(*link, pt, true);
    link->Reset(f.iv);
    EXPECT_EQ(RunBlocks(*link, pt, true), first);
}

TEST(ChainLinks, BlockOnlyLinkPassesBytesThrough) {
    Fixture f(6);
    TCBC cbc;
    auto link = cbc.MakeEncryptLink(*f.key, f.iv, f.codec);
    std::uint8_t out = 0;
    link->Encrypt_8bit(0xAB, out);
    EXPECT_EQ(out, 0xAB);
    link->Decrypt_8bit(out, 0xCD);
    EXPECT_EQ(out, 0xCD);
}

TEST(ChainModels, DescriptiveValues) {
    TCBC cbc;
    TCFB_8Bit cfb;
    EXPECT_EQ(cbc.ProgId(), u"native.CBC");
    EXPECT_EQ(cbc.Features().Value(), 0x81);
    EXPECT_TRUE(cbc.ChainFeatures().Empty());
    EXPECT_EQ(cfb.ProgId(), u"native.CFB-8bit");
    EXPECT_EQ(cfb.DisplayName(), u"CFB 8-bit");
    EXPECT_EQ(cfb.Features().Value(), 0x80);
    EXPECT_EQ(cfb.ChainFeatures(), (TChainFeatureSet{chfKeyStream, chfByteWise}));
}

} // namespace
} // namespace velora
