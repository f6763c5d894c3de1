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

class CbcAgainstReference : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CbcAgainstReference, WholeBlocksMatchBothWays) {
    const std::size_t blocks = GetParam();
    Fixture f(static_cast<unsigned>(blocks), blocks % 3 == 0 ? 16 : blocks % 3 == 1 ? 24 : 32);
    const Bytes pt = RandomBytes(f.rng, 16 * blocks);
    RefTwofish ref(f.rawKey);
    Bytes expected(pt.size());
    Bytes refIv = Contents(f.iv);
    nettle_cbc_encrypt(ref.Ctx(), &RefTwofish::EncFunc, 16, refIv.data(), pt.size(),
                       expected.data(), pt.data());

    TCBC cbc;
    auto enc = cbc.MakeEncryptLink(*f.key, f.iv, f.codec);
    EXPECT_EQ(RunBlocks(*enc, pt, true), expected);

    for (bool same : {false, true}) {
        auto dec = cbc.MakeDecryptLink(*f.key, f.iv, f.codec);
        EXPECT_EQ(RunBlocks(*dec, expected, false, same), pt) << "same stream " << same;
    }
}

INSTANTIATE_TEST_SUITE_P(Blocks, CbcAgainstReference, ::testing::Values(1, 2, 3, 8, 64));

class Cfb8AgainstReference : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Cfb8AgainstReference, BytesMatchBothWays) {
    Fixture f(100 + static_cast<unsigned>(GetParam()));
    const Bytes pt = RandomBytes(f.rng, GetParam());
    RefTwofish ref(f.rawKey);
    Bytes expected(pt.size());
    Bytes refIv = Contents(f.iv);
    nettle_cfb8_encrypt(ref.Ctx(), &RefTwofish::EncFunc, 16, refIv.data(), pt.size(),
                        expected.data(), pt.data());

    TCFB_8Bit cfb;
    auto enc = cfb.MakeEncryptLink(*f.key, f.iv, f.codec);
    auto dec = cfb.MakeDecryptLink(*f.key, f.iv, f.codec);
    Bytes ct(pt.size()), back(pt.size());
    for (std::size_t i = 0; i < pt.size(); ++i) {
        enc->Encrypt_8bit(pt[i], ct[i]);
        dec->Decrypt_8bit(back[i], ct[i]);
    }
    EXPECT_EQ(ct, expected);
    EXPECT_EQ(back, pt);
}

INSTANTIATE_TEST_SUITE_P(Lengths, Cfb8AgainstReference, ::testing::Values(1, 15, 16, 17, 100));

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
