# velora-sign: keys and signature documents for signed updates, with libcrypto (Linux only).
if(TARGET velora_signature_verifier AND NOT WIN32)
  velora_find_package(OpenSSL COMPONENTS Crypto PACKAGE libssl-dev)
  add_executable(velora-sign ${CMAKE_CURRENT_LIST_DIR}/sign/main.cpp)
  target_link_libraries(velora-sign PRIVATE velora_signature_verifier OpenSSL::Crypto)
  velora_warnings(velora-sign)
endif()
