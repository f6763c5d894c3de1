#include "signing/verifier.hpp"

#include "rtl/exceptions.hpp"
#include "rtl/win32.hpp"

#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace velora {

namespace {

[[noreturn]] void RaiseCngError(std::u16string_view what, NTSTATUS status) {
    throw Exception(
        Format(u"CNG cannot %s (%d)", {UnicodeString(what), static_cast<std::int64_t>(status)}));
}

// An algorithm provider, open while the object lives.
class TProvider {
public:
    explicit TProvider(const wchar_t* algorithm) {
        const NTSTATUS status = ::BCryptOpenAlgorithmProvider(&FHandle, algorithm, nullptr, 0);
        if (!BCRYPT_SUCCESS(status)) {
            RaiseCngError(u"open an algorithm provider", status);
        }
    }
    ~TProvider() { ::BCryptCloseAlgorithmProvider(FHandle, 0); }
    TProvider(const TProvider&) = delete;
    TProvider& operator=(const TProvider&) = delete;
    BCRYPT_ALG_HANDLE Handle() const noexcept { return FHandle; }

private:
    BCRYPT_ALG_HANDLE FHandle = nullptr;
};

class TCngSha256 final : public ISha256 {
public:
    TCngSha256() : FProvider(BCRYPT_SHA256_ALGORITHM) {
        // The hash object lives in memory CNG gives us; zero size asks CNG to manage it.
        const NTSTATUS status =
            ::BCryptCreateHash(FProvider.Handle(), &FHash, nullptr, 0, nullptr, 0, 0);
        if (!BCRYPT_SUCCESS(status)) {
            RaiseCngError(u"start SHA-256", status);
        }
    }
    ~TCngSha256() override { ::BCryptDestroyHash(FHash); }

    void Update(std::span<const std::uint8_t> data) override {
        // CNG takes at most 4 GiB - 1 per call.
        constexpr std::size_t kMaxStep = 1u << 30;
        while (!data.empty()) {
            const std::size_t step = std::min(data.size(), kMaxStep);
            const NTSTATUS status = ::BCryptHashData(FHash, const_cast<PUCHAR>(data.data()),
                                                     static_cast<ULONG>(step), 0);
            if (!BCRYPT_SUCCESS(status)) {
                RaiseCngError(u"hash with SHA-256", status);
            }
            data = data.subspan(step);
        }
    }

    TSha256Digest Final() override {
        TSha256Digest digest{};
        const NTSTATUS status =
            ::BCryptFinishHash(FHash, digest.data(), static_cast<ULONG>(digest.size()), 0);
        if (!BCRYPT_SUCCESS(status)) {
            RaiseCngError(u"end SHA-256", status);
        }
        return digest;
    }

private:
    TProvider FProvider;
    BCRYPT_HASH_HANDLE FHash = nullptr;
};

class TCngVerifier final : public ISignatureVerifier {
public:
    std::unique_ptr<ISha256> CreateSha256() override { return std::make_unique<TCngSha256>(); }

    bool VerifyP256Sha256(const TP256PublicKey& key, std::span<const std::uint8_t> message,
                          const TP256Signature& signature) override {
        TCngSha256 hash;
        hash.Update(message);
        TSha256Digest digest = hash.Final();

        const TProvider ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
        std::vector<std::uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
        BCRYPT_ECCKEY_BLOB header{};
        header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
        header.cbKey = 32;
        std::memcpy(blob.data(), &header, sizeof header);
        std::memcpy(blob.data() + sizeof header, key.data(), key.size());
        BCRYPT_KEY_HANDLE publicKey = nullptr;
        if (!BCRYPT_SUCCESS(::BCryptImportKeyPair(ecdsa.Handle(), nullptr, BCRYPT_ECCPUBLIC_BLOB,
                                                  &publicKey, blob.data(),
                                                  static_cast<ULONG>(blob.size()), 0))) {
            // Not a point of the curve.
            return false;
        }
        TP256Signature copy = signature;
        const NTSTATUS status = ::BCryptVerifySignature(
            publicKey, nullptr, digest.data(), static_cast<ULONG>(digest.size()), copy.data(),
            static_cast<ULONG>(copy.size()), 0);
        ::BCryptDestroyKey(publicKey);
        return status == 0;
    }
};

} // namespace

std::unique_ptr<ISignatureVerifier> CreateSignatureVerifier() {
    return std::make_unique<TCngVerifier>();
}

} // namespace velora
