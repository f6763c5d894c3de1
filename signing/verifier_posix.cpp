#include "signing/verifier.hpp"

#include "rtl/exceptions.hpp"
#include "signing/libcrypto_handles.hpp"

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <vector>

namespace velora {

namespace {

// DER of a P-256 SubjectPublicKeyInfo up to its uncompressed point's X || Y.
constexpr std::uint8_t kP256PublicKeyInfoPrefix[] = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
    0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

libcrypto::TDigestContext NewDigestContext() {
    libcrypto::TDigestContext context(EVP_MD_CTX_new());
    if (!context) {
        throw Exception(u"libcrypto cannot make a digest context");
    }
    return context;
}

class TLibcryptoSha256 final : public ISha256 {
public:
    TLibcryptoSha256() : FContext(NewDigestContext()) {
        if (EVP_DigestInit_ex(FContext.get(), EVP_sha256(), nullptr) != 1) {
            throw Exception(u"libcrypto cannot start SHA-256");
        }
    }
    void Update(std::span<const std::uint8_t> data) override {
        if (EVP_DigestUpdate(FContext.get(), data.data(), data.size()) != 1) {
            throw Exception(u"libcrypto cannot hash with SHA-256");
        }
    }
    TSha256Digest Final() override {
        TSha256Digest digest{};
        unsigned int size = 0;
        if (EVP_DigestFinal_ex(FContext.get(), digest.data(), &size) != 1 ||
            size != digest.size()) {
            throw Exception(u"libcrypto cannot end SHA-256");
        }
        return digest;
    }

private:
    libcrypto::TDigestContext FContext;
};

// The key, or nothing when the point is not on the curve.
libcrypto::TKey ImportKey(const TP256PublicKey& key) {
    std::vector<std::uint8_t> der(std::begin(kP256PublicKeyInfoPrefix),
                                  std::end(kP256PublicKeyInfoPrefix));
    der.insert(der.end(), key.begin(), key.end());
    const unsigned char* p = der.data();
    return libcrypto::TKey(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
}

// r || s as the DER structure libcrypto verifies.
std::vector<std::uint8_t> DerSignature(const TP256Signature& signature) {
    libcrypto::TSignature sig(ECDSA_SIG_new());
    libcrypto::TNumber r(BN_bin2bn(signature.data(), 32, nullptr));
    libcrypto::TNumber s(BN_bin2bn(signature.data() + 32, 32, nullptr));
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) {
        throw Exception(u"libcrypto cannot hold a signature");
    }
    // Owned by sig now.
    r.release();
    s.release();
    const int size = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (size <= 0) {
        throw Exception(u"libcrypto cannot encode a signature");
    }
    std::vector<std::uint8_t> der(static_cast<std::size_t>(size));
    unsigned char* out = der.data();
    i2d_ECDSA_SIG(sig.get(), &out);
    return der;
}

class TLibcryptoVerifier final : public ISignatureVerifier {
public:
    std::unique_ptr<ISha256> CreateSha256() override {
        return std::make_unique<TLibcryptoSha256>();
    }

    bool VerifyP256Sha256(const TP256PublicKey& key, std::span<const std::uint8_t> message,
                          const TP256Signature& signature) override {
        const libcrypto::TKey publicKey = ImportKey(key);
        if (!publicKey) {
            // The HTTP client reads the same thread's error queue.
            ERR_clear_error();
            return false;
        }
        const std::vector<std::uint8_t> der = DerSignature(signature);
        const libcrypto::TDigestContext context = NewDigestContext();
        if (EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, publicKey.get()) !=
            1) {
            throw Exception(u"libcrypto cannot start an ECDSA verification");
        }
        const bool verified = EVP_DigestVerify(context.get(), der.data(), der.size(),
                                               message.data(), message.size()) == 1;
        ERR_clear_error();
        return verified;
    }
};

} // namespace

std::unique_ptr<ISignatureVerifier> CreateSignatureVerifier() {
    return std::make_unique<TLibcryptoVerifier>();
}

} // namespace velora
