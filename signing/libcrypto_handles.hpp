// Owners of libcrypto's objects, for the Linux verifier and velora-sign. Only files that talk to
// libcrypto themselves include this.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

#include <memory>

namespace velora::libcrypto {

struct TFree {
    void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
    void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
    void operator()(ECDSA_SIG* p) const noexcept { ECDSA_SIG_free(p); }
    void operator()(BIGNUM* p) const noexcept { BN_free(p); }
    void operator()(BIO* p) const noexcept { BIO_free(p); }
};

using TKey = std::unique_ptr<EVP_PKEY, TFree>;
using TDigestContext = std::unique_ptr<EVP_MD_CTX, TFree>;
using TSignature = std::unique_ptr<ECDSA_SIG, TFree>;
using TNumber = std::unique_ptr<BIGNUM, TFree>;
using TBio = std::unique_ptr<BIO, TFree>;

} // namespace velora::libcrypto
