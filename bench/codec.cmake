# Twofish, the adapter's CBC path and the codec's decryption beside nettle's Twofish.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(PkgConfig QUIET)
endif()
if(PkgConfig_FOUND AND NOT TARGET PkgConfig::VELORA_CORE_NETTLE)
  pkg_check_modules(VELORA_CORE_NETTLE QUIET IMPORTED_TARGET nettle)
endif()
if(TARGET PkgConfig::VELORA_CORE_NETTLE)
  add_executable(codec_bench ${CMAKE_CURRENT_LIST_DIR}/codec_bench.cpp)
  target_link_libraries(codec_bench PRIVATE velora_codec PkgConfig::VELORA_CORE_NETTLE
                        benchmark::benchmark)
  velora_warnings(codec_bench)
endif()
