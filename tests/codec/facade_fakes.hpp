// Test-only algorithms for the codec facade: a stream cipher with a chosen seed size that records
// the seeds it is given, and a hash that produces no digest.
#pragma once

#include "codec/interfaces.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/ustring.hpp"

#include <memory>
#include <string>
#include <vector>

namespace velora::facadetest {

inline Bytes Contents(TMemoryStream& s) {
    return Bytes(s.Memory(), s.Memory() + s.Size());
}

inline Bytes AsBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

class FakeKey : public TSymetricKey {
public:
    explicit FakeKey(Bytes seed) : Seed(std::move(seed)) {}
    void SaveToStream(TStream& Stream) override {
        Stream.WriteBuffer(Seed.data(), static_cast<std::int64_t>(Seed.size()));
    }
    void Burn() override { std::fill(Seed.begin(), Seed.end(), 0); }
    std::uint8_t Mask() const {
        std::uint8_t m = 0x5A;
        for (auto b : Seed) {
            m = static_cast<std::uint8_t>(m * 31 + b);
        }
        return m;
    }
    Bytes Seed;
};

// XORs every byte with a mask made from the seed; the decryptor can be told to fail.
class FakeWorker : public IStreamEncryptor, public IStreamDecryptor {
public:
    FakeWorker(std::uint8_t mask, TStream& out, bool fail) : FMask(mask), FOut(out), FFail(fail) {}
    void Encrypt(TStream& Plaintext) override { Pass(Plaintext); }
    void Decrypt(TStream& CipherText) override {
        if (FFail) {
            throw Exception("fake decryptor failure");
        }
        Pass(CipherText);
    }
    void End_Encrypt() override {}
    void End_Decrypt() override {}
    void Reset() override {}

private:
    void Pass(TStream& in) {
        in.SetPosition(0);
        std::uint8_t b;
        while (in.Read(&b, 1) == 1) {
            b ^= FMask;
            FOut.WriteBuffer(&b, 1);
        }
    }
    std::uint8_t FMask;
    TStream& FOut;
    bool FFail;
};

class FakeStreamCipher : public IStreamCipher {
public:
    explicit FakeStreamCipher(std::int32_t seedByteSize,
                              TAlgorithmicFeatureSet features = {afDoesNotNeedSalt})
        : FSeedByteSize(seedByteSize), FFeatures(features) {}

    UnicodeString DisplayName() const override { return u"Fake"; }
    UnicodeString ProgId() const override { return u"test.Fake"; }
    TAlgorithmicFeatureSet Features() const override { return FFeatures; }
    UnicodeString DefinitionURL() const override { return u""; }
    UnicodeString WikipediaReference() const override { return u""; }

    std::unique_ptr<TSymetricKey> GenerateKey(TStream& Seed) const override {
        if (failGenerateKey) {
            throw Exception("fake key failure");
        }
        Bytes seed(static_cast<std::size_t>(Seed.Size() - Seed.Position()));
        if (!seed.empty()) {
            Seed.ReadBuffer(seed.data(), static_cast<std::int64_t>(seed.size()));
        }
        seeds.push_back(seed);
        return std::make_unique<FakeKey>(seed);
    }
    std::unique_ptr<TSymetricKey> LoadKeyFromStream(TStream& Store) const override {
        return GenerateKey(Store);
    }
    std::int32_t SeedByteSize() const override { return FSeedByteSize; }
    std::shared_ptr<IStreamCipher> MakeParameterized(IInterface*) const override { return nullptr; }
    std::shared_ptr<IStreamEncryptor> Start_Encrypt(TSymetricKey& Key,
                                                    TStream& CipherText) const override {
        return std::make_shared<FakeWorker>(dynamic_cast<FakeKey&>(Key).Mask(), CipherText, false);
    }
    std::shared_ptr<IStreamDecryptor> Start_Decrypt(TSymetricKey& Key,
                                                    TStream& PlainText) const override {
        return std::make_shared<FakeWorker>(dynamic_cast<FakeKey&>(Key).Mask(), PlainText,
                                            failDecrypt);
    }

    mutable std::vector<Bytes> seeds;
    bool failDecrypt = false;
    bool failGenerateKey = false;

private:
    std::int32_t FSeedByteSize;
    TAlgorithmicFeatureSet FFeatures;
};

class FakeRangedStreamCipher : public FakeStreamCipher, public ISeedByteSizeRange {
public:
    FakeRangedStreamCipher(std::int32_t seedByteSize, IntegerRange range)
        : FakeStreamCipher(seedByteSize), FRange(range) {}
    IntegerRange SeedByteSizeRange() const override { return FRange; }

private:
    IntegerRange FRange;
};

class EmptyHasher : public IHasher {
public:
    void Update(TMemoryStream&) override {}
    void End_Hash(TMemoryStream&, TMemoryStream&) override {}
    void Burn() override {}
    UnicodeString SelfTestMessage() override { return u""; }
    UnicodeString SelfTestDigest() override { return u""; }
};

class EmptyHash : public IHashDsc {
public:
    UnicodeString DisplayName() const override { return u"Empty"; }
    UnicodeString ProgId() const override { return u"test.hash.Empty"; }
    TAlgorithmicFeatureSet Features() const override { return {}; }
    UnicodeString DefinitionURL() const override { return u""; }
    UnicodeString WikipediaReference() const override { return u""; }
    std::int32_t DigestBits() const override { return 0; }
    std::int32_t BlockBits() const override { return 512; }
    std::shared_ptr<IHasher> NewHasher(IInterface*) const override {
        return std::make_shared<EmptyHasher>();
    }
};

} // namespace velora::facadetest
