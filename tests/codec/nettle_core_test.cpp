// Cross-checks against an independent implementation: nettle's Twofish, CBC and CFB-8.
#include "codec/chaining.hpp"
#include "codec/twofish.hpp"
#include "core_test_util.hpp"

#include <gtest/gtest.h>

#include <nettle/cbc.h>
#include <nettle/cfb.h>
#include <nettle/twofish.h>

namespace velora {
namespace {

using namespace coretest;

// nettle's Twofish keyed with a raw key of 16, 24 or 32 bytes.
class RefTwofish {
public:
    explicit RefTwofish(const Bytes& key) { twofish_set_key(&FCtx, key.size(), key.data()); }
    Bytes Encrypt(const Bytes& in) const {
        Bytes out(in.size());
        twofish_encrypt(&FCtx, in.size(), out.data(), in.data());
        return out;
    }
    const twofish_ctx* Ctx() const { return &FCtx; }
    static void EncFunc(const void* ctx, std::size_t length, std::uint8_t* dst,
                        const std::uint8_t* src) {
        twofish_encrypt(static_cast<const twofish_ctx*>(ctx), length, dst, src);
    }

private:
    twofish_ctx FCtx{};
};

std::unique_ptr<TTwofishKey> KeyFromSeed(const Bytes& seed) {
    TMemoryStream s;
    Fill(s, seed);
    return TTwofishKey::GenerateFromSeed(s);
}

struct Fixture {
    explicit Fixture(unsigned seed, std::size_t keyBytes = 24) : rng(seed) {
        rawKey = RandomBytes(rng, keyBytes);
        key = KeyFromSeed(rawKey);
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

class TwofishAgainstReference : public ::testing::TestWithParam<std::size_t> {};

// Every entry of the iterated known-answer chain, and random blocks under random keys.
TEST_P(TwofishAgainstReference, BlocksMatchForEveryKeyTheChainVisits) {
    const std::size_t keyBytes = GetParam();
    Bytes key(keyBytes, 0), pt(16, 0);
    for (int i = 1; i <= 49; ++i) {
        auto k = KeyFromSeed(key);
        Bytes ct(16);
        k->EncryptBlock(pt.data(), ct.data());
        ASSERT_EQ(ct, RefTwofish(key).Encrypt(pt)) << "entry " << i;
        Bytes nextKey(pt);
        nextKey.insert(nextKey.end(), key.begin(),
                       key.begin() + static_cast<std::ptrdiff_t>(keyBytes - 16));
        key = nextKey;
        pt = ct;
    }
    std::mt19937 rng(static_cast<unsigned>(keyBytes));
    for (int i = 0; i < 50; ++i) {
        const Bytes raw = RandomBytes(rng, keyBytes);
        const Bytes blocks = RandomBytes(rng, 64);
        Bytes ours(64);
        KeyFromSeed(raw)->EncryptBlocks(blocks.data(), ours.data(), 4);
        ASSERT_EQ(ours, RefTwofish(raw).Encrypt(blocks));
    }
}

INSTANTIATE_TEST_SUITE_P(KeySizes, TwofishAgainstReference, ::testing::Values(16, 24, 32));

class SeedAgainstReference : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SeedAgainstReference, SeedKeysLikeTheZeroPaddedKey) {
    std::mt19937 rng(static_cast<unsigned>(GetParam()) + 500);
    const Bytes seed = RandomBytes(rng, GetParam());
    const Bytes pt = RandomBytes(rng, 16);
    Bytes ours(16);
    KeyFromSeed(seed)->EncryptBlock(pt.data(), ours.data());
    EXPECT_EQ(ours, RefTwofish(PaddedKey(seed)).Encrypt(pt));
}

// The system's seed is 20 bytes: a 192-bit key ending in four zero bytes.
INSTANTIATE_TEST_SUITE_P(Lengths, SeedAgainstReference,
                         ::testing::Values(0, 1, 16, 17, 20, 24, 25, 32, 40));

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

} // namespace
} // namespace velora
