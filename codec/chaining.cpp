#include "codec/chaining.hpp"

#include "rtl/secure.hpp"

#include <algorithm>
#include <cstring>

namespace velora {

void CopyStream(TMemoryStream& S, TMemoryStream& D) {
    if (&S == &D) {
        return;
    }
    const std::int64_t n = S.Size();
    if (D.Size() != n) {
        D.SetSize(n);
    }
    if (n > 0) {
        std::memcpy(D.Memory(), S.Memory(), static_cast<std::size_t>(n));
    }
}

void XorStream(TMemoryStream& S, TMemoryStream& D) {
    const std::size_t n = static_cast<std::size_t>(std::min(S.Size(), D.Size()));
    const std::uint8_t* s = S.Memory();
    std::uint8_t* d = D.Memory();
    std::size_t i = 0;
    // Four bytes at a time, the rest byte by byte.
    for (; i + 4 <= n; i += 4) {
        std::uint32_t a, b;
        std::memcpy(&a, s + i, 4);
        std::memcpy(&b, d + i, 4);
        b ^= a;
        std::memcpy(d + i, &b, 4);
    }
    for (; i < n; ++i) {
        d[i] ^= s[i];
    }
}

void WipeStream(TMemoryStream& S) noexcept {
    S.Burn();
    S.Clear();
}

void ZeroStream(TMemoryStream& S) noexcept {
    SecureZero(S.Memory(), static_cast<std::size_t>(S.Size()));
}

// ---- TBlockChainLink

TBlockChainLink::TBlockChainLink(TSymetricKey& Key, TMemoryStream& IV,
                                 std::shared_ptr<IBlockCodec> Cipher)
    : FKey(&Key), FCipher(std::move(Cipher)) {
    FCV.SetSensitive(true);
    CopyStream(IV, FCV);
    FCV.SetPosition(IV.Position());
}

TBlockChainLink::TBlockChainLink(TBlockChainLink& Source, int)
    : FKey(Source.FKey), FCipher(Source.FCipher) {
    FCV.SetSensitive(true);
    CopyStream(Source.FCV, FCV);
    FCV.SetPosition(Source.FCV.Position());
}

TBlockChainLink::~TBlockChainLink() {
    WipeStream(FCV);
}

void TBlockChainLink::Burn() {
    WipeStream(FCV);
    FKey = nullptr;
}

void TBlockChainLink::Reset(TMemoryStream& IV) {
    CopyStream(IV, FCV);
}

void TBlockChainLink::Encrypt_8bit(std::uint8_t Plaintext, std::uint8_t& Ciphertext) {
    Ciphertext = Plaintext;
}

void TBlockChainLink::Decrypt_8bit(std::uint8_t& Plaintext, std::uint8_t Ciphertext) {
    Plaintext = Ciphertext;
}

// ---- TCBCLink

TCBCLink::TCBCLink(TSymetricKey& Key, TMemoryStream& IV, std::shared_ptr<IBlockCodec> Cipher,
                   bool ForDecryption)
    : TBlockChainLink(Key, IV, std::move(Cipher)) {
    if (ForDecryption) {
        FNextCV = std::make_unique<TMemoryStream>();
        FNextCV->SetSensitive(true);
    }
}

TCBCLink::TCBCLink(TCBCLink& Source, int) : TBlockChainLink(Source, 0) {
    if (Source.FNextCV) {
        FNextCV = std::make_unique<TMemoryStream>();
        FNextCV->SetSensitive(true);
        CopyStream(*Source.FNextCV, *FNextCV);
    }
}

TCBCLink::~TCBCLink() {
    if (FNextCV) {
        WipeStream(*FNextCV);
    }
}

void TCBCLink::Burn() {
    TBlockChainLink::Burn();
    if (FNextCV) {
        WipeStream(*FNextCV);
    }
}

std::unique_ptr<TBlockChainLink> TCBCLink::Clone() {
    return std::unique_ptr<TBlockChainLink>(new TCBCLink(*this, 0));
}

void TCBCLink::Encrypt_Block(TMemoryStream& Plaintext, TMemoryStream& Ciphertext) {
    // C = E(P xor CV); CV := C
    XorStream(Plaintext, FCV);
    FCipher->Encrypt_Block(FCV, Ciphertext);
    CopyStream(Ciphertext, FCV);
}

void TCBCLink::Decrypt_Block(TMemoryStream& Plaintext, TMemoryStream& Ciphertext) {
    // P = D(C) xor CV; CV := C. The ciphertext is saved first so both may be one stream.
    if (!FNextCV) {
        FNextCV = std::make_unique<TMemoryStream>();
        FNextCV->SetSensitive(true);
    }
    CopyStream(Ciphertext, *FNextCV);
    FCipher->Decrypt_Block(Plaintext, Ciphertext);
    XorStream(FCV, Plaintext);
    CopyStream(*FNextCV, FCV);
}

// ---- TCFB_8BitLink

TCFB_8BitLink::TCFB_8BitLink(TSymetricKey& Key, TMemoryStream& IV,
                             std::shared_ptr<IBlockCodec> Cipher)
    : TBlockChainLink(Key, IV, std::move(Cipher)) {
    FTemp.SetSensitive(true);
    FTemp.SetSize(FCV.Size());
    FBlockSize_Minus1 = static_cast<std::int32_t>(FCV.Size()) - 1;
}

TCFB_8BitLink::TCFB_8BitLink(TCFB_8BitLink& Source, int)
    : TBlockChainLink(Source, 0), FBlockSize_Minus1(Source.FBlockSize_Minus1) {
    FTemp.SetSensitive(true);
    FTemp.SetSize(FCV.Size());
}

TCFB_8BitLink::~TCFB_8BitLink() {
    WipeStream(FTemp);
}

void TCFB_8BitLink::Burn() {
    TBlockChainLink::Burn();
    ZeroStream(FTemp);
}

std::unique_ptr<TBlockChainLink> TCFB_8BitLink::Clone() {
    return std::unique_ptr<TBlockChainLink>(new TCFB_8BitLink(*this, 0));
}

std::uint8_t TCFB_8BitLink::NextKeyByte() {
    FCipher->Encrypt_Block(FCV, FTemp);
    return FTemp.Memory()[0];
}

void TCFB_8BitLink::Encrypt_8bit(std::uint8_t Plaintext, std::uint8_t& Ciphertext) {
    Ciphertext = NextKeyByte() ^ Plaintext;
    std::uint8_t* cv = FCV.Memory();
    std::memmove(cv, cv + 1, static_cast<std::size_t>(FBlockSize_Minus1));
    cv[FBlockSize_Minus1] = Ciphertext;
}

void TCFB_8BitLink::Decrypt_8bit(std::uint8_t& Plaintext, std::uint8_t Ciphertext) {
    Plaintext = NextKeyByte() ^ Ciphertext;
    std::uint8_t* cv = FCV.Memory();
    std::memmove(cv, cv + 1, static_cast<std::size_t>(FBlockSize_Minus1));
    cv[FBlockSize_Minus1] = Ciphertext;
}

// ---- models

UnicodeString TCBC::DefinitionURL() const {
    return u"NIST Special Publication 800-38A (CBC mode)";
}
UnicodeString TCBC::WikipediaReference() const {
    return u"Cipher_block_chaining#Cipher-block_chaining_.28CBC.29";
}

std::unique_ptr<TBlockChainLink> TCBC::MakeEncryptLink(TSymetricKey& Key, TMemoryStream& IV,
                                                       std::shared_ptr<IBlockCodec> Cipher) const {
    return std::make_unique<TCBCLink>(Key, IV, std::move(Cipher), false);
}

std::unique_ptr<TBlockChainLink> TCBC::MakeDecryptLink(TSymetricKey& Key, TMemoryStream& IV,
                                                       std::shared_ptr<IBlockCodec> Cipher) const {
    return std::make_unique<TCBCLink>(Key, IV, std::move(Cipher), true);
}

UnicodeString TCFB_8Bit::DefinitionURL() const {
    return u"NIST Special Publication 800-38A (CFB mode)";
}
UnicodeString TCFB_8Bit::WikipediaReference() const {
    return u"Block_cipher_mode_of_operation#Cipher_feedback_.28CFB.29";
}

std::unique_ptr<TBlockChainLink>
TCFB_8Bit::MakeEncryptLink(TSymetricKey& Key, TMemoryStream& IV,
                           std::shared_ptr<IBlockCodec> Cipher) const {
    return std::make_unique<TCFB_8BitLink>(Key, IV, std::move(Cipher));
}

std::unique_ptr<TBlockChainLink>
TCFB_8Bit::MakeDecryptLink(TSymetricKey& Key, TMemoryStream& IV,
                           std::shared_ptr<IBlockCodec> Cipher) const {
    return std::make_unique<TCFB_8BitLink>(Key, IV, std::move(Cipher));
}

} // namespace velora
