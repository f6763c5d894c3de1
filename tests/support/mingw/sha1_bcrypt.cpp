#include "openssl/sha.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstdlib>

unsigned char* SHA1(const unsigned char* data, size_t length, unsigned char* digest) {
    // A reference that cannot answer must not let a test pass.
    if (!BCRYPT_SUCCESS(BCryptHash(BCRYPT_SHA1_ALG_HANDLE, nullptr, 0,
                                   const_cast<unsigned char*>(data), static_cast<ULONG>(length),
                                   digest, SHA_DIGEST_LENGTH)))
        std::abort();
    return digest;
}
