// Chaining models and their per-message links: CBC and CFB with an 8-bit segment.
#pragma once

#include "codec/interfaces.hpp"

#include <memory>

namespace velora {

// Stream helpers shared by the links and the adapter.
// Sets D's size to S's and copies all of S's bytes.
void CopyStream(TMemoryStream& S, TMemoryStream& D);
// XORs the first min(size of D, size of S) bytes of S into D.
void XorStream(TMemoryStream& S, TMemoryStream& D);
// Overwrites the whole content with zero bytes, then sets the size to 0.
void WipeStream(TMemoryStream& S) noexcept;
// Overwrites the content with zero bytes; the size stays.
void ZeroStream(TMemoryStream& S) noexcept;

// Per-message chaining state. Works on the first block of each stream's memory.
class TBlockChainLink {
public:
    // Key is not owned; IV is copied (size, bytes and position).
    TBlockChainLink(TSymetricKey& Key, TMemoryStream& IV, std::shared_ptr<IBlockCodec> Cipher);
    TBlockChainLink(const TBlockChainLink&) = delete;
    TBlockChainLink& operator=(const TBlockChainLink&) = delete;
    virtual ~TBlockChainLink();

    virtual void Burn();
    virtual void Reset(TMemoryStream& IV);
    virtual std::unique_ptr<TBlockChainLink> Clone() = 0;
    virtual void Encrypt_Block(TMemoryStream& Plaintext, TMemoryStream& Ciphertext) = 0;
    virtual void Decrypt_Block(TMemoryStream& Plaintext, TMemoryStream& Ciphertext) = 0;
    // Block-only links pass the byte through unchanged.
    virtual void Encrypt_8bit(std::uint8_t Plaintext, std::uint8_t& Ciphertext);
    virtual void Decrypt_8bit(std::uint8_t& Plaintext, std::uint8_t Ciphertext);

    TMemoryStream& CV() noexcept { return FCV; }

protected:
    // For Clone: same key and codec, own copy of the chaining value.
    TBlockChainLink(TBlockChainLink& Source, int);

    TSymetricKey* FKey;
    TMemoryStream FCV;
    std::shared_ptr<IBlockCodec> FCipher;
};

class TCBCLink : public TBlockChainLink {
public:
    // Decryption links keep the ciphertext aside so that Plaintext may be Ciphertext.
    TCBCLink(TSymetricKey& Key, TMemoryStream& IV, std::shared_ptr<IBlockCodec> Cipher,
             bool ForDecryption);
    ~TCBCLink() override;

    void Burn() override;
    std::unique_ptr<TBlockChainLink> Clone() override;
    void Encrypt_Block(TMemoryStream& Plaintext, TMemoryStream& Ciphertext) override;
    void Decrypt_Block(TMemoryStream& Plaintext, TMemoryStream& Ciphertext) override;

private:
    TCBCLink(TCBCLink& Source, int);
    std::unique_ptr<TMemoryStream> FNextCV;
};

class TCFB_8BitLink : public TBlockChainLink {
public:
    TCFB_8BitLink(TSymetricKey& Key, TMemoryStream& IV, std::shared_ptr<IBlockCodec> Cipher);
    ~TCFB_8BitLink() override;

    void Burn() override;
    std::unique_ptr<TBlockChainLink> Clone() override;
    // Driven through the 8-bit operations only.
    void Encrypt_Block(TMemoryStream&, TMemoryStream&) override {}
    void Decrypt_Block(TMemoryStream&, TMemoryStream&) override {}
    void Encrypt_8bit(std::uint8_t Plaintext, std::uint8_t& Ciphertext) override;
    void Decrypt_8bit(std::uint8_t& Plaintext, std::uint8_t Ciphertext) override;

private:
    TCFB_8BitLink(TCFB_8BitLink& Source, int);
    std::uint8_t NextKeyByte();

    TMemoryStream FTemp;
    std::int32_t FBlockSize_Minus1 = 0;
};

class TCBC : public IBlockChainingModel {
public:
    UnicodeString DisplayName() const override { return u"CBC"; }
    UnicodeString ProgId() const override { return u"native.CBC"; }
    TAlgorithmicFeatureSet Features() const override { return {afStar, afOpenSourceSoftware}; }
    UnicodeString DefinitionURL() const override;
    UnicodeString WikipediaReference() const override;
    std::unique_ptr<TBlockChainLink>
    MakeEncryptLink(TSymetricKey& Key, TMemoryStream& IV,
                    std::shared_ptr<IBlockCodec> Cipher) const override;
    std::unique_ptr<TBlockChainLink>
    MakeDecryptLink(TSymetricKey& Key, TMemoryStream& IV,
                    std::shared_ptr<IBlockCodec> Cipher) const override;
    TChainFeatureSet ChainFeatures() const override { return {}; }
};

class TCFB_8Bit : public IBlockChainingModel {
public:
    UnicodeString DisplayName() const override { return u"CFB 8-bit"; }
    UnicodeString ProgId() const override { return u"native.CFB-8bit"; }
    TAlgorithmicFeatureSet Features() const override { return {afOpenSourceSoftware}; }
    UnicodeString DefinitionURL() const override;
    UnicodeString WikipediaReference() const override;
    std::unique_ptr<TBlockChainLink>
    MakeEncryptLink(TSymetricKey& Key, TMemoryStream& IV,
                    std::shared_ptr<IBlockCodec> Cipher) const override;
    std::unique_ptr<TBlockChainLink>
    MakeDecryptLink(TSymetricKey& Key, TMemoryStream& IV,
                    std::shared_ptr<IBlockCodec> Cipher) const override;
    TChainFeatureSet ChainFeatures() const override { return {chfKeyStream, chfByteWise}; }
};

} // namespace velora
