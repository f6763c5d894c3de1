#include "openssl/sha.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstdlib>

unsigned char* SHA1(const unsigned char* data, size_t length, unsigned char* digest) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    const bool ok = BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM,
                                                               nullptr, 0)) &&
                    BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)) &&
                    BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<unsigned char*>(data),
                                                  static_cast<ULONG>(length), 0)) &&
                    BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, SHA_DIGEST_LENGTH, 0));
    if (hash)
        BCryptDestroyHash(hash);
    if (algorithm)
        BCryptCloseAlgorithmProvider(algorithm, 0);
    // A reference that cannot answer must not let a test pass.
    if (!ok)
        std::abort();
    return digest;
}
