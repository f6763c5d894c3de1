// Algorithms the library lists by identifier and name without implementing them. Each carries
// afNotImplementedYet, so a codec set up for one refuses to start a message instead of doing
// something else. Their keys only keep the seed, so that deriving a key never fails.
#pragma once

#include "codec/interfaces.hpp"

#include <memory>

namespace velora {

struct TAlgorithmDescription {
    UnicodeString ProgId;
    UnicodeString DisplayName;
    TAlgorithmicFeatureSet Features; // afNotImplementedYet is always added
    UnicodeString WikipediaReference;
};

// Keeps the seed bytes; nothing else.
class TPlaceholderKey : public TSymetricKey {
public:
    explicit TPlaceholderKey(TStream& Seed);
    ~TPlaceholderKey() override;
    void SaveToStream(TStream& Stream) override;
    void Burn() override;

private:
    Bytes FSeed;
};

std::shared_ptr<IStreamCipher> MakePlaceholderStreamCipher(TAlgorithmDescription Description,
                                                           std::int32_t SeedByteSize,
                                                           bool IsBase64Converter);
// SeedRange is declared (ISeedByteSizeRange) only when FMax > 0.
std::shared_ptr<IBlockCipher> MakePlaceholderBlockCipher(TAlgorithmDescription Description,
                                                         std::int32_t BlockBits,
                                                         std::int32_t KeyBits,
                                                         std::int32_t SeedByteSize,
                                                         IntegerRange SeedRange = {});
std::shared_ptr<IBlockChainingModel> MakePlaceholderChainingModel(TAlgorithmDescription Description,
                                                                  TChainFeatureSet ChainFeatures);
std::shared_ptr<IHashDsc> MakePlaceholderHash(TAlgorithmDescription Description,
                                              std::int32_t DigestBits, std::int32_t BlockBits);

} // namespace velora
