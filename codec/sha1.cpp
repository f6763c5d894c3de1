#include "codec/sha1.hpp"

#include "codec/crypto_library.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"

#include <algorithm>

namespace velora {

namespace {

constexpr std::uint32_t Rotl(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

constexpr std::uint32_t LoadBE32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

void Compress(std::array<std::uint32_t, 5>& h, const std::uint8_t* block) {
    std::array<std::uint32_t, 80> w;
    for (int t = 0; t < 16; ++t) {
        w[t] = LoadBE32(block + 4 * t);
    }
    for (int t = 16; t < 80; ++t) {
        w[t] = Rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    }
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int t = 0; t < 80; ++t) {
        std::uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t temp = Rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = Rotl(b, 30);
        b = a;
        a = temp;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    SecureZero(w.data(), sizeof(w));
}

} // namespace

TSHA1_Hasher::TSHA1_Hasher() {
    Restart();
}

TSHA1_Hasher::~TSHA1_Hasher() {
    Burn();
}

void TSHA1_Hasher::Restart() {
    FState = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    FMessageBytes = 0;
}

void TSHA1_Hasher::Update(TMemoryStream& Source) {
    if (Source.Size() < kBlockBytes) {
        throw ERangeError("TSHA1_Hasher.Update - incomplete block.");
    }
    Compress(FState, Source.Memory());
    FMessageBytes += kBlockBytes;
}

void TSHA1_Hasher::End_Hash(TMemoryStream& PartBlock, TMemoryStream& Digest) {
    const std::int64_t used = PartBlock.Position();
    if (used < 0 || used >= kBlockBytes || Digest.Size() < kDigestBytes) {
        throw ERangeError("TSHA1_Hasher.End_Hash - bad buffer sizes.");
    }
    const std::uint64_t bitLength = (FMessageBytes + static_cast<std::uint64_t>(used)) * 8;

    // Up to two blocks of padding: 0x80, zeros, and the message length in bits (big-endian).
    std::array<std::uint8_t, 2 * kBlockBytes> tail{};
    const auto n = static_cast<std::size_t>(used);
    std::copy_n(PartBlock.Memory(), n, tail.begin());
    tail[n] = 0x80;
    const std::size_t total = n + 1 + 8 <= kBlockBytes ? kBlockBytes : 2 * kBlockBytes;
    for (int i = 0; i < 8; ++i) {
        tail[total - 1 - i] = static_cast<std::uint8_t>(bitLength >> (8 * i));
    }
    for (std::size_t offset = 0; offset < total; offset += kBlockBytes) {
        Compress(FState, tail.data() + offset);
    }
    SecureZero(tail.data(), tail.size());

    std::uint8_t* out = Digest.Memory();
    for (int i = 0; i < 5; ++i) {
        out[4 * i] = static_cast<std::uint8_t>(FState[i] >> 24);
        out[4 * i + 1] = static_cast<std::uint8_t>(FState[i] >> 16);
        out[4 * i + 2] = static_cast<std::uint8_t>(FState[i] >> 8);
        out[4 * i + 3] = static_cast<std::uint8_t>(FState[i]);
    }
    Burn();
}

void TSHA1_Hasher::Burn() {
    SecureZero(FState.data(), sizeof(FState));
    SecureZero(&FMessageBytes, sizeof(FMessageBytes));
}

UnicodeString TSHA1_Hasher::SelfTestMessage() {
    return u"abc";
}

UnicodeString TSHA1_Hasher::SelfTestDigest() {
    return u"A9993E364706816ABA3E25717850C26C9CD0D89D";
}

UnicodeString TSHA1::DisplayName() const {
    return u"SHA-1";
}

UnicodeString TSHA1::ProgId() const {
    return u"native.hash.SHA-1";
}

TAlgorithmicFeatureSet TSHA1::Features() const {
    return {afCryptographicallyWeak, afOpenSourceSoftware};
}

UnicodeString TSHA1::DefinitionURL() const {
    return u"https://csrc.nist.gov/publications/detail/fips/180/4/final";
}

UnicodeString TSHA1::WikipediaReference() const {
    return u"SHA-1";
}

std::shared_ptr<IHasher> TSHA1::NewHasher(IInterface*) const {
    return std::make_shared<TSHA1_Hasher>();
}

std::shared_ptr<IHashDsc> MakeSHA1Hash() {
    return std::make_shared<TSHA1>();
}

} // namespace velora
