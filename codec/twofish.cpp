#include "codec/twofish.hpp"

#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"

#include <algorithm>
#include <cstring>

namespace velora {

namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;

constexpr u32 Rol(u32 x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}
constexpr u32 Ror(u32 x, unsigned n) {
    return (x >> n) | (x << (32 - n));
}

// The q permutations are built from their 4-bit tables, as the algorithm defines them.
using Nibbles = std::array<u8, 16>;
struct QNibbles {
    Nibbles t0, t1, t2, t3;
};
constexpr QNibbles kQ0Nibbles{
    {0x8, 0x1, 0x7, 0xD, 0x6, 0xF, 0x3, 0x2, 0x0, 0xB, 0x5, 0x9, 0xE, 0xC, 0xA, 0x4},
    {0xE, 0xC, 0xB, 0x8, 0x1, 0x2, 0x3, 0x5, 0xF, 0x4, 0xA, 0x6, 0x7, 0x0, 0x9, 0xD},
    {0xB, 0xA, 0x5, 0xE, 0x6, 0xD, 0x9, 0x0, 0xC, 0x8, 0xF, 0x3, 0x2, 0x4, 0x7, 0x1},
    {0xD, 0x7, 0xF, 0x4, 0x1, 0x2, 0x6, 0xE, 0x9, 0xB, 0x3, 0x0, 0x8, 0x5, 0xC, 0xA}};
constexpr QNibbles kQ1Nibbles{
    {0x2, 0x8, 0xB, 0xD, 0xF, 0x7, 0x6, 0xE, 0x3, 0x1, 0x9, 0x4, 0x0, 0xA, 0xC, 0x5},
    {0x1, 0xE, 0x2, 0xB, 0x4, 0xC, 0x3, 0x7, 0x6, 0xD, 0xA, 0x5, 0xF, 0x9, 0x0, 0x8},
    {0x4, 0xC, 0x7, 0x5, 0x1, 0x6, 0x9, 0xA, 0x0, 0xE, 0xD, 0x8, 0x2, 0xB, 0x3, 0xF},
    {0xB, 0x9, 0x5, 0x1, 0xC, 0x3, 0xD, 0xE, 0x6, 0x4, 0x7, 0xF, 0x2, 0x0, 0x8, 0xA}};

constexpr u8 Ror4(u8 x) {
    return static_cast<u8>(((x >> 1) | (x << 3)) & 0xF);
}

constexpr std::array<u8, 256> MakeQ(const QNibbles& t) {
    std::array<u8, 256> q{};
    for (unsigned x = 0; x < 256; ++x) {
        u8 a = static_cast<u8>(x >> 4), b = static_cast<u8>(x & 0xF);
        u8 a1 = a ^ b, b1 = static_cast<u8>(a ^ Ror4(b) ^ ((8 * a) & 0xF));
        u8 a2 = t.t0[a1], b2 = t.t1[b1];
        u8 a3 = a2 ^ b2, b3 = static_cast<u8>(a2 ^ Ror4(b2) ^ ((8 * a2) & 0xF));
        u8 a4 = t.t2[a3], b4 = t.t3[b3];
        q[x] = static_cast<u8>((b4 << 4) | a4);
    }
    return q;
}

constexpr std::array<u8, 256> kQ0 = MakeQ(kQ0Nibbles);
constexpr std::array<u8, 256> kQ1 = MakeQ(kQ1Nibbles);

// Multiplication in GF(2^8) modulo the given polynomial.
constexpr u8 GfMul(u8 a, u8 b, unsigned poly) {
    unsigned r = 0, x = a;
    for (unsigned y = b; y != 0; y >>= 1) {
        if (y & 1) {
            r ^= x;
        }
        x <<= 1;
        if (x & 0x100) {
            x ^= poly;
        }
    }
    return static_cast<u8>(r);
}

constexpr unsigned kMdsPoly = 0x169;
constexpr unsigned kRsPoly = 0x14D;

constexpr u8 kMds[4][4] = {
    {0x01, 0xEF, 0x5B, 0x5B},
    {0x5B, 0xEF, 0xEF, 0x01},
    {0xEF, 0x5B, 0x01, 0xEF},
    {0xEF, 0x01, 0xEF, 0x5B},
};

constexpr u8 kRs[4][8] = {
    {0x01, 0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E},
    {0xA4, 0x56, 0x82, 0xF3, 0x1E, 0xC6, 0x68, 0xE5},
    {0x02, 0xA1, 0xFC, 0xC1, 0x47, 0xAE, 0x3D, 0x19},
    {0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E, 0x03},
};

// Column j of the MDS matrix applied to the last q of byte lane j: q1, q0, q1, q0.
constexpr std::array<std::array<u32, 256>, 4> MakeMdsTables() {
    std::array<std::array<u32, 256>, 4> t{};
    for (unsigned j = 0; j < 4; ++j) {
        const auto& q = (j % 2 == 0) ? kQ1 : kQ0;
        for (unsigned x = 0; x < 256; ++x) {
            u8 y = q[x];
            u32 w = 0;
            for (unsigned i = 0; i < 4; ++i) {
                w |= static_cast<u32>(GfMul(kMds[i][j], y, kMdsPoly)) << (8 * i);
            }
            t[j][x] = w;
        }
    }
    return t;
}

constexpr auto kMdsTables = MakeMdsTables();

constexpr u8 Byte(u32 x, unsigned n) {
    return static_cast<u8>(x >> (8 * n));
}

constexpr u32 LoadLE(const u8* p) {
    return static_cast<u32>(p[0]) | (static_cast<u32>(p[1]) << 8) | (static_cast<u32>(p[2]) << 16) |
           (static_cast<u32>(p[3]) << 24);
}

inline void StoreLE(u8* p, u32 v) {
    p[0] = static_cast<u8>(v);
    p[1] = static_cast<u8>(v >> 8);
    p[2] = static_cast<u8>(v >> 16);
    p[3] = static_cast<u8>(v >> 24);
}

// The q chain of h() for one byte lane, without its final q (that one is folded into the MDS
// tables). l holds the key words from L[0] up; k is their number.
inline u8 HLane(unsigned lane, u8 x, const u32* l, unsigned k) {
    switch (lane) {
    case 0:
        if (k == 4) {
            x = kQ1[x] ^ Byte(l[3], 0);
        }
        if (k >= 3) {
            x = kQ1[x] ^ Byte(l[2], 0);
        }
        return kQ0[kQ0[x] ^ Byte(l[1], 0)] ^ Byte(l[0], 0);
    case 1:
        if (k == 4) {
            x = kQ0[x] ^ Byte(l[3], 1);
        }
        if (k >= 3) {
            x = kQ1[x] ^ Byte(l[2], 1);
        }
        return kQ0[kQ1[x] ^ Byte(l[1], 1)] ^ Byte(l[0], 1);
    case 2:
        if (k == 4) {
            x = kQ0[x] ^ Byte(l[3], 2);
        }
        if (k >= 3) {
            x = kQ0[x] ^ Byte(l[2], 2);
        }
        return kQ1[kQ0[x] ^ Byte(l[1], 2)] ^ Byte(l[0], 2);
    default:
        if (k == 4) {
            x = kQ1[x] ^ Byte(l[3], 3);
        }
        if (k >= 3) {
            x = kQ0[x] ^ Byte(l[2], 3);
        }
        return kQ1[kQ1[x] ^ Byte(l[1], 3)] ^ Byte(l[0], 3);
    }
}

inline u32 H(u32 x, const u32* l, unsigned k) {
    return kMdsTables[0][HLane(0, Byte(x, 0), l, k)] ^ kMdsTables[1][HLane(1, Byte(x, 1), l, k)] ^
           kMdsTables[2][HLane(2, Byte(x, 2), l, k)] ^ kMdsTables[3][HLane(3, Byte(x, 3), l, k)];
}

// One RS row product: the four bytes of S_i from key bytes 8i to 8i + 7.
u32 RsWord(const u8* m) {
    u32 w = 0;
    for (unsigned r = 0; r < 4; ++r) {
        u8 s = 0;
        for (unsigned c = 0; c < 8; ++c) {
            s ^= GfMul(kRs[r][c], m[c], kRsPoly);
        }
        w |= static_cast<u32>(s) << (8 * r);
    }
    return w;
}

const u8 kSelfTestKey[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                             0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10,
                             0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
const u8 kSelfTestCiphertext[16] = {0xCF, 0xD1, 0xD2, 0xE5, 0xA9, 0xBE, 0x9C, 0xDF,
                                    0x50, 0x1F, 0x13, 0xB8, 0x92, 0xBD, 0x22, 0x48};

void CheckBlock(TMemoryStream& s) {
    if (s.Size() < 16 || s.Memory() == nullptr) {
        throw ERangeError(std::string_view("Twofish block stream holds less than one block"));
    }
}

} // namespace

// ---- TTwofishKey

std::unique_ptr<TTwofishKey> TTwofishKey::GenerateFromSeed(TStream& Seed) {
    std::unique_ptr<TTwofishKey> key(new TTwofishKey());
    const std::int64_t n = Seed.Size();
    Seed.SetPosition(0);
    key->FKeySeed.resize(static_cast<std::size_t>(n));
    if (n > 0) {
        Seed.ReadBuffer(key->FKeySeed.data(), n);
    }
    std::array<u8, 32> buffer{};
    const std::size_t used = std::min<std::size_t>(key->FKeySeed.size(), 32);
    std::copy_n(key->FKeySeed.begin(), used, buffer.begin());
    const std::size_t keyBytes = used <= 16 ? 16 : used <= 24 ? 24 : 32;
    key->Schedule(buffer.data(), keyBytes);
    SecureZero(buffer.data(), buffer.size());
    return key;
}

std::unique_ptr<TTwofishKey> TTwofishKey::LoadFromStream(TStream& Store) {
    return GenerateFromSeed(Store);
}

std::unique_ptr<TTwofishKey> TTwofishKey::FromRawKey(const std::uint8_t* key, std::size_t length) {
    std::unique_ptr<TTwofishKey> result(new TTwofishKey());
    result->FKeySeed.assign(key, key + length);
    std::array<u8, 32> buffer{};
    const std::size_t used = std::min<std::size_t>(length, 32);
    std::copy_n(key, used, buffer.begin());
    result->Schedule(buffer.data(), used <= 16 ? 16 : used <= 24 ? 24 : 32);
    SecureZero(buffer.data(), buffer.size());
    return result;
}

TTwofishKey::~TTwofishKey() {
    Burn();
}

void TTwofishKey::SaveToStream(TStream& Stream) {
    if (!FKeySeed.empty()) {
        Stream.WriteBuffer(FKeySeed.data(), static_cast<std::int64_t>(FKeySeed.size()));
    }
}

void TTwofishKey::Burn() {
    SecureZero(FKeySeed);
    FKeySeed.clear();
    FKeySeed.shrink_to_fit();
    SecureZero(FSubKeys.data(), sizeof(FSubKeys));
    SecureZero(FSBox.data(), sizeof(FSBox));
}

void TTwofishKey::Schedule(const std::uint8_t* key, std::size_t length) noexcept {
    const unsigned k = static_cast<unsigned>(length / 8);
    u32 me[4] = {}, mo[4] = {}, s[4] = {};
    for (unsigned i = 0; i < k; ++i) {
        me[i] = LoadLE(key + 8 * i);
        mo[i] = LoadLE(key + 8 * i + 4);
        // S is taken in reverse order: S_(k-1) first.
        s[k - 1 - i] = RsWord(key + 8 * i);
    }

    constexpr u32 rho = 0x01010101;
    for (unsigned i = 0; i < 20; ++i) {
        const u32 a = H(2 * i * rho, me, k);
        const u32 b = Rol(H((2 * i + 1) * rho, mo, k), 8);
        FSubKeys[2 * i] = a + b;
        FSubKeys[2 * i + 1] = Rol(a + 2 * b, 9);
    }

    for (unsigned x = 0; x < 256; ++x) {
        const u8 b = static_cast<u8>(x);
        for (unsigned lane = 0; lane < 4; ++lane) {
            FSBox[lane * 256 + x] = kMdsTables[lane][HLane(lane, b, s, k)];
        }
    }
    SecureZero(me, sizeof(me));
    SecureZero(mo, sizeof(mo));
    SecureZero(s, sizeof(s));
}

// g(x) and g(x rotated left by 8): four lookups in the key-dependent tables.
#define VELORA_TF_G0(x) (s0[Byte(x, 0)] ^ s1[Byte(x, 1)] ^ s2[Byte(x, 2)] ^ s3[Byte(x, 3)])
#define VELORA_TF_G1(x) (s0[Byte(x, 3)] ^ s1[Byte(x, 0)] ^ s2[Byte(x, 1)] ^ s3[Byte(x, 2)])

namespace {

// N blocks side by side: with two, the table lookups of one block fill the other's latency.
template <unsigned N>
inline void EncryptN(const u32* s0, const u32* kk, const std::uint8_t* in,
                     std::uint8_t* out) noexcept {
    const u32* s1 = s0 + 256;
    const u32* s2 = s0 + 512;
    const u32* s3 = s0 + 768;
    u32 a[N], b[N], c[N], d[N];
    for (unsigned i = 0; i < N; ++i) {
        a[i] = LoadLE(in + 16 * i) ^ kk[0];
        b[i] = LoadLE(in + 16 * i + 4) ^ kk[1];
        c[i] = LoadLE(in + 16 * i + 8) ^ kk[2];
        d[i] = LoadLE(in + 16 * i + 12) ^ kk[3];
    }
#if defined(__GNUC__)
#pragma GCC unroll 8
#endif
    for (unsigned r = 0; r < 16; r += 2) {
        for (unsigned i = 0; i < N; ++i) {
            const u32 t0 = VELORA_TF_G0(a[i]);
            const u32 t1 = VELORA_TF_G1(b[i]);
            c[i] = Ror(c[i] ^ (t0 + t1 + kk[8 + 2 * r]), 1);
            d[i] = Rol(d[i], 1) ^ (t0 + 2 * t1 + kk[9 + 2 * r]);
        }
        for (unsigned i = 0; i < N; ++i) {
            const u32 t0 = VELORA_TF_G0(c[i]);
            const u32 t1 = VELORA_TF_G1(d[i]);
            a[i] = Ror(a[i] ^ (t0 + t1 + kk[10 + 2 * r]), 1);
            b[i] = Rol(b[i], 1) ^ (t0 + 2 * t1 + kk[11 + 2 * r]);
        }
    }
    for (unsigned i = 0; i < N; ++i) {
        StoreLE(out + 16 * i, c[i] ^ kk[4]);
        StoreLE(out + 16 * i + 4, d[i] ^ kk[5]);
        StoreLE(out + 16 * i + 8, a[i] ^ kk[6]);
        StoreLE(out + 16 * i + 12, b[i] ^ kk[7]);
    }
}

template <unsigned N>
inline void DecryptN(const u32* s0, const u32* kk, const std::uint8_t* in,
                     std::uint8_t* out) noexcept {
    const u32* s1 = s0 + 256;
    const u32* s2 = s0 + 512;
    const u32* s3 = s0 + 768;
    u32 a[N], b[N], c[N], d[N];
    for (unsigned i = 0; i < N; ++i) {
        c[i] = LoadLE(in + 16 * i) ^ kk[4];
        d[i] = LoadLE(in + 16 * i + 4) ^ kk[5];
        a[i] = LoadLE(in + 16 * i + 8) ^ kk[6];
        b[i] = LoadLE(in + 16 * i + 12) ^ kk[7];
    }
#if defined(__GNUC__)
#pragma GCC unroll 8
#endif
    for (int r = 14; r >= 0; r -= 2) {
        for (unsigned i = 0; i < N; ++i) {
            const u32 t0 = VELORA_TF_G0(c[i]);
            const u32 t1 = VELORA_TF_G1(d[i]);
            a[i] = Rol(a[i], 1) ^ (t0 + t1 + kk[10 + 2 * r]);
            b[i] = Ror(b[i] ^ (t0 + 2 * t1 + kk[11 + 2 * r]), 1);
        }
        for (unsigned i = 0; i < N; ++i) {
            const u32 t0 = VELORA_TF_G0(a[i]);
            const u32 t1 = VELORA_TF_G1(b[i]);
            c[i] = Rol(c[i], 1) ^ (t0 + t1 + kk[8 + 2 * r]);
            d[i] = Ror(d[i] ^ (t0 + 2 * t1 + kk[9 + 2 * r]), 1);
        }
    }
    for (unsigned i = 0; i < N; ++i) {
        StoreLE(out + 16 * i, a[i] ^ kk[0]);
        StoreLE(out + 16 * i + 4, b[i] ^ kk[1]);
        StoreLE(out + 16 * i + 8, c[i] ^ kk[2]);
        StoreLE(out + 16 * i + 12, d[i] ^ kk[3]);
    }
}

#undef VELORA_TF_G0
#undef VELORA_TF_G1

} // namespace

void TTwofishKey::EncryptBlock(const std::uint8_t* in, std::uint8_t* out) const noexcept {
    EncryptN<1>(FSBox.data(), FSubKeys.data(), in, out);
}

void TTwofishKey::DecryptBlock(const std::uint8_t* in, std::uint8_t* out) const noexcept {
    DecryptN<1>(FSBox.data(), FSubKeys.data(), in, out);
}

void TTwofishKey::EncryptBlocks(const std::uint8_t* in, std::uint8_t* out,
                                std::size_t count) const noexcept {
    std::size_t i = 0;
    for (; i + 2 <= count; i += 2) {
        EncryptN<2>(FSBox.data(), FSubKeys.data(), in + 16 * i, out + 16 * i);
    }
    if (i < count) {
        EncryptN<1>(FSBox.data(), FSubKeys.data(), in + 16 * i, out + 16 * i);
    }
}

void TTwofishKey::DecryptBlocks(const std::uint8_t* in, std::uint8_t* out,
                                std::size_t count) const noexcept {
    std::size_t i = 0;
    for (; i + 2 <= count; i += 2) {
        DecryptN<2>(FSBox.data(), FSubKeys.data(), in + 16 * i, out + 16 * i);
    }
    if (i < count) {
        DecryptN<1>(FSBox.data(), FSubKeys.data(), in + 16 * i, out + 16 * i);
    }
}

// ---- TTwoFish

UnicodeString TTwoFish::DisplayName() const {
    return u"Twofish";
}
UnicodeString TTwoFish::ProgId() const {
    return u"native.Twofish";
}
TAlgorithmicFeatureSet TTwoFish::Features() const {
    return {afOpenSourceSoftware};
}
UnicodeString TTwoFish::DefinitionURL() const {
    return u"Twofish: A 128-Bit Block Cipher (AES submission, 15 June 1998)";
}
UnicodeString TTwoFish::WikipediaReference() const {
    return u"Twofish";
}

std::unique_ptr<TSymetricKey> TTwoFish::GenerateKey(TStream& Seed) const {
    return TTwofishKey::GenerateFromSeed(Seed);
}

std::unique_ptr<TSymetricKey> TTwoFish::LoadKeyFromStream(TStream& Store) const {
    return TTwofishKey::LoadFromStream(Store);
}

std::shared_ptr<IBlockCodec> TTwoFish::MakeBlockCodec(TSymetricKey& Key) const {
    auto* key = dynamic_cast<TTwofishKey*>(&Key);
    if (key == nullptr) {
        throw EInvalidCast(std::string_view("Invalid class typecast"));
    }
    return std::make_shared<TTwofishBlockCodec>(weak_from_this().lock(), *key);
}

Bytes TTwoFish::SelfTest_Key() const {
    return Bytes(std::begin(kSelfTestKey), std::end(kSelfTestKey));
}
Bytes TTwoFish::SelfTest_Plaintext() const {
    return Bytes(16, 0);
}
Bytes TTwoFish::SelfTest_Ciphertext() const {
    return Bytes(std::begin(kSelfTestCiphertext), std::end(kSelfTestCiphertext));
}

std::shared_ptr<IInterface> TTwoFish::ControlObject() {
    return shared_from_this();
}

// ---- TTwofishBlockCodec

void TTwofishBlockCodec::Encrypt_Block(TMemoryStream& Plaintext, TMemoryStream& Ciphertext) {
    CheckBlock(Plaintext);
    CheckBlock(Ciphertext);
    // The transform loads the whole block before it stores, so the streams may be one; no copy
    // of the block is left behind in memory.
    FKey->EncryptBlock(Plaintext.Memory(), Ciphertext.Memory());
}

void TTwofishBlockCodec::Decrypt_Block(TMemoryStream& Plaintext, TMemoryStream& Ciphertext) {
    CheckBlock(Plaintext);
    CheckBlock(Ciphertext);
    FKey->DecryptBlock(Ciphertext.Memory(), Plaintext.Memory());
}

} // namespace velora
