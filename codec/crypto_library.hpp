// The algorithm registry: every library registers the same built-in algorithms at creation and
// finds them by identifier ("ProgId"), ignoring ASCII letter case.
#pragma once

#include "codec/component.hpp"
#include "codec/interfaces.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace velora {

// Defined with the SHA-1 implementation; the registry lists its result as the first hash.
std::shared_ptr<IHashDsc> MakeSHA1Hash();

class TCryptographicLibrary;

// An interface list that serialises its own accesses.
template <class T> class TInterfaceList {
public:
    std::vector<std::shared_ptr<T>> Snapshot() const {
        std::lock_guard lock(FLock);
        return FItems;
    }
    std::size_t Count() const {
        std::lock_guard lock(FLock);
        return FItems.size();
    }
    std::shared_ptr<T> Item(std::size_t index) const {
        std::lock_guard lock(FLock);
        return index < FItems.size() ? FItems[index] : nullptr;
    }
    bool Contains(const T* item) const {
        std::lock_guard lock(FLock);
        for (const auto& p : FItems) {
            if (p.get() == item) {
                return true;
            }
        }
        return false;
    }
    void Add(std::shared_ptr<T> item) {
        std::lock_guard lock(FLock);
        FItems.push_back(std::move(item));
    }
    // Removes the first entry holding item; false when there is none.
    bool Remove(const T* item) {
        std::lock_guard lock(FLock);
        for (auto it = FItems.begin(); it != FItems.end(); ++it) {
            if (it->get() == item) {
                FItems.erase(it);
                return true;
            }
        }
        return false;
    }
    void Clear() {
        std::lock_guard lock(FLock);
        FItems.clear();
    }

private:
    mutable std::mutex FLock;
    std::vector<std::shared_ptr<T>> FItems;
};

enum TCryptoLibStringRef {
    cStreamId,
    sStreamName,
    cBlockId,
    cBlockName,
    cChainId,
    cChainName,
    cHashId,
    cHashName,
};

// A read-only live view of one of the library's lists: its identifiers or its display names,
// asked afresh at every read. Adding, inserting, deleting and clearing do nothing.
class TCryptLibStrings {
public:
    TCryptLibStrings(TCryptoLibStringRef Reference, TCryptographicLibrary& Lib)
        : FReference(Reference), FLib(&Lib) {}

    std::int32_t Count() const;
    UnicodeString Strings(std::int32_t Index) const;
    UnicodeString operator[](std::int32_t Index) const { return Strings(Index); }
    // Case-insensitive ordinal search; -1 when absent.
    std::int32_t IndexOf(std::u16string_view S) const;
    static int CompareStrings(std::u16string_view A, std::u16string_view B);

    std::int32_t Add(std::u16string_view) { return -1; }
    void Insert(std::int32_t, std::u16string_view) {}
    void Delete(std::int32_t) {}
    void Clear() {}

private:
    TCryptoLibStringRef FReference;
    TCryptographicLibrary* FLib;
};

// Description of the caller-defined stream cipher.
struct TCustomStreamCipher {
    UnicodeString DisplayName;
    UnicodeString ProgId;
    TAlgorithmicFeatureSet Features;
    std::int32_t SeedByteSize = -1;
};

using TOnGenerateKeyFunc =
    std::function<std::unique_ptr<TSymetricKey>(TCryptographicLibrary& Lib, TStream& Seed)>;
using TOnStart_EncryptFunc = std::function<std::shared_ptr<IStreamEncryptor>(
    TCryptographicLibrary& Lib, TSymetricKey& Key, TStream& CipherText)>;
using TOnStart_DecryptFunc = std::function<std::shared_ptr<IStreamDecryptor>(
    TCryptographicLibrary& Lib, TSymetricKey& Key, TStream& PlainText)>;

class TCryptographicLibrary : public TComponent {
public:
    static constexpr int kMaxChainDepth = 10;

    explicit TCryptographicLibrary(TComponent* AOwner = nullptr);
    ~TCryptographicLibrary() override;

    // Lookups give null for an unknown identifier and while the library is being destroyed.
    std::shared_ptr<IStreamCipher> StreamCipherIntfc(std::u16string_view ProgIdx);
    std::shared_ptr<IBlockCipher> BlockCipherIntfc(std::u16string_view ProgIdx);
    std::shared_ptr<IBlockChainingModel> BlockChainingModelIntfc(std::u16string_view ProgIdx);
    std::shared_ptr<IHashDsc> HashIntfc(std::u16string_view ProgIdx);

    // A registrant replaces an earlier one with the same identifier; the change is announced.
    void RegisterStreamCipher(const std::shared_ptr<IStreamCipher>& Registrant);
    void RegisterBlockCipher(const std::shared_ptr<IBlockCipher>& Registrant);
    void RegisterBlockChainingModel(const std::shared_ptr<IBlockChainingModel>& Registrant);
    void RegisterHash(const std::shared_ptr<IHashDsc>& Registrant);
    void DeregisterStreamCipher(const std::shared_ptr<IStreamCipher>& Registrant);
    void DeregisterBlockCipher(const std::shared_ptr<IBlockCipher>& Registrant);
    void DeregisterBlockChainingModel(const std::shared_ptr<IBlockChainingModel>& Registrant);
    void DeregisterHash(const std::shared_ptr<IHashDsc>& Registrant);

    // Watchers are not owned; a watcher deregisters before it goes away.
    void RegisterWatcher(ICryptographicLibraryWatcher* Registrant);
    void DegisterWatcher(ICryptographicLibraryWatcher* Registrant);
    void ProgIdsChanged(int StackLimit);

    UnicodeString GetStreamCipherDisplayNames(std::u16string_view ProgIdx);
    UnicodeString GetBlockCipherDisplayNames(std::u16string_view ProgIdx);
    UnicodeString GetChainModesDisplayNames(std::u16string_view ProgIdx);
    UnicodeString GetHashDisplayNames(std::u16string_view ProgIdx);

    const TCryptLibStrings& StreamCiphers_ByProgId() const { return *FStreamCiphers_ByProgId; }
    const TCryptLibStrings& StreamCiphers_ByDisplayName() const {
        return *FStreamCiphers_ByDisplayName;
    }
    const TCryptLibStrings& BlockCiphers_ByProgId() const { return *FBlockCiphers_ByProgId; }
    const TCryptLibStrings& BlockCiphers_ByDisplayName() const {
        return *FBlockCiphers_ByDisplayName;
    }
    const TCryptLibStrings& ChainModes_ByProgId() const { return *FChainModes_ByProgId; }
    const TCryptLibStrings& ChainModes_ByDisplayName() const { return *FChainModes_ByDisplayName; }
    const TCryptLibStrings& Hashs_ByProgId() const { return *FHashs_ByProgId; }
    const TCryptLibStrings& Hashs_ByDisplayName() const { return *FHashs_ByDisplayName; }

    // Display decorations; either argument may be null.
    static UnicodeString ComputeCipherDisplayName(const IStreamCipher* Cipher,
                                                  const IBlockCipher* BlockCipher);
    static UnicodeString ComputeChainDisplayName(const IBlockChainingModel* Chain);
    static UnicodeString ComputeHashDisplayName(const IHashDsc* Hash);

    TCryptographicLibrary* ParentLibrary() const noexcept { return FParentLibrary; }
    // Fails with "TCryptographicLibrarys cannot chain more than %d deep." or
    // "Circular TCryptographicLibrary chaining is prohibited.".
    void SetParentLibrary(TCryptographicLibrary* Value);

    const TCustomStreamCipher& CustomCipher() const noexcept { return FCustomStreamCipher; }
    void SetCustomCipher(const TCustomStreamCipher& Value);
    void SetOnCustomCipherGenerateKey(TOnGenerateKeyFunc Value);
    void SetOnCustomCipherStart_Encrypt(TOnStart_EncryptFunc Value);
    void SetOnCustomCipherStart_Decrypt(TOnStart_DecryptFunc Value);

    // Read access to the lists, in registration order (used by the views).
    std::vector<std::shared_ptr<IStreamCipher>> StreamCiphers() const {
        return FStreamCiphers.Snapshot();
    }
    std::vector<std::shared_ptr<IBlockCipher>> BlockCiphers() const {
        return FBlockCiphers.Snapshot();
    }
    std::vector<std::shared_ptr<IBlockChainingModel>> ChainModes() const {
        return FChainModes.Snapshot();
    }
    std::vector<std::shared_ptr<IHashDsc>> Hashes() const { return FHashes.Snapshot(); }
    bool IsDestroying() const noexcept { return FisDestroying; }

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    class TCustomCipherAdapter;
    friend class TCustomCipherAdapter;

    template <class T>
    std::shared_ptr<T>
    Find(const TInterfaceList<T>& List, std::u16string_view ProgIdx,
         std::shared_ptr<T> (TCryptographicLibrary::*Child)(std::u16string_view));
    template <class T> void Register(TInterfaceList<T>& List, const std::shared_ptr<T>& Registrant);
    template <class T>
    void Deregister(TInterfaceList<T>& List, const std::shared_ptr<T>& Registrant);
    void RegisterBuiltIns();
    void RebuildCustomCipher();
    int DepthBelow() const;

    TInterfaceList<IStreamCipher> FStreamCiphers;
    TInterfaceList<IBlockCipher> FBlockCiphers;
    TInterfaceList<IBlockChainingModel> FChainModes;
    TInterfaceList<IHashDsc> FHashes;
    std::unique_ptr<TCryptLibStrings> FStreamCiphers_ByProgId;
    std::unique_ptr<TCryptLibStrings> FStreamCiphers_ByDisplayName;
    std::unique_ptr<TCryptLibStrings> FBlockCiphers_ByProgId;
    std::unique_ptr<TCryptLibStrings> FBlockCiphers_ByDisplayName;
    std::unique_ptr<TCryptLibStrings> FChainModes_ByProgId;
    std::unique_ptr<TCryptLibStrings> FChainModes_ByDisplayName;
    std::unique_ptr<TCryptLibStrings> FHashs_ByProgId;
    std::unique_ptr<TCryptLibStrings> FHashs_ByDisplayName;
    TCustomStreamCipher FCustomStreamCipher;
    std::shared_ptr<IStreamCipher> FCustomCipherIntf;
    std::vector<ICryptographicLibraryWatcher*> FWatchers;
    mutable std::mutex FWatchersLock;
    TOnGenerateKeyFunc FOnGenerateKeyFunc;
    TOnStart_EncryptFunc FOnStart_EncryptFunc;
    TOnStart_DecryptFunc FOnStart_DecryptFunc;
    bool FisDestroying = false;
    TCryptographicLibrary* FParentLibrary = nullptr;
    std::vector<TCryptographicLibrary*> FChildLibraries;
};

} // namespace velora
