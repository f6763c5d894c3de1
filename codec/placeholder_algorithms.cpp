#include "codec/placeholder_algorithms.hpp"

#include "codec/chaining.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"

namespace velora {

namespace {

[[noreturn]] void RaiseNotImplemented(const UnicodeString& name) {
    throw Exception(Format(u"%s is not implemented.", {name}));
}

template <class Interface> class TPlaceholder : public Interface {
public:
    explicit TPlaceholder(TAlgorithmDescription d) : FDescription(std::move(d)) {
        FDescription.Features.Include(afNotImplementedYet);
    }
    UnicodeString DisplayName() const override { return FDescription.DisplayName; }
    UnicodeString ProgId() const override { return FDescription.ProgId; }
    TAlgorithmicFeatureSet Features() const override { return FDescription.Features; }
    UnicodeString DefinitionURL() const override { return u""; }
    UnicodeString WikipediaReference() const override { return FDescription.WikipediaReference; }

protected:
    TAlgorithmDescription FDescription;
};

class TPlaceholderStreamCipher : public TPlaceholder<IStreamCipher> {
public:
    TPlaceholderStreamCipher(TAlgorithmDescription d, std::int32_t seedByteSize)
        : TPlaceholder(std::move(d)), FSeedByteSize(seedByteSize) {}

    std::unique_ptr<TSymetricKey> GenerateKey(TStream& Seed) const override {
        return std::make_unique<TPlaceholderKey>(Seed);
    }
    std::unique_ptr<TSymetricKey> LoadKeyFromStream(TStream& Store) const override {
        return std::make_unique<TPlaceholderKey>(Store);
    }
    std::int32_t SeedByteSize() const override { return FSeedByteSize; }
    std::shared_ptr<IStreamCipher> MakeParameterized(IInterface*) const override { return nullptr; }
    std::shared_ptr<IStreamEncryptor> Start_Encrypt(TSymetricKey&, TStream&) const override {
        RaiseNotImplemented(FDescription.DisplayName);
    }
    std::shared_ptr<IStreamDecryptor> Start_Decrypt(TSymetricKey&, TStream&) const override {
        RaiseNotImplemented(FDescription.DisplayName);
    }

private:
    std::int32_t FSeedByteSize;
};

class TPlaceholderBase64 : public TPlaceholderStreamCipher, public IisBase64Converter {
public:
    using TPlaceholderStreamCipher::TPlaceholderStreamCipher;
};

class TPlaceholderBlockCipher : public TPlaceholder<IBlockCipher> {
public:
    TPlaceholderBlockCipher(TAlgorithmDescription d, std::int32_t blockBits, std::int32_t keyBits,
                            std::int32_t seedByteSize)
        : TPlaceholder(std::move(d)), FBlockBits(blockBits), FKeyBits(keyBits),
          FSeedByteSize(seedByteSize) {}

    std::unique_ptr<TSymetricKey> GenerateKey(TStream& Seed) const override {
        return std::make_unique<TPlaceholderKey>(Seed);
    }
    std::unique_ptr<TSymetricKey> LoadKeyFromStream(TStream& Store) const override {
        return std::make_unique<TPlaceholderKey>(Store);
    }
    std::int32_t BlockSize() const override { return FBlockBits; }
    std::int32_t KeySize() const override { return FKeyBits; }
    std::int32_t SeedByteSize() const override { return FSeedByteSize; }
    std::shared_ptr<IBlockCodec> MakeBlockCodec(TSymetricKey&) const override {
        RaiseNotImplemented(FDescription.DisplayName);
    }
    Bytes SelfTest_Key() const override { return {}; }
    Bytes SelfTest_Plaintext() const override { return {}; }
    Bytes SelfTest_Ciphertext() const override { return {}; }

private:
    std::int32_t FBlockBits, FKeyBits, FSeedByteSize;
};

// Answers for itself as its control object, so that a block adapter in front of it passes its
// seed-size range on to key derivation.
class TPlaceholderRangedBlockCipher
    : public TPlaceholderBlockCipher,
      public ISeedByteSizeRange,
      public IControlObject,
      public std::enable_shared_from_this<TPlaceholderRangedBlockCipher> {
public:
    TPlaceholderRangedBlockCipher(TAlgorithmDescription d, std::int32_t blockBits,
                                  std::int32_t keyBits, std::int32_t seedByteSize,
                                  IntegerRange range)
        : TPlaceholderBlockCipher(std::move(d), blockBits, keyBits, seedByteSize), FRange(range) {}
    IntegerRange SeedByteSizeRange() const override { return FRange; }
    std::shared_ptr<IInterface> ControlObject() override { return shared_from_this(); }

private:
    IntegerRange FRange;
};

class TPlaceholderChainingModel : public TPlaceholder<IBlockChainingModel> {
public:
    TPlaceholderChainingModel(TAlgorithmDescription d, TChainFeatureSet features)
        : TPlaceholder(std::move(d)), FChainFeatures(features) {}

    std::unique_ptr<TBlockChainLink> MakeEncryptLink(TSymetricKey&, TMemoryStream&,
                                                     std::shared_ptr<IBlockCodec>) const override {
        RaiseNotImplemented(FDescription.DisplayName);
    }
    std::unique_ptr<TBlockChainLink> MakeDecryptLink(TSymetricKey&, TMemoryStream&,
                                                     std::shared_ptr<IBlockCodec>) const override {
        RaiseNotImplemented(FDescription.DisplayName);
    }
    TChainFeatureSet ChainFeatures() const override { return FChainFeatures; }

private:
    TChainFeatureSet FChainFeatures;
};

class TPlaceholderHash : public TPlaceholder<IHashDsc> {
public:
    TPlaceholderHash(TAlgorithmDescription d, std::int32_t digestBits, std::int32_t blockBits)
        : TPlaceholder(std::move(d)), FDigestBits(digestBits), FBlockBits(blockBits) {}

    std::int32_t DigestBits() const override { return FDigestBits; }
    std::int32_t BlockBits() const override { return FBlockBits; }
    std::shared_ptr<IHasher> NewHasher(IInterface*) const override {
        RaiseNotImplemented(FDescription.DisplayName);
    }

private:
    std::int32_t FDigestBits, FBlockBits;
};

} // namespace

TPlaceholderKey::TPlaceholderKey(TStream& Seed) {
    const std::int64_t n = Seed.Size();
    Seed.SetPosition(0);
    FSeed.resize(static_cast<std::size_t>(n));
    if (n > 0) {
        Seed.ReadBuffer(FSeed.data(), n);
    }
}

TPlaceholderKey::~TPlaceholderKey() {
    Burn();
}

void TPlaceholderKey::SaveToStream(TStream& Stream) {
    if (!FSeed.empty()) {
        Stream.WriteBuffer(FSeed.data(), static_cast<std::int64_t>(FSeed.size()));
    }
}

void TPlaceholderKey::Burn() {
    SecureZero(FSeed);
    FSeed.clear();
}

std::shared_ptr<IStreamCipher> MakePlaceholderStreamCipher(TAlgorithmDescription Description,
                                                           std::int32_t SeedByteSize,
                                                           bool IsBase64Converter) {
    if (IsBase64Converter) {
        return std::make_shared<TPlaceholderBase64>(std::move(Description), SeedByteSize);
    }
    return std::make_shared<TPlaceholderStreamCipher>(std::move(Description), SeedByteSize);
}

std::shared_ptr<IBlockCipher> MakePlaceholderBlockCipher(TAlgorithmDescription Description,
                                                         std::int32_t BlockBits,
                                                         std::int32_t KeyBits,
                                                         std::int32_t SeedByteSize,
                                                         IntegerRange SeedRange) {
    if (SeedRange.FMax > 0) {
        return std::make_shared<TPlaceholderRangedBlockCipher>(std::move(Description), BlockBits,
                                                               KeyBits, SeedByteSize, SeedRange);
    }
    return std::make_shared<TPlaceholderBlockCipher>(std::move(Description), BlockBits, KeyBits,
                                                     SeedByteSize);
}

std::shared_ptr<IBlockChainingModel> MakePlaceholderChainingModel(TAlgorithmDescription Description,
                                                                  TChainFeatureSet ChainFeatures) {
    return std::make_shared<TPlaceholderChainingModel>(std::move(Description), ChainFeatures);
}

std::shared_ptr<IHashDsc> MakePlaceholderHash(TAlgorithmDescription Description,
                                              std::int32_t DigestBits, std::int32_t BlockBits) {
    return std::make_shared<TPlaceholderHash>(std::move(Description), DigestBits, BlockBits);
}

} // namespace velora
