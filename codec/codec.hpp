// The codec: password-keyed encryption and decryption of texts, streams and files through the
// algorithms of a TCryptographicLibrary. TCodec is the component callers hold; TSimpleCodec is
// its engine, which owns the key and runs the message state machine.
#pragma once

#include "codec/component.hpp"
#include "codec/crypto_library.hpp"
#include "codec/desalination.hpp"
#include "codec/interfaces.hpp"
#include "codec/simple_hash.hpp"
#include "rtl/encoding.hpp"

#include <cstdint>
#include <memory>
#include <optional>

namespace velora {

enum TCodecMode : std::uint8_t {
    cmUnitialized = 0, // no key
    cmIdle = 1,        // key present, no message in progress
    cmEncrypting = 2,
    cmDecrypting = 3,
};

class TCodec;

// The engine's operations. The asymmetric ones (key pairs, signatures) are not offered.
class ICodec : public virtual IInterface {
public:
    virtual void SetStreamCipher(std::shared_ptr<IStreamCipher> Value) = 0;
    virtual void SetBlockCipher(std::shared_ptr<IBlockCipher> Value) = 0;
    virtual void SetChainMode(std::shared_ptr<IBlockChainingModel> Value) = 0;
    virtual TCodecMode Mode() const = 0;
    virtual std::shared_ptr<IStreamCipher> StreamCipher() const = 0;
    virtual std::shared_ptr<IBlockCipher> BlockCipher() const = 0;
    virtual std::shared_ptr<IBlockChainingModel> ChainMode() const = 0;
    virtual TOnHashProgress OnProgress() const = 0;
    virtual void SetOnProgress(TOnHashProgress Value) = 0;
    virtual TSymetricKey* Key() const = 0;
    virtual UnicodeString GetCipherDisplayName(TCryptographicLibrary* Lib) = 0;

    virtual void Init(std::u16string_view Key, const TEncoding& AEncoding) = 0;
    virtual void SaveKeyToStream(TStream& Store) = 0;
    virtual void InitFromStream(TStream& Store) = 0;
    virtual void InitFromKey(std::unique_ptr<TSymetricKey> Key) = 0;
    virtual void Reset() = 0;
    virtual void Burn(bool doIncludeBurnKey) = 0;
    virtual bool isAsymetric() = 0;

    virtual void Begin_EncryptMemory(TStream& CipherText) = 0;
    virtual void EncryptMemory(const void* Plaintext, std::int64_t PlaintextLen) = 0;
    virtual void End_EncryptMemory() = 0;
    virtual void Begin_DecryptMemory(TStream& Plaintext) = 0;
    virtual void DecryptMemory(const void* CipherText, std::int64_t CiphertextLen) = 0;
    virtual void End_DecryptMemory() = 0;
    virtual void EncryptStream(TStream& Plaintext, TStream& CipherText) = 0;
    virtual void DecryptStream(TStream& Plaintext, TStream& CipherText) = 0;
    virtual void EncryptFile(const UnicodeString& Plaintext_FileName,
                             const UnicodeString& CipherText_FileName) = 0;
    virtual void DecryptFile(const UnicodeString& Plaintext_FileName,
                             const UnicodeString& CipherText_FileName) = 0;
    virtual void EncryptString(const UnicodeString& Plaintext, UnicodeString& CipherText_Base64,
                               const TEncoding& AEncoding) = 0;
    virtual void DecryptString(UnicodeString& Plaintext, const UnicodeString& CipherText_Base64,
                               const TEncoding& AEncoding) = 0;
    virtual void EncryptAnsiString(const UnicodeString& Plaintext,
                                   UnicodeString& CipherText_Base64) = 0;
    virtual void DecryptAnsiString(UnicodeString& Plaintext,
                                   const UnicodeString& CipherText_Base64) = 0;
    virtual bool GetAborted() const = 0;
    virtual void SetAborted(bool Value) = 0;
    virtual TSymetricEncryptionOptionSet AdvancedOptions2() const = 0;
    virtual TSetMemStreamProc OnSetIV() const = 0;
    virtual void SetOnSetIV(TSetMemStreamProc Value) = 0;
};

class TSimpleCodec : public ICodec, public IBlockCipherSelectorEx2 {
public:
    // Owner, when given, is the component whose CountBytesProcessed the engine keeps up to date
    // and the Sender of progress reports.
    explicit TSimpleCodec(TCodec* Owner = nullptr);
    ~TSimpleCodec() override;
    TSimpleCodec(const TSimpleCodec&) = delete;
    TSimpleCodec& operator=(const TSimpleCodec&) = delete;

    // Unchanged values do nothing. Changing an algorithm burns the key; it fails with
    // "TSimpleCodec.Init - Cannot set Cipher whilst enc/decrypting." while a message runs.
    void SetStreamCipher(std::shared_ptr<IStreamCipher> Value) override;
    void SetBlockCipher(std::shared_ptr<IBlockCipher> Value) override;
    void SetChainMode(std::shared_ptr<IBlockChainingModel> Value) override;
    TCodecMode Mode() const override { return FMode; }
    std::shared_ptr<IStreamCipher> StreamCipher() const override { return FStreamCipher; }
    std::shared_ptr<IBlockCipher> BlockCipher() const override { return FBlockCipher; }
    std::shared_ptr<IBlockChainingModel> ChainMode() const override { return FChainMode; }
    TOnHashProgress OnProgress() const override { return FOnProgress; }
    void SetOnProgress(TOnHashProgress Value) override { FOnProgress = std::move(Value); }
    TSymetricKey* Key() const override { return FKey.get(); }
    UnicodeString GetCipherDisplayName(TCryptographicLibrary* Lib) override;

    // Derives the key from a password: its UTF-16LE bytes when their count fits the cipher's
    // seed sizes, otherwise its SHA-1 digest in AEncoding fitted to them.
    void Init(std::u16string_view Key, const TEncoding& AEncoding) override;
    void InitA(std::u16string_view Key) { Init(Key, TEncoding::ANSI()); }
    void SaveKeyToStream(TStream& Store) override;
    void InitFromStream(TStream& Store) override;
    void InitFromKey(std::unique_ptr<TSymetricKey> Key) override;
    // Abandons a message in progress and keeps the key; fails in cmUnitialized.
    void Reset() override;
    void Burn(bool doIncludeBurnKey) override;
    bool isAsymetric() override;

    // The memory forms: a message is Begin_, any number of pieces, then End_. Streams passed to
    // Begin_ must outlive the message.
    void Begin_EncryptMemory(TStream& CipherText) override;
    void EncryptMemory(const void* Plaintext, std::int64_t PlaintextLen) override;
    void End_EncryptMemory() override;
    void Begin_DecryptMemory(TStream& Plaintext) override;
    void DecryptMemory(const void* CipherText, std::int64_t CiphertextLen) override;
    void End_DecryptMemory() override;
    // Whole streams, read from position 0.
    void EncryptStream(TStream& Plaintext, TStream& CipherText) override;
    void DecryptStream(TStream& Plaintext, TStream& CipherText) override;
    void EncryptFile(const UnicodeString& Plaintext_FileName,
                     const UnicodeString& CipherText_FileName) override;
    void DecryptFile(const UnicodeString& Plaintext_FileName,
                     const UnicodeString& CipherText_FileName) override;
    // Base64 text in and out; the plaintext's bytes are decoded strictly in AEncoding.
    void EncryptString(const UnicodeString& Plaintext, UnicodeString& CipherText_Base64,
                       const TEncoding& AEncoding) override;
    void DecryptString(UnicodeString& Plaintext, const UnicodeString& CipherText_Base64,
                       const TEncoding& AEncoding) override;
    void EncryptAnsiString(const UnicodeString& Plaintext,
                           UnicodeString& CipherText_Base64) override;
    void DecryptAnsiString(UnicodeString& Plaintext,
                           const UnicodeString& CipherText_Base64) override;
    bool GetAborted() const override { return FisUserAborted; }
    void SetAborted(bool Value) override { FisUserAborted = Value; }
    // No option is supported; the set is always empty.
    TSymetricEncryptionOptionSet AdvancedOptions2() const override { return {}; }
    TSetMemStreamProc OnSetIV() const override { return FOnSetIV; }
    void SetOnSetIV(TSetMemStreamProc Value) override { FOnSetIV = std::move(Value); }

    // What MakeParameterized learns from the engine.
    std::shared_ptr<IBlockCipher> GetBlockCipher() override { return FBlockCipher; }
    std::shared_ptr<IBlockChainingModel> GetChainMode() override { return FChainMode; }
    TSymetricEncryptionOptionSet GetAdvancedOptions2() override { return {}; }
    bool GetOnSetIV(TSetMemStreamProc& Value) override;

    IHash& PasswordHasher() noexcept { return *FPasswordHasher; }
    // Whether Init hashes a password of Length UTF-16 units rather than taking it as the seed.
    bool HashesPassword(std::size_t Length);

private:
    struct TDirection;
    static const TDirection kEncrypting;
    static const TDirection kDecrypting;

    void SetAlgorithm(bool changed);
    void PrepareForKey();
    void MakeParameterizedIfMissing();
    // The seed sizes the cipher takes; none when it takes no seed.
    std::optional<IntegerRange> SeedRange();
    // Throws the given message unless the algorithms can run a message.
    void CheckAlgorithms(const char* message) const;
    bool NeedsSalt() const;
    void ReportProgress();
    // One driver for both directions: Begin_, the pieces and End_ of the memory forms, and a
    // whole message into a target that lives only for the call.
    void BeginMessage(const TDirection& d, TStream& Target);
    void FeedMessage(const TDirection& d, const void* Data, std::int64_t Count);
    void EndMessage(const TDirection& d);
    void RunMessage(const TDirection& d, TStream& Target, const std::uint8_t* Data,
                    std::int64_t Count);
    void FeedChunks(const TDirection& d, const std::uint8_t* data, std::int64_t count);
    bool HasWorker(const TDirection& d) const noexcept;
    void DropWorker(const TDirection& d) noexcept;
    // Ends a message without completing it, keeping an abort request visible.
    void AbandonMessage();
    // Forgets a target stream that is about to go away, together with the worker writing to it.
    void DetachOutput() noexcept;
    void FreeKey() noexcept;

    TCodecMode FMode = cmUnitialized;
    std::shared_ptr<IStreamCipher> FStreamCipher;
    std::shared_ptr<IStreamCipher> FParameterizedStreamCipher;
    std::shared_ptr<IBlockCipher> FBlockCipher;
    std::shared_ptr<IBlockChainingModel> FChainMode;
    TOnHashProgress FOnProgress;
    void* FSender;
    std::unique_ptr<TSymetricKey> FKey;
    std::shared_ptr<IStreamEncryptor> FEnc;
    std::shared_ptr<IStreamDecryptor> FDec;
    std::unique_ptr<TSimpleHash> FPasswordHasherObject;
    IHash* FPasswordHasher;
    std::int64_t FXtextCount = 0;
    bool FisUserAborted = false;
    TStream* FOutput = nullptr;
    std::unique_ptr<TMemoryStream> FBuffer;
    std::unique_ptr<TDesalinationWriteStream> FDesalination;
    bool FisSalting = false;
    TCodec* FCompOwner;
    TSetMemStreamProc FOnSetIV;
};

class TCodec : public TComponent, public ICryptographicLibraryWatcher {
public:
    explicit TCodec(TComponent* AOwner = nullptr);
    ~TCodec() override;

    TCryptographicLibrary* CryptoLibrary() const noexcept { return FLib; }
    void SetCryptoLibrary(TCryptographicLibrary* Value);
    // Identifiers are compared exactly here; a change unbinds, and the next operation resolves
    // them again (the library itself ignores letter case).
    const UnicodeString& StreamCipherId() const noexcept { return FStreamCipherId; }
    void SetStreamCipherId(std::u16string_view Value);
    const UnicodeString& BlockCipherId() const noexcept { return FBlockCipherId; }
    void SetBlockCipherId(std::u16string_view Value);
    const UnicodeString& ChainModeId() const noexcept { return FChainId; }
    void SetChainModeId(std::u16string_view Value);
    // A new non-empty password derives a new key at once; an empty one keeps the current key.
    void SetPassword(std::u16string_view Value);
    // How the password is turned into bytes for hashing; used at the next key derivation.
    const TEncoding& Encoding() const noexcept { return *FEncoding; }
    void SetEncoding(const TEncoding& Value) noexcept { FEncoding = &Value; }

    // Plaintext keeps its value when nothing is decrypted.
    void DecryptString(UnicodeString& Plaintext, const UnicodeString& CipherText_Base64,
                       const TEncoding& AEncoding);
    void EncryptString(const UnicodeString& Plaintext, UnicodeString& CipherText_Base64,
                       const TEncoding& AEncoding);
    void DecryptAnsiString(UnicodeString& Plaintext, const UnicodeString& CipherText_Base64);
    void EncryptAnsiString(const UnicodeString& Plaintext, UnicodeString& CipherText_Base64);
    void DecryptStream(TStream& Plaintext, TStream& CipherText);
    void EncryptStream(TStream& Plaintext, TStream& CipherText);
    void DecryptFile(const UnicodeString& Plaintext_FileName,
                     const UnicodeString& CipherText_FileName);
    void EncryptFile(const UnicodeString& Plaintext_FileName,
                     const UnicodeString& CipherText_FileName);
    void Begin_EncryptMemory(TStream& CipherText);
    void EncryptMemory(const void* Plaintext, std::int64_t PlaintextLen);
    void End_EncryptMemory();
    void Begin_DecryptMemory(TStream& Plaintext);
    void DecryptMemory(const void* CipherText, std::int64_t CiphertextLen);
    void End_DecryptMemory();

    // Wipes the key and unbinds; the password stays, so the next operation derives it again.
    void Burn();
    // Abandons a message in progress and zeroes the statistics.
    void Reset();

    TCodecMode Mode() const { return FCodec->Mode(); }
    bool isUserAborted() const { return FCodec->GetAborted(); }
    std::int64_t CountBytesProcessed() const noexcept { return FCountBytes; }
    std::int64_t EstimatedWorkLoad() const noexcept { return FWorkLoad; }
    // In days.
    double Duration() const noexcept { return FDuration; }
    TOnHashProgress OnProgress() const { return FCodec->OnProgress(); }
    void SetOnProgress(TOnHashProgress Value) { FCodec->SetOnProgress(std::move(Value)); }
    bool isBound() const noexcept { return FIntfCached; }
    // Whether the key is derived from a hash of the password in Encoding (so that characters
    // the encoding cannot hold are lost) rather than from the password itself. Binds first.
    bool PasswordIsHashed();

    // The library tells its watchers that its registrations changed.
    void ProgIdsChanged() override;

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    friend class TSimpleCodec;

    // Unbinding is refused while a message is open; the codec then stays as it was.
    void SetIntfCached(bool Value);
    void Bind();
    void SetId(UnicodeString& Field, std::u16string_view Value);
    bool MessageOpen() const;
    // Unbinding demanded by the library must not fail: during an open message it is held back
    // until the message is over.
    void UnbindForLibrary() noexcept;
    void SettlePendingUnbind() noexcept;
    // Binds, makes the engine call, then applies a notice held back meanwhile.
    template <class Call> void Forward(Call&& call);
    void StartTiming(std::int64_t WorkLoad);
    void StopTiming();

    UnicodeString FPassword;
    std::unique_ptr<TSimpleCodec> FCodecObj;
    ICodec* FCodec;
    TCryptographicLibrary* FLib = nullptr;
    UnicodeString FStreamCipherId;
    UnicodeString FBlockCipherId;
    UnicodeString FChainId;
    bool FIntfCached = false;
    // A change notice arrived during an open message.
    bool FUnbindPending = false;
    std::int64_t FCountBytes = 0;
    std::int64_t FWorkLoad = 0;
    double FDuration = 0;
    const TEncoding* FEncoding;
    double FStartTime = 0;
};

} // namespace velora
