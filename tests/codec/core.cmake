# Codec core tests. nettle serves as the independent Twofish, CBC and CFB-8 reference.
find_package(PkgConfig REQUIRED)
if(NOT TARGET PkgConfig::VELORA_CORE_NETTLE)
  pkg_check_modules(VELORA_CORE_NETTLE REQUIRED IMPORTED_TARGET nettle)
endif()

add_executable(codec_core_tests
  ${CMAKE_CURRENT_LIST_DIR}/twofish_core_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/chaining_core_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stream_to_block_core_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/crypto_library_core_test.cpp
)
target_link_libraries(codec_core_tests PRIVATE velora_codec_core PkgConfig::VELORA_CORE_NETTLE
                      GTest::gtest_main)
velora_warnings(codec_core_tests)
gtest_discover_tests(codec_core_tests)

# With the facade built, check that a codec refuses the listed-only algorithms.
if(TARGET velora_codec)
  target_sources(codec_core_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/placeholder_codec_core_test.cpp)
  target_link_libraries(codec_core_tests PRIVATE velora_codec)
endif()
