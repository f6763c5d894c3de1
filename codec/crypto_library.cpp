#include "codec/crypto_library.hpp"

#include "codec/chaining.hpp"
#include "codec/placeholder_algorithms.hpp"
#include "codec/stream_to_block.hpp"
#include "codec/twofish.hpp"
#include "rtl/exceptions.hpp"

#include <algorithm>

namespace velora {

namespace {

template <class T> UnicodeString IdOrName(const std::shared_ptr<T>& a, bool byId) {
    return a ? (byId ? a->ProgId() : a->DisplayName()) : UnicodeString();
}

template <class T>
std::vector<UnicodeString> ListStrings(const std::vector<std::shared_ptr<T>>& items, bool byId) {
    std::vector<UnicodeString> result;
    result.reserve(items.size());
    for (const auto& a : items) {
        result.push_back(IdOrName(a, byId));
    }
    return result;
}

UnicodeString ReplaceFirstPercentD(UnicodeString name, std::int64_t value) {
    const auto at = name.find(u"%d");
    if (at != UnicodeString::npos) {
        name.replace(at, 2, IntToStr(value));
    }
    return name;
}

UnicodeString Decorate(UnicodeString name, TAlgorithmicFeatureSet features) {
    if (features.Contains(afStar)) {
        name += u" *";
    }
    if (features.Contains(afNotImplementedYet)) {
        name += u" (not implemented yet!)";
    }
    return name;
}

} // namespace

// ---- TCryptLibStrings

int TCryptLibStrings::CompareStrings(std::u16string_view A, std::u16string_view B) {
    return CompareText(A, B);
}

namespace {

std::vector<UnicodeString> ViewStrings(TCryptoLibStringRef ref, const TCryptographicLibrary& lib) {
    switch (ref) {
    case cStreamId:
    case sStreamName:
        return ListStrings(lib.StreamCiphers(), ref == cStreamId);
    case cBlockId:
    case cBlockName:
        return ListStrings(lib.BlockCiphers(), ref == cBlockId);
    case cChainId:
    case cChainName:
        return ListStrings(lib.ChainModes(), ref == cChainId);
    case cHashId:
    case cHashName:
        return ListStrings(lib.Hashes(), ref == cHashId);
    }
    return {};
}

} // namespace

std::int32_t TCryptLibStrings::Count() const {
    switch (FReference) {
    case cStreamId:
    case sStreamName:
        return static_cast<std::int32_t>(FLib->StreamCiphers().size());
    case cBlockId:
    case cBlockName:
        return static_cast<std::int32_t>(FLib->BlockCiphers().size());
    case cChainId:
    case cChainName:
        return static_cast<std::int32_t>(FLib->ChainModes().size());
    case cHashId:
    case cHashName:
        return static_cast<std::int32_t>(FLib->Hashes().size());
    }
    return 0;
}

UnicodeString TCryptLibStrings::Strings(std::int32_t Index) const {
    const auto all = ViewStrings(FReference, *FLib);
    if (Index < 0 || static_cast<std::size_t>(Index) >= all.size()) {
        throw ERangeError(Format(u"List index out of bounds (%d)", {std::int64_t{Index}}));
    }
    return all[static_cast<std::size_t>(Index)];
}

std::int32_t TCryptLibStrings::IndexOf(std::u16string_view S) const {
    const auto all = ViewStrings(FReference, *FLib);
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (CompareStrings(all[i], S) == 0) {
            return static_cast<std::int32_t>(i);
        }
    }
    return -1;
}

// ---- the caller-defined stream cipher

class TCryptographicLibrary::TCustomCipherAdapter : public IStreamCipher {
public:
    explicit TCustomCipherAdapter(TCryptographicLibrary& Lib) : FLib(&Lib) {}
    void Detach() noexcept { FLib = nullptr; }

    UnicodeString DisplayName() const override {
        return FLib ? FLib->FCustomStreamCipher.DisplayName : UnicodeString();
    }
    UnicodeString ProgId() const override {
        return FLib ? FLib->FCustomStreamCipher.ProgId : UnicodeString();
    }
    TAlgorithmicFeatureSet Features() const override {
        return FLib ? FLib->FCustomStreamCipher.Features : TAlgorithmicFeatureSet{};
    }
    UnicodeString DefinitionURL() const override { return u""; }
    UnicodeString WikipediaReference() const override { return u""; }

    std::unique_ptr<TSymetricKey> GenerateKey(TStream& Seed) const override {
        if (FLib == nullptr || !FLib->FOnGenerateKeyFunc) {
            return nullptr;
        }
        return FLib->FOnGenerateKeyFunc(*FLib, Seed);
    }
    std::unique_ptr<TSymetricKey> LoadKeyFromStream(TStream&) const override { return nullptr; }
    std::int32_t SeedByteSize() const override {
        return FLib ? FLib->FCustomStreamCipher.SeedByteSize : -1;
    }
    std::shared_ptr<IStreamCipher> MakeParameterized(IInterface*) const override { return nullptr; }
    std::shared_ptr<IStreamEncryptor> Start_Encrypt(TSymetricKey& Key,
                                                    TStream& CipherText) const override {
        if (FLib == nullptr || !FLib->FOnStart_EncryptFunc) {
            throw Exception(std::string_view("Custom stream cipher has no encryption handler."));
        }
        return FLib->FOnStart_EncryptFunc(*FLib, Key, CipherText);
    }
    std::shared_ptr<IStreamDecryptor> Start_Decrypt(TSymetricKey& Key,
                                                    TStream& PlainText) const override {
        if (FLib == nullptr || !FLib->FOnStart_DecryptFunc) {
            throw Exception(std::string_view("Custom stream cipher has no decryption handler."));
        }
        return FLib->FOnStart_DecryptFunc(*FLib, Key, PlainText);
    }

private:
    TCryptographicLibrary* FLib;
};

// ---- TCryptographicLibrary

TCryptographicLibrary::TCryptographicLibrary(TComponent* AOwner) : TComponent(AOwner) {
    FStreamCiphers_ByProgId = std::make_unique<TCryptLibStrings>(cStreamId, *this);
    FStreamCiphers_ByDisplayName = std::make_unique<TCryptLibStrings>(sStreamName, *this);
    FBlockCiphers_ByProgId = std::make_unique<TCryptLibStrings>(cBlockId, *this);
    FBlockCiphers_ByDisplayName = std::make_unique<TCryptLibStrings>(cBlockName, *this);
    FChainModes_ByProgId = std::make_unique<TCryptLibStrings>(cChainId, *this);
    FChainModes_ByDisplayName = std::make_unique<TCryptLibStrings>(cChainName, *this);
    FHashs_ByProgId = std::make_unique<TCryptLibStrings>(cHashId, *this);
    FHashs_ByDisplayName = std::make_unique<TCryptLibStrings>(cHashName, *this);
    FCustomCipherIntf = std::make_shared<TCustomCipherAdapter>(*this);
    RegisterBuiltIns();
}

void TCryptographicLibrary::RegisterBuiltIns() {
    using D = TAlgorithmDescription;
    // Stream ciphers.
    FStreamCiphers.Add(std::make_shared<TStreamToBlock_Adapter>());
    FStreamCiphers.Add(MakePlaceholderStreamCipher(
        D{u"native.base64", u"Base64", {afConverter, afOpenSourceSoftware}, u"Base64"}, -1, true));
    FStreamCiphers.Add(MakePlaceholderStreamCipher(
        D{u"native.RSA", u"RSA public key encryption system", {afOpenSourceSoftware}, u"RSA"}, -1,
        false));
    FStreamCiphers.Add(MakePlaceholderStreamCipher(D{u"native.XXTEA.Large.Littleend",
                                                     u"XXTEA (large block; little-endien)",
                                                     {afOpenSourceSoftware},
                                                     u"XXTEA"},
                                                   16, false));

    // Block ciphers.
    for (std::int32_t bits : {128, 192, 256}) {
        FBlockCiphers.Add(
            MakePlaceholderBlockCipher(D{Format(u"native.AES-%d", {std::int64_t{bits}}),
                                         u"AES-%d",
                                         {afOpenSourceSoftware, afDisplayNameOnKeySize},
                                         u"Advanced_Encryption_Standard"},
                                       128, bits, bits / 8));
    }
    FBlockCiphers.Add(MakePlaceholderBlockCipher(D{u"native.DES",
                                                   u"DES",
                                                   {afCryptographicallyWeak, afOpenSourceSoftware},
                                                   u"Data_Encryption_Standard"},
                                                 64, 56, 8));
    FBlockCiphers.Add(MakePlaceholderBlockCipher(
        D{u"native.3DES.2", u"3DES (Keying option 2)", {afOpenSourceSoftware}, u"Triple_DES"}, 64,
        112, 16));
    FBlockCiphers.Add(MakePlaceholderBlockCipher(
        D{u"native.3DES.1", u"3DES (Keying option 1)", {afOpenSourceSoftware}, u"Triple_DES"}, 64,
        168, 24));
    FBlockCiphers.Add(MakePlaceholderBlockCipher(
        D{u"native.Blowfish", u"Blowfish", {afOpenSourceSoftware}, u"Blowfish_(cipher)"}, 64, 448,
        56, IntegerRange{1, 56}));
    FBlockCiphers.Add(std::make_shared<TTwoFish>());

    // Hashes.
    if (auto sha1 = MakeSHA1Hash()) {
        FHashes.Add(std::move(sha1));
    }
    struct HashInfo {
        const char16_t* Suffix;
        std::int32_t Digest, Block;
    };
    for (const HashInfo& h : {HashInfo{u"224", 224, 512}, HashInfo{u"256", 256, 512},
                              HashInfo{u"384", 384, 1024}, HashInfo{u"512", 512, 1024},
                              HashInfo{u"512/224", 224, 1024}, HashInfo{u"512/256", 256, 1024}}) {
        FHashes.Add(MakePlaceholderHash(D{UnicodeString(u"native.hash.SHA-") + h.Suffix,
                                          UnicodeString(u"SHA-") + h.Suffix,
                                          {afOpenSourceSoftware},
                                          u"SHA-2"},
                                        h.Digest, h.Block));
    }
    FHashes.Add(MakePlaceholderHash(
        D{u"native.hash.MD5", u"MD5", {afCryptographicallyWeak, afOpenSourceSoftware}, u"MD5"}, 128,
        512));

    // Chaining modes.
    FChainModes.Add(MakePlaceholderChainingModel(
        D{u"native.ECB", u"ECB (with block padding)", {afOpenSourceSoftware}, u""}, {chfNoNonce}));
    FChainModes.Add(std::make_shared<TCBC>());
    FChainModes.Add(MakePlaceholderChainingModel(
        D{u"native.CFB", u"CFB", {afOpenSourceSoftware}, u""}, {chfKeyStream}));
    FChainModes.Add(MakePlaceholderChainingModel(
        D{u"native.OFB", u"OFB", {afOpenSourceSoftware}, u""}, {chfKeyStream, chfAutoXOR}));
    FChainModes.Add(MakePlaceholderChainingModel(
        D{u"native.CTR", u"CTR", {afOpenSourceSoftware}, u""}, {chfKeyStream, chfAutoXOR}));
    FChainModes.Add(std::make_shared<TCFB_8Bit>());
    FChainModes.Add(
        MakePlaceholderChainingModel(D{u"native.PCBC", u"PCBC", {afOpenSourceSoftware}, u""}, {}));
}

TCryptographicLibrary::~TCryptographicLibrary() {
    FisDestroying = true;
    ProgIdsChanged(100);
    try {
        SetParentLibrary(nullptr);
    } catch (...) {
        // Leaving a parent cannot fail; nothing may escape a destructor.
    }
    FStreamCiphers_ByProgId.reset();
    FStreamCiphers_ByDisplayName.reset();
    FBlockCiphers_ByProgId.reset();
    FBlockCiphers_ByDisplayName.reset();
    FChainModes_ByProgId.reset();
    FChainModes_ByDisplayName.reset();
    FHashs_ByProgId.reset();
    FHashs_ByDisplayName.reset();
    // A codec may still hold the custom cipher; it must no longer reach this library.
    static_cast<TCustomCipherAdapter&>(*FCustomCipherIntf).Detach();
    FCustomCipherIntf.reset();
    SendFreeNotices();
    for (auto* child : FChildLibraries) {
        if (child->FParentLibrary == this) {
            child->FParentLibrary = nullptr;
        }
    }
    FChildLibraries.clear();
}

template <class T>
std::shared_ptr<T> TCryptographicLibrary::Find(
    const TInterfaceList<T>& List, std::u16string_view ProgIdx,
    std::shared_ptr<T> (TCryptographicLibrary::*Child)(std::u16string_view)) {
    if (FisDestroying) {
        return nullptr;
    }
    for (const auto& a : List.Snapshot()) {
        if (a && CompareText(a->ProgId(), ProgIdx) == 0) {
            return a;
        }
    }
    for (auto* child : std::vector<TCryptographicLibrary*>(FChildLibraries)) {
        if (auto found = (child->*Child)(ProgIdx)) {
            return found;
        }
    }
    return nullptr;
}

std::shared_ptr<IStreamCipher>
TCryptographicLibrary::StreamCipherIntfc(std::u16string_view ProgIdx) {
    if (FisDestroying) {
        return nullptr;
    }
    if (!FCustomStreamCipher.ProgId.empty() && FCustomStreamCipher.ProgId == ProgIdx) {
        return FCustomCipherIntf;
    }
    return Find(FStreamCiphers, ProgIdx, &TCryptographicLibrary::StreamCipherIntfc);
}

std::shared_ptr<IBlockCipher> TCryptographicLibrary::BlockCipherIntfc(std::u16string_view ProgIdx) {
    return Find(FBlockCiphers, ProgIdx, &TCryptographicLibrary::BlockCipherIntfc);
}

std::shared_ptr<IBlockChainingModel>
TCryptographicLibrary::BlockChainingModelIntfc(std::u16string_view ProgIdx) {
    return Find(FChainModes, ProgIdx, &TCryptographicLibrary::BlockChainingModelIntfc);
}

std::shared_ptr<IHashDsc> TCryptographicLibrary::HashIntfc(std::u16string_view ProgIdx) {
    return Find(FHashes, ProgIdx, &TCryptographicLibrary::HashIntfc);
}

template <class T>
void TCryptographicLibrary::Register(TInterfaceList<T>& List,
                                     const std::shared_ptr<T>& Registrant) {
    if (!Registrant || List.Contains(Registrant.get())) {
        return;
    }
    const UnicodeString id = Registrant->ProgId();
    for (const auto& a : List.Snapshot()) {
        if (CompareText(a->ProgId(), id) == 0) {
            List.Remove(a.get());
            break;
        }
    }
    List.Add(Registrant);
    ProgIdsChanged(100);
}

template <class T>
void TCryptographicLibrary::Deregister(TInterfaceList<T>& List,
                                       const std::shared_ptr<T>& Registrant) {
    List.Remove(Registrant.get());
    ProgIdsChanged(100);
}

void TCryptographicLibrary::RegisterStreamCipher(const std::shared_ptr<IStreamCipher>& Registrant) {
    Register(FStreamCiphers, Registrant);
}
void TCryptographicLibrary::RegisterBlockCipher(const std::shared_ptr<IBlockCipher>& Registrant) {
    Register(FBlockCiphers, Registrant);
}
void TCryptographicLibrary::RegisterBlockChainingModel(
    const std::shared_ptr<IBlockChainingModel>& Registrant) {
    Register(FChainModes, Registrant);
}
void TCryptographicLibrary::RegisterHash(const std::shared_ptr<IHashDsc>& Registrant) {
    Register(FHashes, Registrant);
}
void TCryptographicLibrary::DeregisterStreamCipher(
    const std::shared_ptr<IStreamCipher>& Registrant) {
    Deregister(FStreamCiphers, Registrant);
}
void TCryptographicLibrary::DeregisterBlockCipher(const std::shared_ptr<IBlockCipher>& Registrant) {
    Deregister(FBlockCiphers, Registrant);
}
void TCryptographicLibrary::DeregisterBlockChainingModel(
    const std::shared_ptr<IBlockChainingModel>& Registrant) {
    Deregister(FChainModes, Registrant);
}
void TCryptographicLibrary::DeregisterHash(const std::shared_ptr<IHashDsc>& Registrant) {
    Deregister(FHashes, Registrant);
}

void TCryptographicLibrary::RegisterWatcher(ICryptographicLibraryWatcher* Registrant) {
    if (Registrant == nullptr) {
        return;
    }
    std::lock_guard lock(FWatchersLock);
    if (std::find(FWatchers.begin(), FWatchers.end(), Registrant) == FWatchers.end()) {
        FWatchers.push_back(Registrant);
    }
}

void TCryptographicLibrary::DegisterWatcher(ICryptographicLibraryWatcher* Registrant) {
    std::lock_guard lock(FWatchersLock);
    FWatchers.erase(std::remove(FWatchers.begin(), FWatchers.end(), Registrant), FWatchers.end());
}

void TCryptographicLibrary::ProgIdsChanged(int StackLimit) {
    if (StackLimit <= 0) {
        return;
    }
    std::vector<ICryptographicLibraryWatcher*> watchers;
    {
        std::lock_guard lock(FWatchersLock);
        watchers = FWatchers;
    }
    for (auto* w : watchers) {
        // A watcher that left during an earlier notification is not told.
        bool still;
        {
            std::lock_guard lock(FWatchersLock);
            still = std::find(FWatchers.begin(), FWatchers.end(), w) != FWatchers.end();
        }
        if (still) {
            w->ProgIdsChanged();
        }
    }
    if (FParentLibrary != nullptr) {
        FParentLibrary->ProgIdsChanged(StackLimit - 1);
    }
}

UnicodeString TCryptographicLibrary::GetStreamCipherDisplayNames(std::u16string_view ProgIdx) {
    auto a = StreamCipherIntfc(ProgIdx);
    return a ? a->DisplayName() : UnicodeString();
}
UnicodeString TCryptographicLibrary::GetBlockCipherDisplayNames(std::u16string_view ProgIdx) {
    auto a = BlockCipherIntfc(ProgIdx);
    return a ? a->DisplayName() : UnicodeString();
}
UnicodeString TCryptographicLibrary::GetChainModesDisplayNames(std::u16string_view ProgIdx) {
    auto a = BlockChainingModelIntfc(ProgIdx);
    return a ? a->DisplayName() : UnicodeString();
}
UnicodeString TCryptographicLibrary::GetHashDisplayNames(std::u16string_view ProgIdx) {
    auto a = HashIntfc(ProgIdx);
    return a ? a->DisplayName() : UnicodeString();
}

UnicodeString TCryptographicLibrary::ComputeCipherDisplayName(const IStreamCipher* Cipher,
                                                              const IBlockCipher* BlockCipher) {
    if (Cipher == nullptr) {
        return {};
    }
    UnicodeString name = Cipher->DisplayName();
    if (name.empty()) {
        return name;
    }
    const bool isAdapter = Cipher->Features().Contains(afBlockAdapter) && BlockCipher != nullptr;
    TAlgorithmicFeatureSet features;
    if (isAdapter) {
        features = BlockCipher->Features();
        const std::int32_t size = features.Contains(afDisplayNameOnKeySize)
                                      ? BlockCipher->KeySize()
                                      : BlockCipher->BlockSize();
        if (size > 0) {
            name = ReplaceFirstPercentD(std::move(name), size);
        }
    } else {
        features = Cipher->Features();
    }
    name = Decorate(std::move(name), features);
    return isAdapter ? u"[" + name + u"]" : name;
}

UnicodeString TCryptographicLibrary::ComputeChainDisplayName(const IBlockChainingModel* Chain) {
    return Chain ? Decorate(Chain->DisplayName(), Chain->Features()) : UnicodeString();
}

UnicodeString TCryptographicLibrary::ComputeHashDisplayName(const IHashDsc* Hash) {
    if (Hash == nullptr) {
        return {};
    }
    return Decorate(ReplaceFirstPercentD(Hash->DisplayName(), Hash->BlockBits()), Hash->Features());
}

int TCryptographicLibrary::DepthBelow() const {
    int deepest = 0;
    for (const auto* child : FChildLibraries) {
        deepest = std::max(deepest, child->DepthBelow());
    }
    return 1 + deepest;
}

void TCryptographicLibrary::SetParentLibrary(TCryptographicLibrary* Value) {
    if (Value == FParentLibrary) {
        return;
    }
    if (Value != nullptr) {
        int above = 0;
        for (auto* p = Value; p != nullptr; p = p->FParentLibrary) {
            if (p == this) {
                throw Exception(
                    std::string_view("Circular TCryptographicLibrary chaining is prohibited."));
            }
            ++above;
        }
        if (above + DepthBelow() > kMaxChainDepth) {
            throw Exception(Format(u"TCryptographicLibrarys cannot chain more than %d deep.",
                                   {std::int64_t{kMaxChainDepth}}));
        }
    }
    if (auto* old = FParentLibrary) {
        old->FChildLibraries.erase(
            std::remove(old->FChildLibraries.begin(), old->FChildLibraries.end(), this),
            old->FChildLibraries.end());
        RemoveFreeNotification(old);
        FParentLibrary = nullptr;
        old->ProgIdsChanged(100);
    }
    if (Value != nullptr) {
        FParentLibrary = Value;
        if (std::find(Value->FChildLibraries.begin(), Value->FChildLibraries.end(), this) ==
            Value->FChildLibraries.end()) {
            Value->FChildLibraries.push_back(this);
        }
        FreeNotification(Value);
        Value->ProgIdsChanged(100);
    }
}

void TCryptographicLibrary::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation != TOperation::opRemove) {
        return;
    }
    if (AComponent == FParentLibrary) {
        FParentLibrary = nullptr;
    }
    FChildLibraries.erase(std::remove(FChildLibraries.begin(), FChildLibraries.end(), AComponent),
                          FChildLibraries.end());
}

void TCryptographicLibrary::SetCustomCipher(const TCustomStreamCipher& Value) {
    FCustomStreamCipher = Value;
}
void TCryptographicLibrary::SetOnCustomCipherGenerateKey(TOnGenerateKeyFunc Value) {
    FOnGenerateKeyFunc = std::move(Value);
}
void TCryptographicLibrary::SetOnCustomCipherStart_Encrypt(TOnStart_EncryptFunc Value) {
    FOnStart_EncryptFunc = std::move(Value);
}
void TCryptographicLibrary::SetOnCustomCipherStart_Decrypt(TOnStart_DecryptFunc Value) {
    FOnStart_DecryptFunc = std::move(Value);
}

} // namespace velora
