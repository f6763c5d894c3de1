# Codec core tests. nettle, where it is found, serves as the independent Twofish, CBC and CFB-8
# reference (a cross build for Windows has none).
add_executable(codec_core_tests
  ${CMAKE_CURRENT_LIST_DIR}/twofish_core_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/chaining_core_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stream_to_block_core_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/crypto_library_core_test.cpp
)
target_link_libraries(codec_core_tests PRIVATE velora_codec_core GTest::gtest_main)
velora_warnings(codec_core_tests)

if(NOT CMAKE_CROSSCOMPILING)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND AND NOT TARGET PkgConfig::VELORA_CORE_NETTLE)
    pkg_check_modules(VELORA_CORE_NETTLE QUIET IMPORTED_TARGET nettle)
  endif()
endif()
if(TARGET PkgConfig::VELORA_CORE_NETTLE)
  target_sources(codec_core_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/nettle_core_test.cpp)
  target_link_libraries(codec_core_tests PRIVATE PkgConfig::VELORA_CORE_NETTLE)
else()
  message(STATUS "nettle not found: codec_core_tests run without the nettle cross-checks")
endif()

# With the facade built, check that a codec refuses the listed-only algorithms.
if(TARGET velora_codec)
  target_sources(codec_core_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/placeholder_codec_core_test.cpp)
  target_link_libraries(codec_core_tests PRIVATE velora_codec)
endif()

gtest_discover_tests(codec_core_tests DISCOVERY_TIMEOUT 30)
