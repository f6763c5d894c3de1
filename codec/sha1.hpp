// SHA-1 (FIPS 180-1): the descriptor the registry lists and the codec hashes passwords with.
#pragma once

#include "codec/interfaces.hpp"

#include <array>
#include <cstdint>

namespace velora {

class TSHA1_Hasher : public IHasher {
public:
    static constexpr int kBlockBytes = 64;
    static constexpr int kDigestBytes = 20;

    TSHA1_Hasher();
    ~TSHA1_Hasher() override;

    void Update(TMemoryStream& Source) override;
    void End_Hash(TMemoryStream& PartBlock, TMemoryStream& Digest) override;
    void Burn() override;
    UnicodeString SelfTestMessage() override;
    UnicodeString SelfTestDigest() override;

private:
    void Restart();

    std::array<std::uint32_t, 5> FState;
    std::uint64_t FMessageBytes = 0;
};

class TSHA1 : public IHashDsc {
public:
    UnicodeString DisplayName() const override;
    UnicodeString ProgId() const override;
    TAlgorithmicFeatureSet Features() const override;
    UnicodeString DefinitionURL() const override;
    UnicodeString WikipediaReference() const override;

    std::int32_t DigestBits() const override { return 160; }
    std::int32_t BlockBits() const override { return 512; }
    std::shared_ptr<IHasher> NewHasher(IInterface* Params) const override;
};

// A new SHA-1 descriptor (the registry lists one as its first hash).
std::shared_ptr<IHashDsc> MakeSHA1Hash();

} // namespace velora
