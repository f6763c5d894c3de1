#include "codec/stream_to_block.hpp"

#include "codec/random.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"

#include <algorithm>
#include <cstring>

namespace velora {

namespace {

constexpr std::int32_t kNonceLen = 8;

bool HasAll(TChainFeatureSet set, TChainFeatureSet wanted) {
    return set.ContainsAll(wanted);
}

} // namespace

// ---- TStreamToBlock_Adapter

UnicodeString TStreamToBlock_Adapter::DisplayName() const {
    return FBlockCipher ? FBlockCipher->DisplayName() : UnicodeString(u"Block mode");
}

std::unique_ptr<TSymetricKey> TStreamToBlock_Adapter::GenerateKey(TStream& Seed) const {
    return FBlockCipher ? FBlockCipher->GenerateKey(Seed) : nullptr;
}

std::unique_ptr<TSymetricKey> TStreamToBlock_Adapter::LoadKeyFromStream(TStream& Store) const {
    return FBlockCipher ? FBlockCipher->LoadKeyFromStream(Store) : nullptr;
}

std::int32_t TStreamToBlock_Adapter::SeedByteSize() const {
    return FBlockCipher ? FBlockCipher->SeedByteSize() : -1;
}

std::shared_ptr<IStreamCipher> TStreamToBlock_Adapter::MakeParameterized(IInterface* Params) const {
    if (FBlockCipher && FChaining) {
        return nullptr;
    }
    std::shared_ptr<IBlockCipher> blockCipher;
    std::shared_ptr<IBlockChainingModel> chaining;
    TSetMemStreamProc onSetIV;
    if (auto* selector = dynamic_cast<IBlockCipherSelector*>(Params)) {
        blockCipher = selector->GetBlockCipher();
        chaining = selector->GetChainMode();
        if (auto* selector2 = dynamic_cast<IBlockCipherSelectorEx2*>(Params)) {
            TSetMemStreamProc hook;
            if (selector2->GetOnSetIV(hook)) {
                onSetIV = std::move(hook);
            }
        }
    }
    if (!blockCipher && !chaining) {
        return nullptr;
    }
    auto result = std::make_shared<TStreamToBlock_Adapter>();
    result->FBlockCipher = std::move(blockCipher);
    result->FChaining = std::move(chaining);
    result->FOnSetIV = std::move(onSetIV);
    return result;
}

void TStreamToBlock_Adapter::CheckBound(const char* operation) const {
    if (!FBlockCipher || !FChaining) {
        throw Exception(
            Format(u"TStreamToBlock_Adapter.%s - block cipher or chaining mode not set.",
                   {U16(operation)}));
    }
    const std::int32_t bits = FBlockCipher->BlockSize();
    if (bits < 8 * kNonceLen || bits % 8 != 0) {
        // Blocks shorter than the nonce would need salt handling, which no cipher here needs.
        throw Exception(Format(u"TStreamToBlock_Adapter.%s - block size %d is not supported.",
                               {U16(operation), std::int64_t{bits}}));
    }
}

std::shared_ptr<IStreamEncryptor> TStreamToBlock_Adapter::Start_Encrypt(TSymetricKey& Key,
                                                                        TStream& CipherText) const {
    CheckBound("Start_Encrypt");
    if (FChaining->ChainFeatures().Contains(chfNoNonce)) {
        auto w = std::make_shared<TNoNonceEncryptor>();
        w->Start_Encrypt(Key, CipherText, FBlockCipher, FChaining);
        return w;
    }
    auto w = std::make_shared<TNoncibleEncryptor>();
    w->Start_Encrypt(Key, CipherText, FBlockCipher, FChaining, FOnSetIV);
    return w;
}

std::shared_ptr<IStreamDecryptor> TStreamToBlock_Adapter::Start_Decrypt(TSymetricKey& Key,
                                                                        TStream& PlainText) const {
    CheckBound("Start_Decrypt");
    if (FChaining->ChainFeatures().Contains(chfNoNonce)) {
        auto w = std::make_shared<TNoNonceDecryptor>();
        w->Start_Decrypt(Key, PlainText, FBlockCipher, FChaining);
        return w;
    }
    auto w = std::make_shared<TNoncibleDecryptor>();
    w->Start_Decrypt(Key, PlainText, FBlockCipher, FChaining);
    return w;
}

std::shared_ptr<IStreamEncryptor>
TStreamToBlock_Adapter::Start_Encrypt_WithIV(TSymetricKey&, TStream&, TStream&) const {
    throw Exception(
        Format(u"Cipher %s does not support OpenSSL Compatibility mode.",
               {FBlockCipher ? FBlockCipher->DisplayName() : UnicodeString(u"(no block cipher)")}));
}

std::shared_ptr<IStreamDecryptor>
TStreamToBlock_Adapter::Start_Decrypt_WithIV(TSymetricKey&, TStream&, TStream&) const {
    throw Exception(
        Format(u"Cipher %s does not support OpenSSL Compatibility mode.",
               {FBlockCipher ? FBlockCipher->DisplayName() : UnicodeString(u"(no block cipher)")}));
}

std::shared_ptr<IInterface> TStreamToBlock_Adapter::ControlObject() {
    if (auto control = std::dynamic_pointer_cast<IControlObject>(FBlockCipher)) {
        if (auto object = control->ControlObject()) {
            return object;
        }
    }
    return shared_from_this();
}

// ---- TEncryptorDecryptor

std::unique_ptr<TMemoryStream> TEncryptorDecryptor::NewBuffer(std::int64_t size) {
    auto s = std::make_unique<TMemoryStream>();
    s->SetSensitive(true);
    s->SetSize(size);
    return s;
}

void TEncryptorDecryptor::Start_EncDec(TSymetricKey& Key1, TStream& EmissionStream1,
                                       std::shared_ptr<IBlockCipher> BlockCipher1,
                                       std::shared_ptr<IBlockChainingModel> Chaining1,
                                       bool isEncrypting1) {
    FEmissionStream = &EmissionStream1;
    FBlockCipher = std::move(BlockCipher1);
    FChaining = std::move(Chaining1);
    FBlockLen = FBlockCipher->BlockSize() / 8;
    FCodec = FBlockCipher->MakeBlockCodec(Key1);
    FEmitBuffer = NewBuffer(FBlockLen);
    FBuffer = NewBuffer(FBlockLen);
    FLenBuffer = 0;
    FIV = NewBuffer(0);
    FChainState.reset();
    FDataCount = 0;
    RestoreModeFlags();
    FisEncrypting = isEncrypting1;
}

void TEncryptorDecryptor::RestoreModeFlags() {
    const TChainFeatureSet f = FChaining->ChainFeatures();
    FisAutoXOR = HasAll(f, {chfKeyStream, chfAutoXOR});
    Fis8bitMode = HasAll(f, {chfByteWise, chfKeyStream}) && !f.Contains(chfNoNonce);
}

TEncryptorDecryptor::~TEncryptorDecryptor() {
    for (auto* s : {FEmitBuffer.get(), FBuffer.get(), FIV.get()}) {
        if (s != nullptr) {
            WipeStream(*s);
        }
    }
    if (FCodec) {
        FCodec->Burn();
    }
    BurnChainState();
}

void TEncryptorDecryptor::BurnChainState() noexcept {
    if (FChainState) {
        FChainState->Burn();
        FChainState.reset();
    }
}

void TEncryptorDecryptor::Reset() {
    if (FEmitBuffer) {
        ZeroStream(*FEmitBuffer);
    }
    if (FBuffer) {
        ZeroStream(*FBuffer);
    }
    if (FCodec) {
        FCodec->Reset();
    }
    FLenBuffer = 0;
    FDataCount = 0;
}

void TEncryptorDecryptor::EmitBlock(TMemoryStream& S, std::int32_t n) {
    std::uint8_t* emit = FEmitBuffer->Memory();
    const std::uint8_t* src = S.Memory();
    if (Fis8bitMode) {
        for (std::int32_t i = 0; i < n; ++i) {
            if (FisEncrypting) {
                FChainState->Encrypt_8bit(src[i], emit[i]);
            } else {
                FChainState->Decrypt_8bit(emit[i], src[i]);
            }
        }
    } else if (FisEncrypting) {
        FChainState->Encrypt_Block(S, *FEmitBuffer);
    } else {
        FChainState->Decrypt_Block(*FEmitBuffer, S);
    }
    if (FisAutoXOR) {
        XorStream(S, *FEmitBuffer);
    }
    FEmissionStream->WriteBuffer(FEmitBuffer->Memory(), n);
}

void TEncryptorDecryptor::FlushPartial() {
    if (FLenBuffer != 0) {
        const std::int32_t n = FLenBuffer;
        FLenBuffer = 0;
        EmitBlock(*FBuffer, n);
    }
}

// ---- TNoncibleWorker

TNoncibleWorker::~TNoncibleWorker() {
    if (F2ndBuffer) {
        WipeStream(*F2ndBuffer);
    }
}

void TNoncibleWorker::StartNoncible(TSymetricKey& Key1) {
    FKey = &Key1;
    FLenBuffer = 0;
    F2ndBuffer = NewBuffer(FBlockLen);
    Fis2ndBufferFull = false;
    FIVSeedLen = std::min(FBlockLen, kNonceLen);
    FSaltLen = kNonceLen - FIVSeedLen;
    FisShortMessage = true;
}

std::unique_ptr<TBlockChainLink> TNoncibleWorker::MakeLink(const IBlockChainingModel& Model) {
    return FisEncrypting ? Model.MakeEncryptLink(*FKey, *FIV, FCodec)
                         : Model.MakeDecryptLink(*FKey, *FIV, FCodec);
}

void TNoncibleWorker::AbsorbBody(TStream& Input, std::int64_t& R) {
    // Every whole block goes out only once the next one is complete, so the last whole block
    // and any partial block after it are still at hand when the message ends.
    while (R > 0 || FLenBuffer == FBlockLen) {
        const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(FBlockLen - FLenBuffer, R));
        if (n > 0) {
            Input.ReadBuffer(FBuffer->Memory() + FLenBuffer, n);
        }
        FLenBuffer += n;
        FDataCount += n;
        R -= n;
        if (FLenBuffer >= FBlockLen) {
            FisShortMessage = false;
        }
        if (FLenBuffer == FBlockLen && !Fis2ndBufferFull) {
            std::swap(FBuffer, F2ndBuffer);
            Fis2ndBufferFull = true;
            FLenBuffer = 0;
        }
        if (FLenBuffer == FBlockLen && Fis2ndBufferFull) {
            if (!FChainState) {
                FChainState = MakeLink(*FChaining);
            }
            EmitBlock(*F2ndBuffer, FBlockLen);
            Fis2ndBufferFull = false;
        }
    }
}

void TNoncibleWorker::Finish() {
    if (FDataCount == 0) {
        return;
    }
    std::shared_ptr<IBlockChainingModel> model = FChaining;
    if (FisShortMessage && !FChaining->ChainFeatures().Contains(chfKeyStream)) {
        model = std::make_shared<TCFB_8Bit>();
        Fis8bitMode = HasAll(model->ChainFeatures(), {chfByteWise, chfKeyStream});
    }
    const TChainFeatureSet features = model->ChainFeatures();
    FisAutoXOR = HasAll(features, {chfKeyStream, chfAutoXOR});
    if (!FChainState) {
        FChainState = MakeLink(*model);
    }
    if (FLenBuffer == 0) {
        if (!Fis2ndBufferFull) {
            throw Exception(std::string_view("TStreamToBlock_Adapter - no block held back."));
        }
        EmitBlock(*F2ndBuffer, FBlockLen);
        Fis2ndBufferFull = false;
    } else if (features.Contains(chfKeyStream)) {
        if (Fis2ndBufferFull) {
            EmitBlock(*F2ndBuffer, FBlockLen);
            Fis2ndBufferFull = false;
        }
        FlushPartial();
    } else {
        if (!Fis2ndBufferFull) {
            throw Exception(std::string_view("TStreamToBlock_Adapter - no block held back."));
        }
        // Ciphertext stealing: both final block operations are chained on the value before
        // the last whole block, the second through a clone of the link.
        const std::int32_t r = FLenBuffer;
        std::unique_ptr<TBlockChainLink> clone = FChainState->Clone();
        ScopeExit burnClone([&clone] {
            if (clone) {
                clone->Burn();
            }
        });
        std::uint8_t* emit = FEmitBuffer->Memory();
        if (FisEncrypting) {
            FChainState->Encrypt_Block(*F2ndBuffer, *FEmitBuffer);
            std::memcpy(FBuffer->Memory() + r, emit + r, static_cast<std::size_t>(FBlockLen - r));
            clone->Encrypt_Block(*FBuffer, *F2ndBuffer);
        } else {
            FChainState->Decrypt_Block(*FEmitBuffer, *F2ndBuffer);
            std::memcpy(FBuffer->Memory() + r, emit + r, static_cast<std::size_t>(FBlockLen - r));
            F2ndBuffer->SetPosition(0);
            FBuffer->SetPosition(0);
            clone->Decrypt_Block(*F2ndBuffer, *FBuffer);
        }
        FEmissionStream->WriteBuffer(F2ndBuffer->Memory(), FBlockLen);
        FEmissionStream->WriteBuffer(emit, r);
        Fis2ndBufferFull = false;
        FLenBuffer = 0;
    }
}

void TNoncibleWorker::Reset() {
    TEncryptorDecryptor::Reset();
    if (F2ndBuffer) {
        ZeroStream(*F2ndBuffer);
    }
    Fis2ndBufferFull = false;
    FisShortMessage = true;
    if (FIV) {
        WipeStream(*FIV);
    }
    BurnChainState();
    FIVSeedLen = std::min(FBlockLen, kNonceLen);
    FSaltLen = kNonceLen - FIVSeedLen;
    // A short message switched these to the CFB-8bit fallback; the next message starts over.
    if (FChaining) {
        RestoreModeFlags();
    }
}

// ---- TNoncibleDecryptor

void TNoncibleDecryptor::Start_Decrypt(TSymetricKey& Key1, TStream& PlainText1,
                                       std::shared_ptr<IBlockCipher> BlockCipher1,
                                       std::shared_ptr<IBlockChainingModel> Chaining1) {
    Start_EncDec(Key1, PlainText1, std::move(BlockCipher1), std::move(Chaining1), false);
    FPlainText = &PlainText1;
    StartNoncible(Key1);
}

void TNoncibleDecryptor::Decrypt(TStream& CipherText) {
    CipherText.SetPosition(0);
    std::int64_t R = CipherText.Size();
    if (FIVSeedLen > 0 && R > 0) {
        const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(FIVSeedLen, R));
        const std::int64_t have = FIV->Size();
        FIV->SetSize(have + n);
        CipherText.ReadBuffer(FIV->Memory() + have, n);
        R -= n;
        FIVSeedLen -= n;
        if (FIVSeedLen == 0 && FIV->Size() < FBlockLen) {
            const std::int64_t seeded = FIV->Size();
            FIV->SetSize(FBlockLen);
            std::memset(FIV->Memory() + seeded, 0, static_cast<std::size_t>(FBlockLen - seeded));
        }
    }
    if (FIVSeedLen == 0) {
        AbsorbBody(CipherText, R);
    }
}

void TNoncibleDecryptor::End_Decrypt() {
    EndMessage([this] { Finish(); });
}

// ---- TNoncibleEncryptor

void TNoncibleEncryptor::Start_Encrypt(TSymetricKey& Key1, TStream& CipherText1,
                                       std::shared_ptr<IBlockCipher> BlockCipher1,
                                       std::shared_ptr<IBlockChainingModel> Chaining1,
                                       TSetMemStreamProc OnSetIV1) {
    Start_EncDec(Key1, CipherText1, std::move(BlockCipher1), std::move(Chaining1), true);
    FCipherText = &CipherText1;
    FOnSetIV = std::move(OnSetIV1);
    StartNoncible(Key1);
    FIV->SetSize(FBlockLen);
    FNonce = NewBuffer(0);
    FisAddingSalt = false;
}

TNoncibleEncryptor::~TNoncibleEncryptor() {
    if (FNonce) {
        WipeStream(*FNonce);
    }
}

void TNoncibleEncryptor::Encrypt(TStream& Plaintext) {
    Plaintext.SetPosition(0);
    std::int64_t R = Plaintext.Size();
    if (R > 0 && FDataCount == 0 && !FisAddingSalt) {
        // A fresh nonce from the system's generator for every message.
        FNonce->SetSize(kNonceLen);
        GetSystemRandomBytes(FNonce->Memory(), kNonceLen);
        FIV->SetSize(FBlockLen);
        std::memcpy(FIV->Memory(), FNonce->Memory(), static_cast<std::size_t>(FIVSeedLen));
        std::memset(FIV->Memory() + FIVSeedLen, 0,
                    static_cast<std::size_t>(FBlockLen - FIVSeedLen));
        if (FOnSetIV) {
            FOnSetIV(*FIV);
        }
        FCipherText->WriteBuffer(FIV->Memory(), FIVSeedLen);
        WipeStream(*FNonce);
    }
    AbsorbBody(Plaintext, R);
}

void TNoncibleEncryptor::End_Encrypt() {
    EndMessage([this] { Finish(); });
}

void TNoncibleEncryptor::Reset() {
    TNoncibleWorker::Reset();
    if (FIV) {
        FIV->SetSize(FBlockLen);
        ZeroStream(*FIV);
    }
    if (FNonce) {
        WipeStream(*FNonce);
    }
}

// ---- TNoNonceEncryptor

void TNoNonceEncryptor::Start_Encrypt(TSymetricKey& Key1, TStream& CipherText1,
                                      std::shared_ptr<IBlockCipher> BlockCipher1,
                                      std::shared_ptr<IBlockChainingModel> Chaining1) {
    Start_EncDec(Key1, CipherText1, std::move(BlockCipher1), std::move(Chaining1), true);
    FKey = &Key1;
    FCipherText = &CipherText1;
    FIV->SetSize(FBlockLen);
    ZeroStream(*FIV);
    FChainState = FChaining->MakeEncryptLink(*FKey, *FIV, FCodec);
}

void TNoNonceEncryptor::Encrypt(TStream& Plaintext) {
    Plaintext.SetPosition(0);
    std::int64_t R = Plaintext.Size();
    while (R > 0) {
        const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(FBlockLen - FLenBuffer, R));
        Plaintext.ReadBuffer(FBuffer->Memory() + FLenBuffer, n);
        FLenBuffer += n;
        FDataCount += n;
        R -= n;
        if (FLenBuffer == FBlockLen) {
            FLenBuffer = 0;
            EmitBlock(*FBuffer, FBlockLen);
        }
    }
}

void TNoNonceEncryptor::End_Encrypt() {
    EndMessage([this] {
        if (FDataCount == 0) {
            return;
        }
        if (FChaining->ChainFeatures().Contains(chfKeyStream)) {
            FlushPartial();
            return;
        }
        // 0x80 then zero bytes to the block boundary; a whole pad block when the data ends on
        // one.
        std::uint8_t* b = FBuffer->Memory();
        b[FLenBuffer] = 0x80;
        std::memset(b + FLenBuffer + 1, 0, static_cast<std::size_t>(FBlockLen - FLenBuffer - 1));
        FLenBuffer = 0;
        EmitBlock(*FBuffer, FBlockLen);
    });
}

void TNoNonceEncryptor::Reset() {
    TEncryptorDecryptor::Reset();
    if (FChainState && FIV) {
        FChainState->Reset(*FIV);
    }
}

// ---- TNoNonceDecryptor

void TNoNonceDecryptor::Start_Decrypt(TSymetricKey& Key1, TStream& PlainText1,
                                      std::shared_ptr<IBlockCipher> BlockCipher1,
                                      std::shared_ptr<IBlockChainingModel> Chaining1) {
    Start_EncDec(Key1, PlainText1, std::move(BlockCipher1), std::move(Chaining1), false);
    FKey = &Key1;
    FPlaintext = &PlainText1;
    F2ndBuffer = NewBuffer(FBlockLen);
    FisSecondBufferFull = false;
    FIV->SetSize(FBlockLen);
    ZeroStream(*FIV);
    FChainState = FChaining->MakeDecryptLink(*FKey, *FIV, FCodec);
}

TNoNonceDecryptor::~TNoNonceDecryptor() {
    if (F2ndBuffer) {
        WipeStream(*F2ndBuffer);
    }
}

void TNoNonceDecryptor::Decrypt(TStream& CipherText) {
    CipherText.SetPosition(0);
    std::int64_t R = CipherText.Size();
    while (R > 0) {
        const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(FBlockLen - FLenBuffer, R));
        CipherText.ReadBuffer(FBuffer->Memory() + FLenBuffer, n);
        FLenBuffer += n;
        FDataCount += n;
        R -= n;
        if (FLenBuffer == FBlockLen) {
            if (FisSecondBufferFull) {
                EmitBlock(*F2ndBuffer, FBlockLen);
            }
            std::swap(FBuffer, F2ndBuffer);
            FisSecondBufferFull = true;
            FLenBuffer = 0;
        }
    }
}

void TNoNonceDecryptor::End_Decrypt() {
    EndMessage([this] {
        if (FDataCount == 0) {
            return;
        }
        if (FChaining->ChainFeatures().Contains(chfKeyStream)) {
            if (FisSecondBufferFull) {
                EmitBlock(*F2ndBuffer, FBlockLen);
                FisSecondBufferFull = false;
            }
            FlushPartial();
            return;
        }
        if (FLenBuffer != 0 || !FisSecondBufferFull) {
            throw Exception(std::string_view("Invalid ciphertext - block padding is corrupted."));
        }
        FChainState->Decrypt_Block(*FEmitBuffer, *F2ndBuffer);
        FisSecondBufferFull = false;
        const std::uint8_t* p = FEmitBuffer->Memory();
        std::int32_t keep = 0;
        for (std::int32_t i = FBlockLen - 1; i >= 0; --i) {
            if (p[i] == 0x80) {
                keep = i;
                break;
            }
        }
        if (keep > 0) {
            FPlaintext->WriteBuffer(p, keep);
        }
    });
}

void TNoNonceDecryptor::Reset() {
    TEncryptorDecryptor::Reset();
    if (F2ndBuffer) {
        ZeroStream(*F2ndBuffer);
    }
    FisSecondBufferFull = false;
    if (FChainState && FIV) {
        FChainState->Reset(*FIV);
    }
}

} // namespace velora
