// The Twofish block cipher (128-bit block; 128-, 192- and 256-bit keys) behind the library's
// block-cipher interfaces.
#pragma once

#include "codec/interfaces.hpp"

#include <array>
#include <cstdint>
#include <memory>

namespace velora {

class TTwofishKey : public TSymetricKey {
public:
    using TSubKeys = std::array<std::uint32_t, 40>;
    // The four key-dependent S-boxes, each already combined with its MDS column.
    using TSBox = std::array<std::uint32_t, 4 * 256>;

    // A seed of any length: zero-padded to the next key size, cut at 32 bytes.
    static std::unique_ptr<TTwofishKey> GenerateFromSeed(TStream& Seed);
    static std::unique_ptr<TTwofishKey> LoadFromStream(TStream& Store);
    // The published key schedule on a raw key of 16, 24 or 32 bytes.
    static std::unique_ptr<TTwofishKey> FromRawKey(const std::uint8_t* key, std::size_t length);

    ~TTwofishKey() override;

    // Writes every seed byte, even those beyond 32, at the stream's current position.
    void SaveToStream(TStream& Stream) override;
    void Burn() override;

    // One 16-byte block; in and out may be the same memory.
    void EncryptBlock(const std::uint8_t* in, std::uint8_t* out) const noexcept;
    void DecryptBlock(const std::uint8_t* in, std::uint8_t* out) const noexcept;
    // count consecutive blocks, each on its own (no chaining).
    void EncryptBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t count) const noexcept;
    void DecryptBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t count) const noexcept;

    const Bytes& KeySeed() const noexcept { return FKeySeed; }
    const TSubKeys& SubKeys() const noexcept { return FSubKeys; }
    const TSBox& SBox() const noexcept { return FSBox; }

private:
    TTwofishKey() = default;
    void Schedule(const std::uint8_t* key, std::size_t length) noexcept;

    Bytes FKeySeed;
    TSubKeys FSubKeys{};
    TSBox FSBox{};
};

class TTwoFish : public IBlockCipher,
                 public IControlObject,
                 public ISeedByteSizeRange,
                 public std::enable_shared_from_this<TTwoFish> {
public:
    UnicodeString DisplayName() const override;
    UnicodeString ProgId() const override;
    TAlgorithmicFeatureSet Features() const override;
    UnicodeString DefinitionURL() const override;
    UnicodeString WikipediaReference() const override;

    std::unique_ptr<TSymetricKey> GenerateKey(TStream& Seed) const override;
    std::unique_ptr<TSymetricKey> LoadKeyFromStream(TStream& Store) const override;
    std::int32_t BlockSize() const override { return 128; }
    std::int32_t KeySize() const override { return 256; }
    std::int32_t SeedByteSize() const override { return 32; }
    std::shared_ptr<IBlockCodec> MakeBlockCodec(TSymetricKey& Key) const override;
    Bytes SelfTest_Key() const override;
    Bytes SelfTest_Plaintext() const override;
    Bytes SelfTest_Ciphertext() const override;

    std::shared_ptr<IInterface> ControlObject() override;
    IntegerRange SeedByteSizeRange() const override { return IntegerRange{1, 32}; }
};

class TTwofishBlockCodec : public IBlockCodec {
public:
    // Key must outlive the codec.
    TTwofishBlockCodec(std::shared_ptr<const TTwoFish> Owner, TTwofishKey& Key)
        : FOwner(std::move(Owner)), FKey(&Key) {}

    // Both streams must hold at least one block (ERangeError otherwise); they may be the same.
    void Encrypt_Block(TMemoryStream& Plaintext, TMemoryStream& Ciphertext) override;
    void Decrypt_Block(TMemoryStream& Plaintext, TMemoryStream& Ciphertext) override;
    // The codec keeps nothing between blocks; the key material lives in the key object.
    void Reset() override {}
    void Burn() override {}

private:
    std::shared_ptr<const TTwoFish> FOwner;
    TTwofishKey* FKey;
};

} // namespace velora
