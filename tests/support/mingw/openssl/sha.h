/* The one OpenSSL call the codec tests use as their SHA-1 reference, answered on Windows by
   the system's own SHA-1 (BCrypt), which shares no code with the codec. */
#pragma once

#include <stddef.h>

#define SHA_DIGEST_LENGTH 20

#ifdef __cplusplus
extern "C" {
#endif

unsigned char* SHA1(const unsigned char* data, size_t length, unsigned char* digest);

#ifdef __cplusplus
}
#endif
