# Cross build for 64-bit Windows with MinGW-w64 (posix threads) on Debian; Wine runs the tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELORA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELORA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELORA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VELORA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELORA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian puts no wine64 on the PATH.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)

# Everything static: otherwise the programs import libwinpthread-1.dll and the GCC runtime.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test discovery runs the programs; leave it to ctest so that building needs no Wine.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# Libraries built for this target by tools/mingw_deps.sh (the tests' nettle); pkg-config must
# never offer the build machine's own.
if(NOT VELORA_MINGW_DEPS)
  get_filename_component(VELORA_MINGW_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build/mingw-deps" ABSOLUTE)
endif()
set(VELORA_MINGW_DEPS "${VELORA_MINGW_DEPS}" CACHE PATH "Prefix of the cross-built test libraries")
list(APPEND CMAKE_FIND_ROOT_PATH "${VELORA_MINGW_DEPS}")
set(ENV{PKG_CONFIG_LIBDIR} "${VELORA_MINGW_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
