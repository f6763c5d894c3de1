// The abstract interfaces through which the codec, the stream-to-block adapter, the chaining
// modes, the block ciphers and the hashes talk to each other.
//
// Reference-counted interfaces are held as std::shared_ptr; "query" is a dynamic_pointer_cast
// (every interface derives virtually from IInterface, so cross-casts between the interfaces one
// object implements always work). Algorithm objects are immutable after creation and shared.
#pragma once

#include "rtl/streams.hpp"
#include "rtl/ustring.hpp"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>

namespace velora {

// A set over a small enumeration, stored as the bit pattern the stored formats use.
template <class E, class Storage> class TSmallSet {
public:
    constexpr TSmallSet() noexcept = default;
    constexpr TSmallSet(std::initializer_list<E> items) noexcept {
        for (E e : items) {
            FBits = static_cast<Storage>(FBits | Bit(e));
        }
    }
    static constexpr TSmallSet FromValue(Storage value) noexcept {
        TSmallSet s;
        s.FBits = value;
        return s;
    }

    constexpr Storage Value() const noexcept { return FBits; }
    constexpr bool Contains(E e) const noexcept { return (FBits & Bit(e)) != 0; }
    // True when every member of other is in this set.
    constexpr bool ContainsAll(TSmallSet other) const noexcept {
        return (FBits & other.FBits) == other.FBits;
    }
    constexpr bool Empty() const noexcept { return FBits == 0; }
    constexpr TSmallSet& Include(E e) noexcept {
        FBits = static_cast<Storage>(FBits | Bit(e));
        return *this;
    }
    constexpr TSmallSet& Exclude(E e) noexcept {
        FBits = static_cast<Storage>(FBits & ~Bit(e));
        return *this;
    }
    constexpr TSmallSet operator+(TSmallSet o) const noexcept {
        return FromValue(static_cast<Storage>(FBits | o.FBits));
    }
    constexpr TSmallSet operator*(TSmallSet o) const noexcept {
        return FromValue(static_cast<Storage>(FBits & o.FBits));
    }
    friend constexpr bool operator==(TSmallSet a, TSmallSet b) noexcept {
        return a.FBits == b.FBits;
    }

private:
    static constexpr Storage Bit(E e) noexcept {
        return static_cast<Storage>(Storage{1} << static_cast<unsigned>(e));
    }
    Storage FBits = 0;
};

enum TAlgorithmicFeature : std::uint8_t {
    afStar = 0,
    afCryptographicallyWeak = 1,
    afNotImplementedYet = 2,
    afForTestOnly = 3,
    afForRunTimeOnly = 4,
    afEncumberedByPatent = 5,
    afEncumberedByCopyRight = 6,
    afOpenSourceSoftware = 7,
    afCommercial = 8,
    afCompressor = 9,
    afConverter = 10,
    afBlockAdapter = 11,
    afDisplayNameOnKeySize = 12,
    afDoesNotNeedSalt = 13,
    afAsymetric = 14,
};
using TAlgorithmicFeatureSet = TSmallSet<TAlgorithmicFeature, std::uint16_t>;

enum TChainFeature : std::uint8_t {
    chfNoNonce = 0,
    chfKeyStream = 1,
    chfAutoXOR = 2,
    chfByteWise = 3,
};
using TChainFeatureSet = TSmallSet<TChainFeature, std::uint8_t>;

enum TSymetricEncryptionOption : std::uint8_t {
    optUseGivenIV = 0,
    optOpenSSL_CompatibilityMode = 1,
};
using TSymetricEncryptionOptionSet = TSmallSet<TSymetricEncryptionOption, std::uint8_t>;

// Called with the IV stream before an encryptor uses it.
using TSetMemStreamProc = std::function<void(TMemoryStream& IV)>;

// Allowed seed sizes in bytes, both ends included.
struct IntegerRange {
    std::int32_t FMin = 0;
    std::int32_t FMax = 0;
    friend bool operator==(const IntegerRange&, const IntegerRange&) = default;
};

class IInterface {
public:
    virtual ~IInterface() = default;
};

// The abstract key: every cipher's GenerateKey and LoadKeyFromStream return a subclass of it.
// The caller owns the key.
class TSymetricKey {
public:
    TSymetricKey() = default;
    TSymetricKey(const TSymetricKey&) = delete;
    TSymetricKey& operator=(const TSymetricKey&) = delete;
    virtual ~TSymetricKey() = default;

    virtual void SaveToStream(TStream& Stream) = 0;
    // Overwrites the key material.
    virtual void Burn() = 0;
};

class IStreamEncryptor;
class IStreamDecryptor;
class IBlockCodec;
class IHasher;
class TBlockChainLink; // codec/chaining.hpp

class ICryptoGraphicAlgorithm : public virtual IInterface {
public:
    virtual UnicodeString DisplayName() const = 0;
    virtual UnicodeString ProgId() const = 0;
    virtual TAlgorithmicFeatureSet Features() const = 0;
    virtual UnicodeString DefinitionURL() const = 0;
    virtual UnicodeString WikipediaReference() const = 0;
};

class IStreamCipher : public ICryptoGraphicAlgorithm {
public:
    // May return null (an adapter without a block cipher).
    virtual std::unique_ptr<TSymetricKey> GenerateKey(TStream& Seed) const = 0;
    virtual std::unique_ptr<TSymetricKey> LoadKeyFromStream(TStream& Store) const = 0;
    // -1 for none.
    virtual std::int32_t SeedByteSize() const = 0;
    // Params is any object; one implementing IBlockCipherSelector supplies the block cipher and
    // chaining mode. It is only used during the call. Null means "use this cipher as it is".
    virtual std::shared_ptr<IStreamCipher> MakeParameterized(IInterface* Params) const = 0;
    // Key and the stream must outlive the worker.
    virtual std::shared_ptr<IStreamEncryptor> Start_Encrypt(TSymetricKey& Key,
                                                            TStream& CipherText) const = 0;
    virtual std::shared_ptr<IStreamDecryptor> Start_Decrypt(TSymetricKey& Key,
                                                            TStream& PlainText) const = 0;
};

class IStreamCipherEx2 : public IStreamCipher {
public:
    virtual std::shared_ptr<IStreamEncryptor>
    Start_Encrypt_WithIV(TSymetricKey& Key, TStream& CipherText, TStream& IV) const = 0;
    virtual std::shared_ptr<IStreamDecryptor>
    Start_Decrypt_WithIV(TSymetricKey& Key, TStream& PlainText, TStream& IV) const = 0;
};

class IBlockCipher : public ICryptoGraphicAlgorithm {
public:
    virtual std::unique_ptr<TSymetricKey> GenerateKey(TStream& Seed) const = 0;
    virtual std::unique_ptr<TSymetricKey> LoadKeyFromStream(TStream& Store) const = 0;
    virtual std::int32_t BlockSize() const = 0; // bits
    virtual std::int32_t KeySize() const = 0;   // bits
    virtual std::int32_t SeedByteSize() const = 0;
    // Key must be this cipher's key class (EInvalidCast otherwise) and outlive the codec.
    virtual std::shared_ptr<IBlockCodec> MakeBlockCodec(TSymetricKey& Key) const = 0;
    virtual Bytes SelfTest_Key() const = 0;
    virtual Bytes SelfTest_Plaintext() const = 0;
    virtual Bytes SelfTest_Ciphertext() const = 0;
};

class IBlockChainingModel : public ICryptoGraphicAlgorithm {
public:
    // A new per-message link; IV is one block, copied by the link.
    virtual std::unique_ptr<TBlockChainLink>
    MakeEncryptLink(TSymetricKey& Key, TMemoryStream& IV,
                    std::shared_ptr<IBlockCodec> Cipher) const = 0;
    virtual std::unique_ptr<TBlockChainLink>
    MakeDecryptLink(TSymetricKey& Key, TMemoryStream& IV,
                    std::shared_ptr<IBlockCodec> Cipher) const = 0;
    virtual TChainFeatureSet ChainFeatures() const = 0;
};

class IHashDsc : public ICryptoGraphicAlgorithm {
public:
    virtual std::int32_t DigestBits() const = 0;
    virtual std::int32_t BlockBits() const = 0;
    // Params may be null.
    virtual std::shared_ptr<IHasher> NewHasher(IInterface* Params) const = 0;
};

class IStreamEncryptor : public virtual IInterface {
public:
    virtual void Encrypt(TStream& Plaintext) = 0;
    virtual void End_Encrypt() = 0;
    virtual void Reset() = 0;
};

class IStreamDecryptor : public virtual IInterface {
public:
    virtual void Decrypt(TStream& CipherText) = 0;
    virtual void End_Decrypt() = 0;
    virtual void Reset() = 0;
};

// Works on the first block of each stream's memory; positions and sizes are left alone.
class IBlockCodec : public virtual IInterface {
public:
    virtual void Encrypt_Block(TMemoryStream& Plaintext, TMemoryStream& Ciphertext) = 0;
    virtual void Decrypt_Block(TMemoryStream& Plaintext, TMemoryStream& Ciphertext) = 0;
    virtual void Reset() = 0;
    virtual void Burn() = 0;
};

class IHasher : public virtual IInterface {
public:
    // Source holds exactly one full block.
    virtual void Update(TMemoryStream& Source) = 0;
    // PartBlock's position tells how many of its bytes belong to the message; the digest is
    // written at the start of Digest's memory, which holds DigestBits / 8 bytes.
    virtual void End_Hash(TMemoryStream& PartBlock, TMemoryStream& Digest) = 0;
    virtual void Burn() = 0;
    virtual UnicodeString SelfTestMessage() = 0;
    virtual UnicodeString SelfTestDigest() = 0;
};

class IControlObject : public virtual IInterface {
public:
    // The object that stands for the algorithm (a block adapter answers with its block cipher's).
    virtual std::shared_ptr<IInterface> ControlObject() = 0;
};

// Algorithms that accept a range of seed sizes besides their nominal SeedByteSize.
class ISeedByteSizeRange : public virtual IInterface {
public:
    virtual IntegerRange SeedByteSizeRange() const = 0;
};

// The range declared by controlObject, or (seedByteSize, seedByteSize) when it declares none.
inline IntegerRange DeclaredSeedByteSizeRange(IInterface* controlObject,
                                              std::int32_t seedByteSize) {
    if (auto* r = dynamic_cast<ISeedByteSizeRange*>(controlObject)) {
        return r->SeedByteSizeRange();
    }
    return IntegerRange{seedByteSize, seedByteSize};
}

class IBlockCipherSelector : public virtual IInterface {
public:
    virtual std::shared_ptr<IBlockCipher> GetBlockCipher() = 0;
    virtual std::shared_ptr<IBlockChainingModel> GetChainMode() = 0;
};

class IBlockCipherSelectorEx2 : public IBlockCipherSelector {
public:
    virtual TSymetricEncryptionOptionSet GetAdvancedOptions2() = 0;
    // False when there is no hook; Value is then left unassigned.
    virtual bool GetOnSetIV(TSetMemStreamProc& Value) = 0;
};

// Marks the Base64 converter stream cipher: the codec then skips its own Base64 step.
class IisBase64Converter : public virtual IInterface {};

// Told when the registered set of a library changes (and when the library goes away).
class ICryptographicLibraryWatcher : public virtual IInterface {
public:
    virtual void ProgIdsChanged() = 0;
};

} // namespace velora
