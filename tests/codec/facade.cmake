# The codec facade: SHA-1, Base64, key derivation and the codec component.
find_package(OpenSSL REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(VELORA_FACADE_NETTLE REQUIRED IMPORTED_TARGET nettle)

add_executable(codec_facade_tests
  ${CMAKE_CURRENT_LIST_DIR}/sha1_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/base64_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/key_derivation_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/codec_test.cpp
)
target_link_libraries(codec_facade_tests PRIVATE velora_codec GTest::gtest_main OpenSSL::Crypto
                      PkgConfig::VELORA_FACADE_NETTLE)
velora_warnings(codec_facade_tests)
gtest_discover_tests(codec_facade_tests DISCOVERY_TIMEOUT 30)
