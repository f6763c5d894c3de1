#include "codec/stream_to_block.hpp"
#include "codec/twofish.hpp"
#include "core_test_util.hpp"
#include "rtl/exceptions.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace velora {
namespace {

using namespace coretest;

struct Selector : IBlockCipherSelectorEx2 {
    std::shared_ptr<IBlockCipher> BlockCipher;
    std::shared_ptr<IBlockChainingModel> Chain;
    TSetMemStreamProc Hook;
    std::shared_ptr<IBlockCipher> GetBlockCipher() override { return BlockCipher; }
    std::shared_ptr<IBlockChainingModel> GetChainMode() override { return Chain; }
    TSymetricEncryptionOptionSet GetAdvancedOptions2() override { return {}; }
    bool GetOnSetIV(TSetMemStreamProc& Value) override {
        if (!Hook) {
            return false;
        }
        Value = Hook;
        return true;
    }
};

std::shared_ptr<IStreamCipher> Bound(std::shared_ptr<IBlockChainingModel> chain = nullptr,
                                     TSetMemStreamProc hook = nullptr) {
    Selector sel;
    sel.BlockCipher = std::make_shared<TTwoFish>();
    sel.Chain = chain ? std::move(chain) : std::make_shared<TCBC>();
    sel.Hook = std::move(hook);
    TStreamToBlock_Adapter prototype;
    return prototype.MakeParameterized(&sel);
}

std::unique_ptr<TSymetricKey> Key(IStreamCipher& cipher, const Bytes& seed) {
    TMemoryStream s;
    Fill(s, seed);
    return cipher.GenerateKey(s);
}

// Feeds the input in pieces of the given sizes (the last size repeats) to a fresh worker.
template <class Worker>
void Feed(Worker& worker, const Bytes& in, const std::vector<std::size_t>& pieces) {
    TMemoryStream chunk;
    std::size_t at = 0, i = 0;
    while (at < in.size()) {
        const std::size_t n = std::min(pieces[std::min(i, pieces.size() - 1)], in.size() - at);
        Fill(chunk, Bytes(in.begin() + static_cast<std::ptrdiff_t>(at),
                          in.begin() + static_cast<std::ptrdiff_t>(at + n)));
        chunk.SetPosition(static_cast<std::int64_t>(n)); // the worker rewinds by itself
        if constexpr (std::is_same_v<Worker, IStreamDecryptor>) {
            worker.Decrypt(chunk);
        } else {
            worker.Encrypt(chunk);
        }
        at += n;
        ++i;
    }
}

Bytes DecryptIn(IStreamCipher& cipher, TSymetricKey& key, const Bytes& ct,
                const std::vector<std::size_t>& pieces) {
    TMemoryStream out;
    auto dec = cipher.Start_Decrypt(key, out);
    Feed(*dec, ct, pieces);
    dec->End_Decrypt();
    return Contents(out);
}

Bytes EncryptIn(IStreamCipher& cipher, TSymetricKey& key, const Bytes& pt,
                const std::vector<std::size_t>& pieces = {1024}) {
    TMemoryStream out;
    auto enc = cipher.Start_Encrypt(key, out);
    Feed(*enc, pt, pieces);
    enc->End_Encrypt();
    return Contents(out);
}

Bytes Xor(Bytes a, const std::uint8_t* b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] ^= b[i];
    }
    return a;
}

// The message arithmetic computed from the bare block cipher: nonce, then CFB-8bit below one
// block, else CBC whose last whole block and partial block are both chained on C(k-1).
Bytes ReferenceCiphertext(const Bytes& rawKey, const Bytes& nonce, const Bytes& pt) {
    if (pt.empty()) {
        return {};
    }
    auto tf = TTwofishKey::FromRawKey(rawKey.data(), rawKey.size());
    Bytes iv(nonce);
    iv.resize(16, 0);
    Bytes out(nonce);
    const std::size_t L = pt.size(), k = L / 16, r = L % 16;
    if (L < 16) {
        // CFB with an 8-bit segment: one block encryption of the register per byte.
        for (std::size_t i = 0; i < L; ++i) {
            std::uint8_t ks[16];
            tf->EncryptBlock(iv.data(), ks);
            const std::uint8_t c = ks[0] ^ pt[i];
            iv.erase(iv.begin());
            iv.push_back(c);
            out.push_back(c);
        }
        return out;
    }
    Bytes cv = iv;
    auto enc = [&](const Bytes& block) {
        Bytes c(16);
        tf->EncryptBlock(Xor(block, cv.data()).data(), c.data());
        return c;
    };
    const std::size_t plain = r == 0 ? k : k - 1;
    for (std::size_t i = 0; i < plain; ++i) {
        cv = enc(Bytes(pt.begin() + static_cast<std::ptrdiff_t>(16 * i),
                       pt.begin() + static_cast<std::ptrdiff_t>(16 * i + 16)));
        out.insert(out.end(), cv.begin(), cv.end());
    }
    if (r != 0) {
        const auto pk = pt.begin() + static_cast<std::ptrdiff_t>(16 * (k - 1));
        const Bytes X = enc(Bytes(pk, pk + 16));
        Bytes last(pk + 16, pt.end());
        last.insert(last.end(), X.begin() + static_cast<std::ptrdiff_t>(r), X.end());
        const Bytes Y = enc(last);
        out.insert(out.end(), Y.begin(), Y.end());
        out.insert(out.end(), X.begin(), X.begin() + static_cast<std::ptrdiff_t>(r));
    }
    return out;
}

struct KeyCase {
    std::size_t SeedBytes;
    unsigned RngSeed;
};

class AdapterRoundTrip : public ::testing::TestWithParam<KeyCase> {};

TEST_P(AdapterRoundTrip, EveryLengthRoundTripsInAnyChunkingAndIsEightBytesLonger) {
    std::mt19937 rng(GetParam().RngSeed);
    auto cipher = Bound();
    auto key = Key(*cipher, RandomBytes(rng, GetParam().SeedBytes));
    std::vector<std::size_t> lengths;
    for (std::size_t L = 0; L <= 100; ++L) {
        lengths.push_back(L);
    }
    for (std::size_t L : {255, 256, 257, 1023, 1024, 1025, 3000, 4096, 4111}) {
        lengths.push_back(L);
    }
    for (std::size_t L : lengths) {
        const Bytes pt = RandomBytes(rng, L);
        const Bytes ct = EncryptIn(*cipher, *key, pt, {L % 7 + 1});
        ASSERT_EQ(ct.size(), L == 0 ? 0 : L + 8) << "L=" << L;
        const Bytes whole = DecryptIn(*cipher, *key, ct, {ct.size() + 1});
        ASSERT_EQ(whole, pt) << "L=" << L;
        EXPECT_EQ(DecryptIn(*cipher, *key, ct, {1024}), pt) << "L=" << L;
        if (L <= 300) {
            EXPECT_EQ(DecryptIn(*cipher, *key, ct, {1}), pt) << "L=" << L;
            EXPECT_EQ(DecryptIn(*cipher, *key, ct, {3, 7, 16, 5}), pt) << "L=" << L;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, AdapterRoundTrip,
                         ::testing::Values(KeyCase{20, 1}, KeyCase{16, 2}, KeyCase{32, 3},
                                           KeyCase{5, 4}));

class AdapterArithmetic : public ::testing::TestWithParam<std::size_t> {};

TEST_P(AdapterArithmetic, MatchesTheArithmeticComputedFromTheBlockCipher) {
    const std::size_t L = GetParam();
    std::mt19937 rng(static_cast<unsigned>(L) + 77);
    const Bytes seed = RandomBytes(rng, 20);
    auto cipher = Bound();
    auto key = Key(*cipher, seed);
    const Bytes pt = RandomBytes(rng, L);

    // Decrypting a ciphertext built independently.
    const Bytes nonce = RandomBytes(rng, 8);
    const Bytes ref = ReferenceCiphertext(PaddedKey(seed), nonce, pt);
    ASSERT_EQ(ref.size(), L + 8);
    EXPECT_EQ(DecryptIn(*cipher, *key, ref, {ref.size()}), pt);
    EXPECT_EQ(DecryptIn(*cipher, *key, ref, {1}), pt);

    // Encrypting: the body is what the arithmetic gives for the nonce the encryptor chose.
    const Bytes ct = EncryptIn(*cipher, *key, pt);
    const Bytes chosen(ct.begin(), ct.begin() + 8);
    EXPECT_EQ(ct, ReferenceCiphertext(PaddedKey(seed), chosen, pt));
}

// B - 1, B, B + 1, 2B + r and neighbours.
INSTANTIATE_TEST_SUITE_P(Lengths, AdapterArithmetic,
                         ::testing::Values(1, 8, 15, 16, 17, 31, 32, 33, 39, 47, 48, 49, 1000));

TEST(Adapter, ShortCiphertextsGiveEmptyPlaintext) {
    auto cipher = Bound();
    auto key = Key(*cipher, Bytes(20, 1));
    for (std::size_t n = 0; n <= 8; ++n) {
        EXPECT_TRUE(DecryptIn(*cipher, *key, Bytes(n, 0xEE), {1}).empty()) << n;
    }
}

TEST(Adapter, DecryptorServesConsecutiveMessagesAfterAShortOne) {
    // A short message switches a worker to the CFB-8bit fallback; the next message on the same
    // worker must use CBC again, on both sides (checked against fresh workers).
    std::mt19937 rng(11);
    auto cipher = Bound();
    auto key = Key(*cipher, RandomBytes(rng, 20));
    const std::vector<Bytes> messages = {RandomBytes(rng, 5), RandomBytes(rng, 40),
                                         RandomBytes(rng, 3), RandomBytes(rng, 32),
                                         RandomBytes(rng, 0), RandomBytes(rng, 17)};
    TMemoryStream out, encOut;
    auto dec = cipher->Start_Decrypt(*key, out);
    auto enc = cipher->Start_Encrypt(*key, encOut);
    for (const Bytes& pt : messages) {
        encOut.SetSize(0);
        encOut.SetPosition(0);
        Feed(*enc, pt, {9});
        enc->End_Encrypt();
        const Bytes ct = Contents(encOut);
        ASSERT_EQ(ct.size(), pt.empty() ? 0 : pt.size() + 8);
        EXPECT_EQ(DecryptIn(*cipher, *key, ct, {64}), pt) << "fresh decryptor, " << pt.size();
        out.SetSize(0);
        out.SetPosition(0);
        Feed(*dec, EncryptIn(*cipher, *key, pt), {4});
        dec->End_Decrypt();
        EXPECT_EQ(Contents(out), pt) << "length " << pt.size();
    }
}

TEST(Adapter, EveryMessageGetsAFreshNonceAndTheHookSeesTheIV) {
    std::vector<Bytes> seen;
    auto cipher = Bound(nullptr, [&](TMemoryStream& iv) { seen.push_back(Contents(iv)); });
    auto key = Key(*cipher, Bytes(20, 2));
    const Bytes pt(40, 0x42);
    const Bytes a = EncryptIn(*cipher, *key, pt);
    const Bytes b = EncryptIn(*cipher, *key, pt);
    EXPECT_NE(Bytes(a.begin(), a.begin() + 8), Bytes(b.begin(), b.begin() + 8));
    ASSERT_EQ(seen.size(), 2u);
    Bytes expectedIV(a.begin(), a.begin() + 8);
    expectedIV.resize(16, 0);
    EXPECT_EQ(seen[0], expectedIV);
    EXPECT_EQ(DecryptIn(*cipher, *key, b, {1}), pt);
}

TEST(Adapter, MakeParameterizedBindsOnlyWhatASelectorOffers) {
    TStreamToBlock_Adapter prototype;
    Selector empty;
    EXPECT_EQ(prototype.MakeParameterized(&empty), nullptr);
    EXPECT_EQ(prototype.MakeParameterized(nullptr), nullptr);
    struct NotASelector : IInterface {
    } other;
    EXPECT_EQ(prototype.MakeParameterized(&other), nullptr);

    Selector onlyCipher;
    onlyCipher.BlockCipher = std::make_shared<TTwoFish>();
    auto half = prototype.MakeParameterized(&onlyCipher);
    ASSERT_NE(half, nullptr);
    EXPECT_EQ(half->DisplayName(), u"Twofish");
    EXPECT_NE(half->MakeParameterized(&onlyCipher), nullptr) << "still lacks a chaining mode";

    auto full = Bound();
    EXPECT_EQ(full->MakeParameterized(&onlyCipher), nullptr);
}

TEST(Adapter, KeyOperationsAndControlObjectGoToTheBlockCipher) {
    auto prototype = std::make_shared<TStreamToBlock_Adapter>();
    EXPECT_EQ(prototype->DisplayName(), u"Block mode");
    EXPECT_EQ(prototype->SeedByteSize(), -1);
    TMemoryStream seed;
    EXPECT_EQ(prototype->GenerateKey(seed), nullptr);
    EXPECT_EQ(prototype->ControlObject().get(), static_cast<IInterface*>(prototype.get()));
    EXPECT_EQ(prototype->Features().Value(), 0x2881);
    EXPECT_EQ(prototype->ProgId(), u"native.StreamToBlock");

    auto bound = Bound();
    EXPECT_EQ(bound->SeedByteSize(), 32);
    auto control = std::dynamic_pointer_cast<IControlObject>(bound)->ControlObject();
    EXPECT_NE(dynamic_cast<TTwoFish*>(control.get()), nullptr);
    EXPECT_EQ(DeclaredSeedByteSizeRange(control.get(), 32), (IntegerRange{1, 32}));
    auto key = Key(*bound, Bytes(20, 3));
    EXPECT_NE(dynamic_cast<TTwofishKey*>(key.get()), nullptr);
    TMemoryStream saved;
    key->SaveToStream(saved);
    auto loaded = bound->LoadKeyFromStream(saved);
    EXPECT_EQ(DecryptIn(*bound, *loaded, EncryptIn(*bound, *key, Bytes(33, 9)), {5}), Bytes(33, 9));

    TMemoryStream s;
    EXPECT_THROW(prototype->Start_Decrypt(*key, s), Exception);
    auto ex2 = std::dynamic_pointer_cast<IStreamCipherEx2>(bound);
    try {
        ex2->Start_Decrypt_WithIV(*key, s, s);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"Cipher Twofish does not support OpenSSL Compatibility mode.");
    }
}

// An ECB model, to drive the workers for modes without a nonce.
class TestEcb : public IBlockChainingModel {
    class Link : public TBlockChainLink {
    public:
        using TBlockChainLink::TBlockChainLink;
        std::unique_ptr<TBlockChainLink> Clone() override { return nullptr; }
        void Encrypt_Block(TMemoryStream& P, TMemoryStream& C) override {
            FCipher->Encrypt_Block(P, C);
        }
        void Decrypt_Block(TMemoryStream& P, TMemoryStream& C) override {
            FCipher->Decrypt_Block(P, C);
        }
    };

public:
    UnicodeString DisplayName() const override { return u"ECB"; }
    UnicodeString ProgId() const override { return u"test.ECB"; }
    TAlgorithmicFeatureSet Features() const override { return {}; }
    UnicodeString DefinitionURL() const override { return u""; }
    UnicodeString WikipediaReference() const override { return u""; }
    std::unique_ptr<TBlockChainLink>
    MakeEncryptLink(TSymetricKey& K, TMemoryStream& IV,
                    std::shared_ptr<IBlockCodec> C) const override {
        return std::make_unique<Link>(K, IV, std::move(C));
    }
    std::unique_ptr<TBlockChainLink>
    MakeDecryptLink(TSymetricKey& K, TMemoryStream& IV,
                    std::shared_ptr<IBlockCodec> C) const override {
        return std::make_unique<Link>(K, IV, std::move(C));
    }
    TChainFeatureSet ChainFeatures() const override { return {chfNoNonce}; }
};

TEST(Adapter, NoNonceModesPadAndCheckThePadding) {
    std::mt19937 rng(21);
    auto cipher = Bound(std::make_shared<TestEcb>());
    auto key = Key(*cipher, RandomBytes(rng, 16));
    for (std::size_t L : {1, 15, 16, 17, 32, 45}) {
        const Bytes pt = RandomBytes(rng, L);
        const Bytes ct = EncryptIn(*cipher, *key, pt, {7});
        EXPECT_EQ(ct.size(), (L / 16 + 1) * 16) << L;
        EXPECT_EQ(DecryptIn(*cipher, *key, ct, {1}), pt) << L;
    }
    try {
        DecryptIn(*cipher, *key, Bytes(20, 1), {20});
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"Invalid ciphertext - block padding is corrupted.");
    }
}

} // namespace
} // namespace velora
