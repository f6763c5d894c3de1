#include "codec/codec.hpp"

#include "codec/base64.hpp"
#include "codec/random.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"

#include <algorithm>
#include <chrono>
#include <vector>

namespace velora {

namespace {

constexpr std::int64_t kChunkSize = 1024;
constexpr std::int32_t kSaltBytes = 8;

std::unique_ptr<TMemoryStream> MakeSensitiveStream() {
    auto stream = std::make_unique<TMemoryStream>();
    stream->SetSensitive(true);
    return stream;
}

// The current time as a day count with fraction, the unit of Duration.
double Now() {
    using Days = std::chrono::duration<double, std::ratio<86400>>;
    // Days from 1899-12-30, the usual origin of such day counts, to 1970-01-01.
    constexpr double kUnixEpochDays = 25569.0;
    return kUnixEpochDays +
           std::chrono::duration_cast<Days>(std::chrono::system_clock::now().time_since_epoch())
               .count();
}

std::int32_t Clamp(std::int64_t value, IntegerRange range) {
    if (value > range.FMax) {
        return range.FMax;
    }
    if (value < range.FMin) {
        return range.FMin;
    }
    return static_cast<std::int32_t>(value);
}

bool Usable(const ICryptoGraphicAlgorithm* algorithm) {
    return algorithm != nullptr && !algorithm->Features().Contains(afNotImplementedYet);
}

void ReadWholeStream(TStream& source, Bytes& out) {
    source.SetPosition(0);
    std::uint8_t chunk[4096];
    for (;;) {
        const std::int64_t n = source.Read(chunk, sizeof(chunk));
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), chunk, chunk + n);
    }
    SecureZero(chunk, sizeof(chunk));
}

// Clears a byte vector's content before it is released.
struct WipeOnExit {
    Bytes& bytes;
    ~WipeOnExit() { SecureZero(bytes); }
};

} // namespace

// ---------------------------------------------------------------------------------------------
// TSimpleCodec

TSimpleCodec::TSimpleCodec(TCodec* Owner)
    : FSender(Owner != nullptr ? static_cast<void*>(Owner) : static_cast<void*>(this)),
      FPasswordHasherObject(std::make_unique<TSimpleHash>()),
      FPasswordHasher(FPasswordHasherObject.get()), FBuffer(MakeSensitiveStream()),
      FDesalination(std::make_unique<TDesalinationWriteStream>()), FCompOwner(Owner) {
    // The password hash is the engine's own; it does not come from a library.
    FPasswordHasher->SetHash(MakeSHA1Hash());
}

TSimpleCodec::~TSimpleCodec() {
    Burn(true);
}

void TSimpleCodec::SetAlgorithm(bool changed) {
    if (!changed) {
        return;
    }
    if (FMode == cmEncrypting || FMode == cmDecrypting) {
        throw Exception("TSimpleCodec.Init - Cannot set Cipher whilst enc/decrypting.");
    }
    // Also without a key: a parameterised cipher made for the old algorithms must go.
    Burn(true);
}

void TSimpleCodec::SetStreamCipher(std::shared_ptr<IStreamCipher> Value) {
    SetAlgorithm(Value != FStreamCipher);
    FStreamCipher = std::move(Value);
}

void TSimpleCodec::SetBlockCipher(std::shared_ptr<IBlockCipher> Value) {
    SetAlgorithm(Value != FBlockCipher);
    FBlockCipher = std::move(Value);
}

void TSimpleCodec::SetChainMode(std::shared_ptr<IBlockChainingModel> Value) {
    SetAlgorithm(Value != FChainMode);
    FChainMode = std::move(Value);
}

UnicodeString TSimpleCodec::GetCipherDisplayName(TCryptographicLibrary*) {
    return TCryptographicLibrary::ComputeCipherDisplayName(FStreamCipher.get(), FBlockCipher.get());
}

bool TSimpleCodec::GetOnSetIV(TSetMemStreamProc& Value) {
    if (!FOnSetIV) {
        return false;
    }
    Value = FOnSetIV;
    return true;
}

void TSimpleCodec::MakeParameterizedIfMissing() {
    if (FParameterizedStreamCipher || !FStreamCipher) {
        return;
    }
    FParameterizedStreamCipher = FStreamCipher->MakeParameterized(static_cast<IInterface*>(this));
    if (!FParameterizedStreamCipher) {
        FParameterizedStreamCipher = FStreamCipher;
    }
}

bool TSimpleCodec::isAsymetric() {
    MakeParameterizedIfMissing();
    return FParameterizedStreamCipher &&
           FParameterizedStreamCipher->Features().Contains(afAsymetric);
}

void TSimpleCodec::FreeKey() noexcept {
    // Workers may refer to the key: they go first.
    FEnc.reset();
    FDec.reset();
    if (FKey) {
        FKey->Burn();
        FKey.reset();
    }
}

void TSimpleCodec::PrepareForKey() {
    if (FMode == cmEncrypting || FMode == cmDecrypting) {
        Reset();
    }
    FMode = cmUnitialized;
    FXtextCount = 0;
    FreeKey();
    FisUserAborted = false;
}

void TSimpleCodec::Init(std::u16string_view Key, const TEncoding& AEncoding) {
    if (Key.empty()) {
        throw Exception("TSimpleCodec.Init - No password.");
    }
    PrepareForKey();
    try {
        if (isAsymetric()) {
            throw Exception("TSimpleCodec.Init - Asymetric codecs are not initialized by string.");
        }
        if (!FParameterizedStreamCipher) {
            throw Exception("TSimpleCodec.Init - No stream cipher.");
        }
        IStreamCipher& cipher = *FParameterizedStreamCipher;
        const std::int64_t passwordBytes = 2 * static_cast<std::int64_t>(Key.size());
        const std::int32_t seedSize = cipher.SeedByteSize();
        FBuffer->SetSize(0);
        if (seedSize != -1) {
            std::shared_ptr<IInterface> control;
            if (auto* c = dynamic_cast<IControlObject*>(&cipher)) {
                control = c->ControlObject();
            }
            const IntegerRange range = DeclaredSeedByteSizeRange(
                control ? control.get() : static_cast<IInterface*>(&cipher), seedSize);
            if (Clamp(passwordBytes, range) == passwordBytes) {
                // The password fits as it is: its UTF-16LE bytes are the seed.
                FBuffer->SetSize(passwordBytes);
                std::uint8_t* seed = FBuffer->Memory();
                for (std::size_t i = 0; i < Key.size(); ++i) {
                    seed[2 * i] = static_cast<std::uint8_t>(Key[i] & 0xFF);
                    seed[2 * i + 1] = static_cast<std::uint8_t>(Key[i] >> 8);
                }
            } else {
                FPasswordHasher->HashText(Key, AEncoding);
                TMemoryStream& digest = FPasswordHasher->OutputValue();
                const std::int64_t digestSize = digest.Size();
                FBuffer->SetSize(digestSize);
                std::copy_n(digest.Memory(), digestSize, FBuffer->Memory());
                FPasswordHasher->Burn();
                if (digestSize == 0) {
                    throw Exception("TSimpleCodec.Init - Hash failed.");
                }
                const std::int32_t target = Clamp(digestSize, range);
                if (digestSize > target) {
                    FBuffer->SetSize(target);
                } else {
                    // Repeat the digest until the seed is long enough.
                    FBuffer->SetSize(target);
                    std::uint8_t* seed = FBuffer->Memory();
                    for (std::int64_t i = digestSize; i < target; ++i) {
                        seed[i] = seed[i % digestSize];
                    }
                }
            }
        }
        FBuffer->SetPosition(0);
        FKey = cipher.GenerateKey(*FBuffer);
    } catch (...) {
        FPasswordHasher->Burn();
        WipeMemoryStream(*FBuffer);
        FreeKey();
        throw;
    }
    FPasswordHasher->Burn();
    WipeMemoryStream(*FBuffer);
    FMode = FisUserAborted ? cmUnitialized : cmIdle;
    FisSalting = false;
}

void TSimpleCodec::SaveKeyToStream(TStream& Store) {
    if (FKey) {
        FKey->SaveToStream(Store);
    }
}

void TSimpleCodec::InitFromStream(TStream& Store) {
    PrepareForKey();
    MakeParameterizedIfMissing();
    if (FParameterizedStreamCipher) {
        FKey = FParameterizedStreamCipher->LoadKeyFromStream(Store);
    }
    FMode = FKey ? cmIdle : cmUnitialized;
    FisSalting = false;
}

void TSimpleCodec::InitFromKey(std::unique_ptr<TSymetricKey> Key) {
    PrepareForKey();
    FKey = std::move(Key);
    FMode = FKey ? cmIdle : cmUnitialized;
    FisSalting = false;
}

void TSimpleCodec::Reset() {
    if (FMode == cmUnitialized) {
        throw Exception("TSimpleCodec.Init - Reset when not intialized.");
    }
    if (FEnc) {
        FEnc->Reset();
    }
    if (FDec) {
        FDec->Reset();
    }
    FMode = cmIdle;
    WipeMemoryStream(*FBuffer);
    FisSalting = false;
    FParameterizedStreamCipher.reset();
    FXtextCount = 0;
    FisUserAborted = false;
}

void TSimpleCodec::AbandonMessage() {
    const bool aborted = FisUserAborted;
    Reset();
    FisUserAborted = aborted;
}

void TSimpleCodec::Burn(bool doIncludeBurnKey) {
    if (FKey && !doIncludeBurnKey && FMode != cmUnitialized) {
        FMode = cmIdle;
        FEnc.reset();
        FDec.reset();
    } else {
        FMode = cmUnitialized;
        FreeKey();
    }
    FParameterizedStreamCipher.reset();
    FPasswordHasher->Burn();
    FXtextCount = 0;
    FisUserAborted = false;
    WipeMemoryStream(*FBuffer);
    DetachOutput();
    FisSalting = false;
}

void TSimpleCodec::DetachOutput() noexcept {
    if (FOutput != nullptr) {
        FEnc.reset();
        FDec.reset();
    }
    if (FOutput == FDesalination.get()) {
        FDesalination->SetFreshwaterStream(nullptr);
        FDesalination->SetSaltVolume(TDesalinationWriteStream::kDefaultSaltVolume);
    }
    FOutput = nullptr;
}

void TSimpleCodec::CheckAlgorithms(const char* message) const {
    bool ok = Usable(FStreamCipher.get());
    if (ok && FStreamCipher->Features().Contains(afBlockAdapter)) {
        ok = Usable(FBlockCipher.get()) && Usable(FChainMode.get());
    }
    if (!ok) {
        throw Exception(std::string_view(message));
    }
}

bool TSimpleCodec::NeedsSalt() const {
    const TAlgorithmicFeatureSet features = FParameterizedStreamCipher->Features();
    return !features.Contains(afCompressor) && !features.Contains(afConverter) &&
           !features.Contains(afDoesNotNeedSalt);
}

void TSimpleCodec::ReportProgress() {
    if (FisUserAborted) {
        return;
    }
    if (FCompOwner != nullptr) {
        FCompOwner->FCountBytes = FXtextCount;
    }
    if (FOnProgress && !FOnProgress(FSender, FXtextCount)) {
        FisUserAborted = true;
    }
}

void TSimpleCodec::FeedChunks(const std::uint8_t* data, std::int64_t count, bool encrypting) {
    try {
        while (count > 0 && !FisUserAborted) {
            const std::int64_t n = std::min(kChunkSize, count);
            FBuffer->SetSize(n);
            std::copy_n(data, n, FBuffer->Memory());
            FBuffer->SetPosition(0);
            if (encrypting) {
                FEnc->Encrypt(*FBuffer);
            } else {
                FDec->Decrypt(*FBuffer);
            }
            FXtextCount += n;
            data += n;
            count -= n;
            if (count > 0) {
                ReportProgress();
            }
        }
    } catch (...) {
        WipeMemoryStream(*FBuffer);
        throw;
    }
    WipeMemoryStream(*FBuffer);
}

void TSimpleCodec::Begin_DecryptMemory(TStream& Plaintext) {
    if (FMode != cmIdle) {
        throw Exception("TSimpleCodec.Begin_DecryptMemory - Wrong mode.");
    }
    CheckAlgorithms("TSimpleCodec.Begin_DecryptMemory - Algorithms not set.");
    if (!FParameterizedStreamCipher) {
        MakeParameterizedIfMissing();
        FDec.reset();
    }
    if (!FKey) {
        // A stream cipher that made no key from the seed cannot run a message.
        throw Exception("TSimpleCodec.Begin_DecryptMemory - Algorithms not set.");
    }
    TStream* output = &Plaintext;
    if (NeedsSalt()) {
        FDesalination->SetFreshwaterStream(&Plaintext);
        FDesalination->SetSaltVolume(kSaltBytes);
        output = FDesalination.get();
    }
    FEnc.reset();
    if (FDec && FOutput == output) {
        FDec->Reset();
    } else {
        FDec.reset();
        FDec = FParameterizedStreamCipher->Start_Decrypt(*FKey, *output);
    }
    FOutput = output;
    FMode = cmDecrypting;
    FXtextCount = 0;
    FisUserAborted = false;
}

void TSimpleCodec::DecryptMemory(const void* CipherText, std::int64_t CiphertextLen) {
    if (FisUserAborted) {
        return;
    }
    if (FMode != cmDecrypting || !FDec) {
        throw Exception("TSimpleCodec.DecryptMemory - Wrong mode.");
    }
    FeedChunks(static_cast<const std::uint8_t*>(CipherText), CiphertextLen, false);
}

void TSimpleCodec::End_DecryptMemory() {
    switch (FMode) {
    case cmUnitialized:
    case cmEncrypting:
        throw Exception("TSimpleCodec.End_DecryptMemory - Wrong mode.");
    case cmIdle:
        return;
    case cmDecrypting:
        break;
    }
    if (FisUserAborted || !FDec) {
        AbandonMessage();
        return;
    }
    FDec->End_Decrypt();
    ReportProgress();
    Reset();
}

void TSimpleCodec::Begin_EncryptMemory(TStream& CipherText) {
    if (FMode != cmIdle) {
        throw Exception("TSimpleCodec.Begin_EncryptMemory - Wrong mode.");
    }
    CheckAlgorithms("TSimpleCodec.Begin_EncryptMemory - Algorithms not set.");
    if (!FParameterizedStreamCipher) {
        MakeParameterizedIfMissing();
        FEnc.reset();
    }
    if (!FKey) {
        throw Exception("TSimpleCodec.Begin_EncryptMemory - Algorithms not set.");
    }
    FDec.reset();
    if (FEnc && FOutput == &CipherText) {
        FEnc->Reset();
    } else {
        FEnc.reset();
        FEnc = FParameterizedStreamCipher->Start_Encrypt(*FKey, CipherText);
    }
    FOutput = &CipherText;
    FisSalting = NeedsSalt();
    FMode = cmEncrypting;
    FXtextCount = 0;
    FisUserAborted = false;
}

void TSimpleCodec::EncryptMemory(const void* Plaintext, std::int64_t PlaintextLen) {
    if (FisUserAborted) {
        return;
    }
    if (FMode != cmEncrypting || !FEnc) {
        throw Exception("TSimpleCodec.EncryptMemory - Wrong mode.");
    }
    if (FisSalting && PlaintextLen > 0) {
        FisSalting = false;
        std::uint8_t salt[kSaltBytes];
        GetSystemRandomBytes(salt, sizeof(salt));
        FeedChunks(salt, kSaltBytes, true);
        SecureZero(salt, sizeof(salt));
    }
    FeedChunks(static_cast<const std::uint8_t*>(Plaintext), PlaintextLen, true);
}

void TSimpleCodec::End_EncryptMemory() {
    switch (FMode) {
    case cmUnitialized:
    case cmDecrypting:
        throw Exception("TSimpleCodec.End_EncryptMemory - Wrong mode.");
    case cmIdle:
        return;
    case cmEncrypting:
        break;
    }
    if (FisUserAborted || !FEnc) {
        AbandonMessage();
        return;
    }
    FEnc->End_Encrypt();
    ReportProgress();
    Reset();
}

void TSimpleCodec::DecryptString(UnicodeString& Plaintext, const UnicodeString& CipherText_Base64,
                                 const TEncoding& AEncoding) {
    TMemoryStream output;
    output.SetSensitive(true);
    Bytes text = AEncoding.GetBytes(CipherText_Base64);
    Bytes input;
    WipeOnExit wipeInput{input};
    if (dynamic_cast<IisBase64Converter*>(FStreamCipher.get()) != nullptr) {
        input = std::move(text);
    } else {
        Base64Decode(text.data(), text.size(), input);
    }
    // The output stream dies with this call; the worker writing to it must not outlive it.
    struct Detach {
        TSimpleCodec& codec;
        ~Detach() { codec.DetachOutput(); }
    } detach{*this};

    Begin_DecryptMemory(output);
    if (!input.empty()) {
        DecryptMemory(input.data(), static_cast<std::int64_t>(input.size()));
    }
    End_DecryptMemory();
    if (FisUserAborted) {
        Plaintext.clear();
        return;
    }
    if (output.Size() > 0) {
        Plaintext = AEncoding.GetString(output.Memory(), static_cast<std::size_t>(output.Size()));
    }
}

void TSimpleCodec::EncryptString(const UnicodeString& Plaintext, UnicodeString& CipherText_Base64,
                                 const TEncoding& AEncoding) {
    TMemoryStream output;
    Bytes plain = AEncoding.GetBytes(Plaintext);
    WipeOnExit wipePlain{plain};
    struct Detach {
        TSimpleCodec& codec;
        ~Detach() { codec.DetachOutput(); }
    } detach{*this};

    Begin_EncryptMemory(output);
    EncryptMemory(plain.data(), static_cast<std::int64_t>(plain.size()));
    End_EncryptMemory();
    if (FisUserAborted) {
        CipherText_Base64.clear();
        return;
    }
    const std::uint8_t* bytes = output.Memory();
    const auto size = static_cast<std::size_t>(output.Size());
    if (dynamic_cast<IisBase64Converter*>(FStreamCipher.get()) != nullptr) {
        CipherText_Base64 = AEncoding.GetString(bytes, size);
    } else {
        const std::string base64 = Base64Encode(bytes, size);
        CipherText_Base64 = AEncoding.GetString(
            reinterpret_cast<const std::uint8_t*>(base64.data()), base64.size());
    }
}

void TSimpleCodec::DecryptAnsiString(UnicodeString& Plaintext,
                                     const UnicodeString& CipherText_Base64) {
    DecryptString(Plaintext, CipherText_Base64, TEncoding::ANSI());
}

void TSimpleCodec::EncryptAnsiString(const UnicodeString& Plaintext,
                                     UnicodeString& CipherText_Base64) {
    EncryptString(Plaintext, CipherText_Base64, TEncoding::ANSI());
}

void TSimpleCodec::DecryptStream(TStream& Plaintext, TStream& CipherText) {
    Bytes input;
    WipeOnExit wipeInput{input};
    ReadWholeStream(CipherText, input);
    struct Detach {
        TSimpleCodec& codec;
        ~Detach() { codec.DetachOutput(); }
    } detach{*this};
    Begin_DecryptMemory(Plaintext);
    DecryptMemory(input.data(), static_cast<std::int64_t>(input.size()));
    End_DecryptMemory();
}

void TSimpleCodec::EncryptStream(TStream& Plaintext, TStream& CipherText) {
    Bytes input;
    WipeOnExit wipeInput{input};
    ReadWholeStream(Plaintext, input);
    struct Detach {
        TSimpleCodec& codec;
        ~Detach() { codec.DetachOutput(); }
    } detach{*this};
    Begin_EncryptMemory(CipherText);
    EncryptMemory(input.data(), static_cast<std::int64_t>(input.size()));
    End_EncryptMemory();
}

void TSimpleCodec::DecryptFile(const UnicodeString& Plaintext_FileName,
                               const UnicodeString& CipherText_FileName) {
    auto cipherText = TFileStream::OpenRead(CipherText_FileName);
    auto plainText = TFileStream::Create(Plaintext_FileName);
    DecryptStream(*plainText, *cipherText);
}

void TSimpleCodec::EncryptFile(const UnicodeString& Plaintext_FileName,
                               const UnicodeString& CipherText_FileName) {
    auto plainText = TFileStream::OpenRead(Plaintext_FileName);
    auto cipherText = TFileStream::Create(CipherText_FileName);
    EncryptStream(*plainText, *cipherText);
}

// ---------------------------------------------------------------------------------------------
// TCodec

TCodec::TCodec(TComponent* AOwner)
    : TComponent(AOwner), FCodecObj(std::make_unique<TSimpleCodec>(this)), FCodec(FCodecObj.get()),
      FEncoding(&TEncoding::ANSI()) {}

TCodec::~TCodec() {
    FCodecObj->Burn(true);
    SetCryptoLibrary(nullptr);
    FCodec = nullptr;
    FCodecObj.reset();
    SecureZero(FPassword);
    FPassword.clear();
}

void TCodec::SetIntfCached(bool Value) {
    if (FIntfCached == Value) {
        return;
    }
    FIntfCached = Value;
    FCodec->SetStreamCipher(nullptr);
    FCodec->SetBlockCipher(nullptr);
    FCodec->SetChainMode(nullptr);
    if (Value && FLib != nullptr) {
        FCodec->SetStreamCipher(FLib->StreamCipherIntfc(FStreamCipherId));
        FCodec->SetBlockCipher(FLib->BlockCipherIntfc(FBlockCipherId));
        FCodec->SetChainMode(FLib->BlockChainingModelIntfc(FChainId));
    }
    if (FCodec->StreamCipher() && !FPassword.empty() && !FCodec->isAsymetric()) {
        FCodec->Init(FPassword, *FEncoding);
    }
}

void TCodec::UnbindForLibrary() noexcept {
    try {
        if (FCodec->Mode() == cmEncrypting || FCodec->Mode() == cmDecrypting) {
            FCodec->Reset();
        }
        SetIntfCached(false);
    } catch (...) {
        // Unbinding to no algorithms cannot fail once no message runs; nothing is left to undo.
        FIntfCached = false;
    }
}

void TCodec::SetCryptoLibrary(TCryptographicLibrary* Value) {
    if (Value == FLib) {
        return;
    }
    if (FLib != nullptr) {
        FLib->DegisterWatcher(this);
        FLib->RemoveFreeNotification(this);
    }
    SetIntfCached(false);
    FLib = Value;
    if (FLib != nullptr) {
        FLib->RegisterWatcher(this);
        FLib->FreeNotification(this);
    }
}

void TCodec::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == TOperation::opRemove && AComponent != nullptr && AComponent == FLib) {
        // The library is going away: forget it without calling back into it.
        UnbindForLibrary();
        FLib = nullptr;
    }
}

void TCodec::ProgIdsChanged() {
    UnbindForLibrary();
}

void TCodec::SetId(UnicodeString& Field, std::u16string_view Value) {
    if (Field == Value) {
        return;
    }
    SetIntfCached(false);
    Field = Value;
}

void TCodec::SetStreamCipherId(std::u16string_view Value) {
    SetId(FStreamCipherId, Value);
}

void TCodec::SetBlockCipherId(std::u16string_view Value) {
    SetId(FBlockCipherId, Value);
}

void TCodec::SetChainModeId(std::u16string_view Value) {
    SetId(FChainId, Value);
}

void TCodec::SetPassword(std::u16string_view Value) {
    SecureZero(FPassword);
    FPassword = Value;
    if (!FIntfCached) {
        SetIntfCached(true);
    } else if (!FPassword.empty() && FCodec->StreamCipher() && !FCodec->isAsymetric()) {
        FCodec->Init(FPassword, *FEncoding);
    }
}

void TCodec::StartTiming(std::int64_t WorkLoad) {
    FCountBytes = 0;
    FStartTime = Now();
    FWorkLoad = WorkLoad;
}

void TCodec::StopTiming() {
    FDuration = Now() - FStartTime;
}

void TCodec::DecryptString(UnicodeString& Plaintext, const UnicodeString& CipherText_Base64,
                           const TEncoding& AEncoding) {
    SetIntfCached(true);
    StartTiming(static_cast<std::int64_t>(CipherText_Base64.size()));
    FCodec->DecryptString(Plaintext, CipherText_Base64, AEncoding);
    StopTiming();
}

void TCodec::EncryptString(const UnicodeString& Plaintext, UnicodeString& CipherText_Base64,
                           const TEncoding& AEncoding) {
    SetIntfCached(true);
    StartTiming(static_cast<std::int64_t>(Plaintext.size()));
    FCodec->EncryptString(Plaintext, CipherText_Base64, AEncoding);
    StopTiming();
}

void TCodec::DecryptAnsiString(UnicodeString& Plaintext, const UnicodeString& CipherText_Base64) {
    DecryptString(Plaintext, CipherText_Base64, TEncoding::ANSI());
}

void TCodec::EncryptAnsiString(const UnicodeString& Plaintext, UnicodeString& CipherText_Base64) {
    EncryptString(Plaintext, CipherText_Base64, TEncoding::ANSI());
}

void TCodec::DecryptStream(TStream& Plaintext, TStream& CipherText) {
    SetIntfCached(true);
    StartTiming(CipherText.Size());
    FCodec->DecryptStream(Plaintext, CipherText);
    StopTiming();
}

void TCodec::EncryptStream(TStream& Plaintext, TStream& CipherText) {
    SetIntfCached(true);
    StartTiming(Plaintext.Size());
    FCodec->EncryptStream(Plaintext, CipherText);
    StopTiming();
}

void TCodec::DecryptFile(const UnicodeString& Plaintext_FileName,
                         const UnicodeString& CipherText_FileName) {
    SetIntfCached(true);
    StartTiming(0);
    FCodec->DecryptFile(Plaintext_FileName, CipherText_FileName);
    StopTiming();
}

void TCodec::EncryptFile(const UnicodeString& Plaintext_FileName,
                         const UnicodeString& CipherText_FileName) {
    SetIntfCached(true);
    StartTiming(0);
    FCodec->EncryptFile(Plaintext_FileName, CipherText_FileName);
    StopTiming();
}

void TCodec::Begin_EncryptMemory(TStream& CipherText) {
    SetIntfCached(true);
    StartTiming(0);
    FCodec->Begin_EncryptMemory(CipherText);
}

void TCodec::EncryptMemory(const void* Plaintext, std::int64_t PlaintextLen) {
    SetIntfCached(true);
    FCodec->EncryptMemory(Plaintext, PlaintextLen);
}

void TCodec::End_EncryptMemory() {
    SetIntfCached(true);
    FCodec->End_EncryptMemory();
    StopTiming();
}

void TCodec::Begin_DecryptMemory(TStream& Plaintext) {
    SetIntfCached(true);
    StartTiming(0);
    FCodec->Begin_DecryptMemory(Plaintext);
}

void TCodec::DecryptMemory(const void* CipherText, std::int64_t CiphertextLen) {
    SetIntfCached(true);
    FCodec->DecryptMemory(CipherText, CiphertextLen);
}

void TCodec::End_DecryptMemory() {
    SetIntfCached(true);
    FCodec->End_DecryptMemory();
    StopTiming();
}

void TCodec::Burn() {
    FCodec->Burn(false);
    SetIntfCached(false);
    FCountBytes = 0;
    FWorkLoad = 0;
    FDuration = 0;
    FStartTime = 0;
}

void TCodec::Reset() {
    if (FCodec->Mode() != cmUnitialized) {
        FCodec->Reset();
    }
    FCountBytes = 0;
    FWorkLoad = 0;
}

} // namespace velora
