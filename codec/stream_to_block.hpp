// The stream-to-block adapter: a stream cipher made of a block cipher and a chaining mode, and
// the nonce-framed ciphertext its workers write and read.
//
// Ciphertext of L > 0 plaintext bytes: an 8-byte nonce (the IV is the nonce followed by zero
// bytes up to one block), then exactly L body bytes: CFB-8bit for L below one block, otherwise
// CBC with one whole block held back and a ciphertext-stealing finish for a partial last block.
#pragma once

#include "codec/chaining.hpp"
#include "codec/interfaces.hpp"
#include "codec/scope_exit.hpp"

#include <memory>

namespace velora {

class TStreamToBlock_Adapter : public IStreamCipherEx2,
                               public IControlObject,
                               public std::enable_shared_from_this<TStreamToBlock_Adapter> {
public:
    TStreamToBlock_Adapter() = default;

    UnicodeString DisplayName() const override;
    UnicodeString ProgId() const override { return u"native.StreamToBlock"; }
    TAlgorithmicFeatureSet Features() const override {
        return {afStar, afOpenSourceSoftware, afBlockAdapter, afDoesNotNeedSalt};
    }
    UnicodeString DefinitionURL() const override { return u""; }
    UnicodeString WikipediaReference() const override { return u""; }

    std::unique_ptr<TSymetricKey> GenerateKey(TStream& Seed) const override;
    std::unique_ptr<TSymetricKey> LoadKeyFromStream(TStream& Store) const override;
    std::int32_t SeedByteSize() const override;
    std::shared_ptr<IStreamCipher> MakeParameterized(IInterface* Params) const override;
    std::shared_ptr<IStreamEncryptor> Start_Encrypt(TSymetricKey& Key,
                                                    TStream& CipherText) const override;
    std::shared_ptr<IStreamDecryptor> Start_Decrypt(TSymetricKey& Key,
                                                    TStream& PlainText) const override;
    // Only the compatibility option uses these, and it is never set: they always fail.
    std::shared_ptr<IStreamEncryptor> Start_Encrypt_WithIV(TSymetricKey& Key, TStream& CipherText,
                                                           TStream& IV) const override;
    std::shared_ptr<IStreamDecryptor> Start_Decrypt_WithIV(TSymetricKey& Key, TStream& PlainText,
                                                           TStream& IV) const override;

    std::shared_ptr<IInterface> ControlObject() override;

    const std::shared_ptr<IBlockCipher>& BlockCipher() const noexcept { return FBlockCipher; }
    const std::shared_ptr<IBlockChainingModel>& Chaining() const noexcept { return FChaining; }

private:
    void CheckBound(const char* operation) const;

    std::shared_ptr<IBlockCipher> FBlockCipher;
    std::shared_ptr<IBlockChainingModel> FChaining;
    TSymetricEncryptionOptionSet FAdvancedOptions;
    TSetMemStreamProc FOnSetIV;
};

// State shared by every worker: the block being filled, the link's output, the chain link.
class TEncryptorDecryptor {
public:
    TEncryptorDecryptor(const TEncryptorDecryptor&) = delete;
    TEncryptorDecryptor& operator=(const TEncryptorDecryptor&) = delete;
    virtual ~TEncryptorDecryptor();

    virtual void Reset();

protected:
    TEncryptorDecryptor() = default;
    void Start_EncDec(TSymetricKey& Key1, TStream& EmissionStream1,
                      std::shared_ptr<IBlockCipher> BlockCipher1,
                      std::shared_ptr<IBlockChainingModel> Chaining1, bool isEncrypting1);
    // Runs n bytes of S through the link (block or byte-wise) and writes them out.
    void EmitBlock(TMemoryStream& S, std::int32_t n);
    void FlushPartial();
    void RestoreModeFlags();
    void BurnChainState() noexcept;
    // Ends a message with finish(), then resets however it ended, so that no plaintext stays
    // in the buffers.
    template <class Finish> void EndMessage(Finish&& finish) {
        ScopeExit reset([this] { Reset(); });
        finish();
    }
    static std::unique_ptr<TMemoryStream> NewBuffer(std::int64_t size);

    std::shared_ptr<IBlockChainingModel> FChaining;
    std::unique_ptr<TMemoryStream> FEmitBuffer;
    std::unique_ptr<TMemoryStream> FBuffer;
    std::int32_t FBlockLen = 0;
    std::shared_ptr<IBlockCodec> FCodec;
    std::shared_ptr<IBlockCipher> FBlockCipher;
    std::int32_t FLenBuffer = 0;
    std::unique_ptr<TBlockChainLink> FChainState;
    std::unique_ptr<TMemoryStream> FIV;
    std::int64_t FDataCount = 0;
    bool FisAutoXOR = false;
    bool Fis8bitMode = false;
    bool FisEncrypting = false;
    TStream* FEmissionStream = nullptr;
};

// Shared by the nonce-bearing encryptor and decryptor: the block loop with one block held back
// and the final block (short message, key-stream mode or ciphertext stealing).
class TNoncibleWorker : public TEncryptorDecryptor {
public:
    ~TNoncibleWorker() override;
    void Reset() override;

protected:
    void StartNoncible(TSymetricKey& Key1);
    void AbsorbBody(TStream& Input, std::int64_t& R);
    void Finish();
    std::unique_ptr<TBlockChainLink> MakeLink(const IBlockChainingModel& Model);

    TSymetricKey* FKey = nullptr;
    std::unique_ptr<TMemoryStream> F2ndBuffer;
    bool Fis2ndBufferFull = false;
    std::int32_t FIVSeedLen = 0;
    std::int32_t FSaltLen = 0;
    bool FisShortMessage = true;
};

class TNoncibleDecryptor : public TNoncibleWorker, public IStreamDecryptor {
public:
    void Start_Decrypt(TSymetricKey& Key1, TStream& PlainText1,
                       std::shared_ptr<IBlockCipher> BlockCipher1,
                       std::shared_ptr<IBlockChainingModel> Chaining1);
    void Decrypt(TStream& CipherText) override;
    void End_Decrypt() override;
    void Reset() override { TNoncibleWorker::Reset(); }

private:
    TStream* FPlainText = nullptr;
};

class TNoncibleEncryptor : public TNoncibleWorker, public IStreamEncryptor {
public:
    void Start_Encrypt(TSymetricKey& Key1, TStream& CipherText1,
                       std::shared_ptr<IBlockCipher> BlockCipher1,
                       std::shared_ptr<IBlockChainingModel> Chaining1, TSetMemStreamProc OnSetIV1);
    ~TNoncibleEncryptor() override;
    void Encrypt(TStream& Plaintext) override;
    void End_Encrypt() override;
    void Reset() override;

private:
    TStream* FCipherText = nullptr;
    std::unique_ptr<TMemoryStream> FNonce;
    bool FisAddingSalt = false;
    TSetMemStreamProc FOnSetIV;
};

// Modes without an IV (chfNoNonce): no nonce, an all-zero IV, and 0x80 block padding.
class TNoNonceEncryptor : public TEncryptorDecryptor, public IStreamEncryptor {
public:
    void Start_Encrypt(TSymetricKey& Key1, TStream& CipherText1,
                       std::shared_ptr<IBlockCipher> BlockCipher1,
                       std::shared_ptr<IBlockChainingModel> Chaining1);
    void Encrypt(TStream& Plaintext) override;
    void End_Encrypt() override;
    void Reset() override;

private:
    TSymetricKey* FKey = nullptr;
    TStream* FCipherText = nullptr;
};

class TNoNonceDecryptor : public TEncryptorDecryptor, public IStreamDecryptor {
public:
    void Start_Decrypt(TSymetricKey& Key1, TStream& PlainText1,
                       std::shared_ptr<IBlockCipher> BlockCipher1,
                       std::shared_ptr<IBlockChainingModel> Chaining1);
    ~TNoNonceDecryptor() override;
    void Decrypt(TStream& CipherText) override;
    // Fails with "Invalid ciphertext - block padding is corrupted." for a body that is not a
    // whole number of blocks.
    void End_Decrypt() override;
    void Reset() override;

private:
    TSymetricKey* FKey = nullptr;
    TStream* FPlaintext = nullptr;
    bool FisSecondBufferFull = false;
    std::unique_ptr<TMemoryStream> F2ndBuffer;
};

} // namespace velora
