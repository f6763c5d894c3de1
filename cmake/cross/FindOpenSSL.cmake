# Cross builds for Windows: OpenSSL::Crypto is the test stand-in that answers SHA1() with the
# system's own SHA-1 (tests/support/mingw). Nothing else of OpenSSL is offered.
if(NOT TARGET OpenSSL::Crypto)
  add_library(velora_openssl_sha1 STATIC ${PROJECT_SOURCE_DIR}/tests/support/mingw/sha1_bcrypt.cpp)
  target_include_directories(velora_openssl_sha1 PUBLIC ${PROJECT_SOURCE_DIR}/tests/support/mingw)
  target_link_libraries(velora_openssl_sha1 PUBLIC bcrypt)
  add_library(OpenSSL::Crypto ALIAS velora_openssl_sha1)
endif()
set(OpenSSL_FOUND TRUE)
set(OPENSSL_FOUND TRUE)
