#include "codec/codec.hpp"

#include "codec/base64.hpp"
#include "codec/random.hpp"
#include "codec/scope_exit.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"

#include <algorithm>
#include <chrono>
#include <optional>
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

// Reads the whole stream from position 0. Out may hold plaintext: it is sized for the stream up
// front, and any further growth wipes the block it leaves behind.
void ReadWholeStream(TStream& source, Bytes& out) {
    source.SetPosition(0);
    const std::int64_t size = source.Size();
    if (size > 0) {
        out.reserve(static_cast<std::size_t>(size));
    }
    std::uint8_t chunk[4096];
    ScopeExit wipeChunk([&chunk] { SecureZero(chunk, sizeof(chunk)); });
    for (;;) {
        const std::int64_t n = source.Read(chunk, sizeof(chunk));
        if (n <= 0) {
            break;
        }
        SecureAppend(out, chunk, static_cast<std::size_t>(n));
    }
}

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

std::optional<IntegerRange> TSimpleCodec::SeedRange() {
    MakeParameterizedIfMissing();
    if (!FParameterizedStreamCipher) {
        return std::nullopt;
    }
    IStreamCipher& cipher = *FParameterizedStreamCipher;
    const std::int32_t seedSize = cipher.SeedByteSize();
    if (seedSize == -1) {
        return std::nullopt;
    }
    std::shared_ptr<IInterface> control;
    if (auto* c = dynamic_cast<IControlObject*>(&cipher)) {
        control = c->ControlObject();
    }
    return DeclaredSeedByteSizeRange(control ? control.get() : static_cast<IInterface*>(&cipher),
                                     seedSize);
}

bool TSimpleCodec::HashesPassword(std::size_t Length) {
    const std::optional<IntegerRange> range = SeedRange();
    const auto bytes = 2 * static_cast<std::int64_t>(Length);
    return range && Clamp(bytes, *range) != bytes;
}

void TSimpleCodec::Init(std::u16string_view Key, const TEncoding& AEncoding) {
    if (Key.empty()) {
        throw Exception("TSimpleCodec.Init - No password.");
    }
    PrepareForKey();
    // The seed and the hash state go however the derivation ends.
    ScopeExit wipeSeed([this] {
        FPasswordHasher->Burn();
        WipeMemoryStream(*FBuffer);
    });
    if (isAsymetric()) {
        throw Exception("TSimpleCodec.Init - Asymetric codecs are not initialized by string.");
    }
    if (!FParameterizedStreamCipher) {
        throw Exception("TSimpleCodec.Init - No stream cipher.");
    }
    IStreamCipher& cipher = *FParameterizedStreamCipher;
    const std::int64_t passwordBytes = 2 * static_cast<std::int64_t>(Key.size());
    FBuffer->SetSize(0);
    if (const std::optional<IntegerRange> seedRange = SeedRange()) {
        const IntegerRange range = *seedRange;
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

// The names and modes that tell the two directions of a message apart; everything else about a
// message is one driver.
struct TSimpleCodec::TDirection {
    TCodecMode Mode;
    TCodecMode OtherMode;
    const char* BeginWrongMode;
    const char* BeginNotSet;
    const char* FeedWrongMode;
    const char* EndWrongMode;
};

const TSimpleCodec::TDirection TSimpleCodec::kEncrypting{
    cmEncrypting,
    cmDecrypting,
    "TSimpleCodec.Begin_EncryptMemory - Wrong mode.",
    "TSimpleCodec.Begin_EncryptMemory - Algorithms not set.",
    "TSimpleCodec.EncryptMemory - Wrong mode.",
    "TSimpleCodec.End_EncryptMemory - Wrong mode.",
};

const TSimpleCodec::TDirection TSimpleCodec::kDecrypting{
    cmDecrypting,
    cmEncrypting,
    "TSimpleCodec.Begin_DecryptMemory - Wrong mode.",
    "TSimpleCodec.Begin_DecryptMemory - Algorithms not set.",
    "TSimpleCodec.DecryptMemory - Wrong mode.",
    "TSimpleCodec.End_DecryptMemory - Wrong mode.",
};

bool TSimpleCodec::HasWorker(const TDirection& d) const noexcept {
    return &d == &kEncrypting ? FEnc != nullptr : FDec != nullptr;
}

void TSimpleCodec::DropWorker(const TDirection& d) noexcept {
    if (&d == &kEncrypting) {
        FEnc.reset();
    } else {
        FDec.reset();
    }
}

void TSimpleCodec::FeedChunks(const TDirection& d, const std::uint8_t* data, std::int64_t count) {
    ScopeExit wipe([this] { WipeMemoryStream(*FBuffer); });
    while (count > 0 && !FisUserAborted) {
        const std::int64_t n = std::min(kChunkSize, count);
        FBuffer->SetSize(n);
        std::copy_n(data, n, FBuffer->Memory());
        FBuffer->SetPosition(0);
        if (&d == &kEncrypting) {
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
}

void TSimpleCodec::BeginMessage(const TDirection& d, TStream& Target) {
    if (FMode != cmIdle) {
        throw Exception(std::string_view(d.BeginWrongMode));
    }
    CheckAlgorithms(d.BeginNotSet);
    if (!FParameterizedStreamCipher) {
        MakeParameterizedIfMissing();
        DropWorker(d);
    }
    if (!FKey) {
        // A stream cipher that made no key from the seed cannot run a message.
        throw Exception(std::string_view(d.BeginNotSet));
    }
    const bool encrypting = &d == &kEncrypting;
    const bool salted = NeedsSalt();
    // Decryption drops the salt on its way out; encryption adds it with the first piece.
    TStream* output = !encrypting && salted ? FDesalination.get() : &Target;
    DropWorker(encrypting ? kDecrypting : kEncrypting);
    if (HasWorker(d) && FOutput == output) {
        if (encrypting) {
            FEnc->Reset();
        } else {
            FDec->Reset();
        }
    } else {
        DropWorker(d);
        if (encrypting) {
            FEnc = FParameterizedStreamCipher->Start_Encrypt(*FKey, *output);
        } else {
            FDec = FParameterizedStreamCipher->Start_Decrypt(*FKey, *output);
        }
    }
    if (output == FDesalination.get()) {
        FDesalination->SetFreshwaterStream(&Target);
        FDesalination->SetSaltVolume(kSaltBytes);
    }
    FOutput = output;
    FisSalting = encrypting && salted;
    FMode = d.Mode;
    FXtextCount = 0;
    FisUserAborted = false;
}

void TSimpleCodec::FeedMessage(const TDirection& d, const void* Data, std::int64_t Count) {
    if (FisUserAborted) {
        return;
    }
    if (FMode != d.Mode || !HasWorker(d)) {
        throw Exception(std::string_view(d.FeedWrongMode));
    }
    if (FisSalting && Count > 0) {
        FisSalting = false;
        std::uint8_t salt[kSaltBytes];
        ScopeExit wipeSalt([&salt] { SecureZero(salt, sizeof(salt)); });
        GetSystemRandomBytes(salt, sizeof(salt));
        FeedChunks(d, salt, kSaltBytes);
    }
    FeedChunks(d, static_cast<const std::uint8_t*>(Data), Count);
}

void TSimpleCodec::EndMessage(const TDirection& d) {
    if (FMode == cmUnitialized || FMode == d.OtherMode) {
        throw Exception(std::string_view(d.EndWrongMode));
    }
    if (FMode == cmIdle) {
        return;
    }
    if (FisUserAborted) {
        AbandonMessage();
        return;
    }
    if (!HasWorker(d)) {
        // Whatever took the worker away, the message is not complete: never report it so.
        throw Exception(std::string_view(d.EndWrongMode));
    }
    if (&d == &kEncrypting) {
        FEnc->End_Encrypt();
    } else {
        FDec->End_Decrypt();
    }
    ReportProgress();
    Reset();
}

void TSimpleCodec::RunMessage(const TDirection& d, TStream& Target, const std::uint8_t* Data,
                              std::int64_t Count) {
    BeginMessage(d, Target);
    // Target dies with the caller's call: the worker this call attached to it must not outlive
    // it. A message the caller had open when Begin refused is the caller's and stays.
    ScopeExit detach([this] { DetachOutput(); });
    FeedMessage(d, Data, Count);
    EndMessage(d);
}

void TSimpleCodec::Begin_DecryptMemory(TStream& Plaintext) {
    BeginMessage(kDecrypting, Plaintext);
}

void TSimpleCodec::DecryptMemory(const void* CipherText, std::int64_t CiphertextLen) {
    FeedMessage(kDecrypting, CipherText, CiphertextLen);
}

void TSimpleCodec::End_DecryptMemory() {
    EndMessage(kDecrypting);
}

void TSimpleCodec::Begin_EncryptMemory(TStream& CipherText) {
    BeginMessage(kEncrypting, CipherText);
}

void TSimpleCodec::EncryptMemory(const void* Plaintext, std::int64_t PlaintextLen) {
    FeedMessage(kEncrypting, Plaintext, PlaintextLen);
}

void TSimpleCodec::End_EncryptMemory() {
    EndMessage(kEncrypting);
}

void TSimpleCodec::DecryptString(UnicodeString& Plaintext, const UnicodeString& CipherText_Base64,
                                 const TEncoding& AEncoding) {
    TMemoryStream output;
    output.SetSensitive(true);
    // Malformed Base64 never fails, not even a lone surrogate in the text: strict UTF-8 would
    // refuse to turn that into bytes, so the text goes through the replacing form.
    const TEncoding& textEncoding =
        &AEncoding == &TEncoding::UTF8() ? TEncoding::UTF8Replacing() : AEncoding;
    Bytes text = textEncoding.GetBytes(CipherText_Base64);
    Bytes input;
    ScopeExit wipeInput([&input] { SecureZero(input); });
    if (dynamic_cast<IisBase64Converter*>(FStreamCipher.get()) != nullptr) {
        input = std::move(text);
    } else {
        Base64Decode(text.data(), text.size(), input);
    }
    RunMessage(kDecrypting, output, input.data(), static_cast<std::int64_t>(input.size()));
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
    ScopeExit wipePlain([&plain] { SecureZero(plain); });
    RunMessage(kEncrypting, output, plain.data(), static_cast<std::int64_t>(plain.size()));
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
    ScopeExit wipeInput([&input] { SecureZero(input); });
    ReadWholeStream(CipherText, input);
    RunMessage(kDecrypting, Plaintext, input.data(), static_cast<std::int64_t>(input.size()));
}

void TSimpleCodec::EncryptStream(TStream& Plaintext, TStream& CipherText) {
    Bytes input;
    ScopeExit wipeInput([&input] { SecureZero(input); });
    ReadWholeStream(Plaintext, input);
    RunMessage(kEncrypting, CipherText, input.data(), static_cast<std::int64_t>(input.size()));
}

namespace {
// The output goes to a new file that takes the destination's place only when the call
// succeeded; a destination that is the source fails before anything is written.
std::unique_ptr<TFileStream> OpenSource(const UnicodeString& source, const UnicodeString& dest) {
    auto stream = TFileStream::OpenRead(source);
    if (stream->IsFile(dest)) {
        throw EFCreateError(Format(u"Cannot create file \"%s\". %s",
                                   {dest, UnicodeString(u"It is the file being read")}));
    }
    return stream;
}
} // namespace

void TSimpleCodec::DecryptFile(const UnicodeString& Plaintext_FileName,
                               const UnicodeString& CipherText_FileName) {
    auto cipherText = OpenSource(CipherText_FileName, Plaintext_FileName);
    TFileReplacement plainText(Plaintext_FileName);
    DecryptStream(plainText.Stream(), *cipherText);
    if (!FisUserAborted) {
        plainText.Commit();
    }
}

void TSimpleCodec::EncryptFile(const UnicodeString& Plaintext_FileName,
                               const UnicodeString& CipherText_FileName) {
    auto plainText = OpenSource(Plaintext_FileName, CipherText_FileName);
    TFileReplacement cipherText(CipherText_FileName);
    EncryptStream(*plainText, cipherText.Stream());
    if (!FisUserAborted) {
        cipherText.Commit();
    }
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

bool TCodec::MessageOpen() const {
    return FCodec->Mode() == cmEncrypting || FCodec->Mode() == cmDecrypting;
}

void TCodec::SetIntfCached(bool Value) {
    if (FIntfCached == Value) {
        return;
    }
    const bool before = FIntfCached;
    FIntfCached = Value;
    try {
        FCodec->SetStreamCipher(nullptr);
        FCodec->SetBlockCipher(nullptr);
        FCodec->SetChainMode(nullptr);
    } catch (...) {
        // Refused while a message is open: the engine keeps its algorithms, so the codec stays
        // bound to them.
        FIntfCached = before;
        throw;
    }
    if (Value && FLib != nullptr) {
        FCodec->SetStreamCipher(FLib->StreamCipherIntfc(FStreamCipherId));
        FCodec->SetBlockCipher(FLib->BlockCipherIntfc(FBlockCipherId));
        FCodec->SetChainMode(FLib->BlockChainingModelIntfc(FChainId));
    }
    if (FCodec->StreamCipher() && !FPassword.empty() && !FCodec->isAsymetric()) {
        FCodec->Init(FPassword, *FEncoding);
    }
}

void TCodec::Bind() {
    SettlePendingUnbind();
    SetIntfCached(true);
}

void TCodec::UnbindForLibrary() noexcept {
    if (MessageOpen()) {
        // The open message finishes with the algorithms it started with, which it holds; the
        // unbinding waits until it is over.
        FUnbindPending = true;
        return;
    }
    FUnbindPending = false;
    try {
        SetIntfCached(false);
    } catch (...) {
        // Unbinding cannot be refused once no message runs; nothing is left to undo.
        FIntfCached = false;
    }
}

void TCodec::SettlePendingUnbind() noexcept {
    if (FUnbindPending) {
        UnbindForLibrary();
    }
}

template <class Call> void TCodec::Forward(Call&& call) {
    Bind();
    // A change notice that arrived during the call takes effect once its message is over.
    ScopeExit settle([this] { SettlePendingUnbind(); });
    call();
}

void TCodec::SetCryptoLibrary(TCryptographicLibrary* Value) {
    if (Value == FLib) {
        return;
    }
    // Unbinding first: when an open message refuses it, the codec still watches its library and
    // nothing has changed.
    SetIntfCached(false);
    FUnbindPending = false;
    if (FLib != nullptr) {
        FLib->DegisterWatcher(this);
        FLib->RemoveFreeNotification(this);
    }
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
    FUnbindPending = false;
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
    SettlePendingUnbind();
    // Init ends an open message, after which a held-back notice applies.
    ScopeExit settle([this] { SettlePendingUnbind(); });
    if (!FIntfCached) {
        SetIntfCached(true);
    } else if (!FPassword.empty() && FCodec->StreamCipher() && !FCodec->isAsymetric()) {
        FCodec->Init(FPassword, *FEncoding);
    }
}

bool TCodec::PasswordIsHashed() {
    Bind();
    return FCodecObj->HashesPassword(FPassword.size());
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
    Forward([&] {
        StartTiming(static_cast<std::int64_t>(CipherText_Base64.size()));
        FCodec->DecryptString(Plaintext, CipherText_Base64, AEncoding);
        StopTiming();
    });
}

void TCodec::EncryptString(const UnicodeString& Plaintext, UnicodeString& CipherText_Base64,
                           const TEncoding& AEncoding) {
    Forward([&] {
        StartTiming(static_cast<std::int64_t>(Plaintext.size()));
        FCodec->EncryptString(Plaintext, CipherText_Base64, AEncoding);
        StopTiming();
    });
}

void TCodec::DecryptAnsiString(UnicodeString& Plaintext, const UnicodeString& CipherText_Base64) {
    DecryptString(Plaintext, CipherText_Base64, TEncoding::ANSI());
}

void TCodec::EncryptAnsiString(const UnicodeString& Plaintext, UnicodeString& CipherText_Base64) {
    EncryptString(Plaintext, CipherText_Base64, TEncoding::ANSI());
}

void TCodec::DecryptStream(TStream& Plaintext, TStream& CipherText) {
    Forward([&] {
        StartTiming(CipherText.Size());
        FCodec->DecryptStream(Plaintext, CipherText);
        StopTiming();
    });
}

void TCodec::EncryptStream(TStream& Plaintext, TStream& CipherText) {
    Forward([&] {
        StartTiming(Plaintext.Size());
        FCodec->EncryptStream(Plaintext, CipherText);
        StopTiming();
    });
}

void TCodec::DecryptFile(const UnicodeString& Plaintext_FileName,
                         const UnicodeString& CipherText_FileName) {
    Forward([&] {
        StartTiming(0);
        FCodec->DecryptFile(Plaintext_FileName, CipherText_FileName);
        StopTiming();
    });
}

void TCodec::EncryptFile(const UnicodeString& Plaintext_FileName,
                         const UnicodeString& CipherText_FileName) {
    Forward([&] {
        StartTiming(0);
        FCodec->EncryptFile(Plaintext_FileName, CipherText_FileName);
        StopTiming();
    });
}

void TCodec::Begin_EncryptMemory(TStream& CipherText) {
    Forward([&] {
        StartTiming(0);
        FCodec->Begin_EncryptMemory(CipherText);
    });
}

void TCodec::EncryptMemory(const void* Plaintext, std::int64_t PlaintextLen) {
    Forward([&] { FCodec->EncryptMemory(Plaintext, PlaintextLen); });
}

void TCodec::End_EncryptMemory() {
    Forward([&] {
        FCodec->End_EncryptMemory();
        StopTiming();
    });
}

void TCodec::Begin_DecryptMemory(TStream& Plaintext) {
    Forward([&] {
        StartTiming(0);
        FCodec->Begin_DecryptMemory(Plaintext);
    });
}

void TCodec::DecryptMemory(const void* CipherText, std::int64_t CiphertextLen) {
    Forward([&] { FCodec->DecryptMemory(CipherText, CiphertextLen); });
}

void TCodec::End_DecryptMemory() {
    Forward([&] {
        FCodec->End_DecryptMemory();
        StopTiming();
    });
}

void TCodec::Burn() {
    FCodec->Burn(false);
    SetIntfCached(false);
    FUnbindPending = false;
    FCountBytes = 0;
    FWorkLoad = 0;
    FDuration = 0;
    FStartTime = 0;
}

void TCodec::Reset() {
    if (FCodec->Mode() != cmUnitialized) {
        FCodec->Reset();
    }
    SettlePendingUnbind();
    FCountBytes = 0;
    FWorkLoad = 0;
}

} // namespace velora
