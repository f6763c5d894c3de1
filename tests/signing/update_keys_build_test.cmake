# The build's reading of one bad update keys file: run with cmake -P and -DKEYS_FILE=<bad-*.pem>
# -DCOMPILER=<the build's C++ compiler> -DSOURCE_DIR=<the sources> -DWORK=<a folder>. Passes when
# making or compiling the keys' source stops with the file, the line and the reason that the
# file's "# expect:" line names.
cmake_minimum_required(VERSION 3.25)

file(STRINGS "${KEYS_FILE}" first LIMIT_COUNT 1)
if(NOT first MATCHES "^# expect: (.*)$")
  message(FATAL_ERROR "${KEYS_FILE} does not start with \"# expect: \"")
endif()
# "<line>: <reason>", or ": <reason>" for the file as a whole.
set(expect "${KEYS_FILE}:${CMAKE_MATCH_1}")
string(REPLACE "::" ":" expect "${expect}")

set(source "${WORK}/keys.cpp")
file(REMOVE "${source}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" "-DKEYS_FILE=${KEYS_FILE}" "-DOUTPUT=${source}"
          -P "${SOURCE_DIR}/signing/gen_update_keys.cmake"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(result EQUAL 0)
  # Some checks are the compiler's (static_assert in the generated source).
  execute_process(
    COMMAND "${COMPILER}" -std=c++20 -fsyntax-only "-I${SOURCE_DIR}" "${source}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
endif()
if(result EQUAL 0)
  message(FATAL_ERROR "the build accepted ${KEYS_FILE}")
endif()
# CMake wraps its messages.
string(REGEX REPLACE "[ \t\r\n]+" " " output "${output}")
string(FIND "${output}" "${expect}" at)
if(at LESS 0)
  message(FATAL_ERROR "the build refused ${KEYS_FILE} without \"${expect}\":\n${output}")
endif()
