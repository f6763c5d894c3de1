# Turns the update keys file into C++ source defining velora::kUpdatePublicKeys.
# Usage: cmake -DKEYS_FILE=<pem or empty> -DOUTPUT=<file.cpp> -P gen_update_keys.cmake
#
# The grammar is ParseUpdateKeyFile's (signing/key_file.hpp): "PUBLIC KEY" blocks holding the
# SubjectPublicKeyInfo of an uncompressed P-256 point; outside them only blank lines and lines
# starting with '#'; LF or CR LF. An empty KEYS_FILE gives an empty list. Whether each key is a
# point of the curve is checked when the source is compiled, naming the key's line.

cmake_minimum_required(VERSION 3.25)

if(NOT OUTPUT)
  message(FATAL_ERROR "gen_update_keys.cmake needs OUTPUT")
endif()

set(keys "")
set(checks "")
if(NOT KEYS_FILE STREQUAL "")
  if(NOT EXISTS "${KEYS_FILE}" OR IS_DIRECTORY "${KEYS_FILE}")
    message(FATAL_ERROR "Update keys file \"${KEYS_FILE}\" does not exist")
  endif()
  file(READ "${KEYS_FILE}" content)
  # Characters that CMake lists treat specially are invalid everywhere in the file; keep them out
  # of the list splitting so that line numbers stay right.
  string(REPLACE ";" "<semicolon>" content "${content}")
  string(REPLACE "[" "<bracket>" content "${content}")
  string(REPLACE "]" "<bracket>" content "${content}")
  string(REPLACE "\\" "<backslash>" content "${content}")
  string(REPLACE "\n" ";" lines "${content}")

  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  set(prefix "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE")
  set(in_block FALSE)
  set(line_no 0)
  set(count_keys 0)
  list(LENGTH lines line_count)
  foreach(line IN LISTS lines)
    math(EXPR line_no "${line_no} + 1")
    # A last line without its line end is read like the others; an empty one is no line.
    if(line_no EQUAL line_count AND line STREQUAL "")
      break()
    endif()
    string(REGEX REPLACE "\r$" "" line "${line}")
    set(where "${KEYS_FILE}:${line_no}")
    if(NOT in_block)
      if(line MATCHES "^[ \t]*$" OR line MATCHES "^#")
        continue()
      endif()
      if(NOT line MATCHES "^-----BEGIN (.*)-----$")
        message(FATAL_ERROR "${where}: text outside a key block")
      endif()
      set(label "${CMAKE_MATCH_1}")
      if(label MATCHES "PRIVATE")
        message(FATAL_ERROR "${where}: a private key; only public keys belong in the update keys file")
      endif()
      if(NOT label STREQUAL "PUBLIC KEY")
        message(FATAL_ERROR "${where}: a \"${label}\" block; expected \"PUBLIC KEY\"")
      endif()
      set(in_block TRUE)
      set(block_start ${line_no})
      set(base64 "")
      continue()
    endif()

    if(line MATCHES "^-----END ")
      if(NOT line STREQUAL "-----END PUBLIC KEY-----")
        message(FATAL_ERROR "${where}: expected \"-----END PUBLIC KEY-----\"")
      endif()
      set(in_block FALSE)
      set(bad "${KEYS_FILE}:${block_start}: not an ECDSA P-256 public key (an uncompressed point on the curve prime256v1 is expected)")
      string(LENGTH "${base64}" length)
      if(NOT length EQUAL 124 OR NOT base64 MATCHES "^${prefix}.*==$")
        message(FATAL_ERROR "${bad}")
      endif()
      # Decode the 86 characters after the prefix: 64 bytes and 4 bits that must be zero.
      set(bits 0)
      set(nbits 0)
      set(bytes "")
      foreach(i RANGE 36 121)
        string(SUBSTRING "${base64}" ${i} 1 c)
        string(FIND "${alphabet}" "${c}" value)
        if(value LESS 0)
          message(FATAL_ERROR "${bad}")
        endif()
        math(EXPR bits "(${bits} << 6) | ${value}")
        math(EXPR nbits "${nbits} + 6")
        if(nbits GREATER_EQUAL 8)
          math(EXPR nbits "${nbits} - 8")
          math(EXPR byte "${bits} >> ${nbits}" OUTPUT_FORMAT HEXADECIMAL)
          math(EXPR bits "${bits} & ((1 << ${nbits}) - 1)")
          list(APPEND bytes ${byte})
        endif()
      endforeach()
      if(NOT bits EQUAL 0)
        message(FATAL_ERROR "${bad}")
      endif()
      list(JOIN bytes ", " key)
      if("${key}" IN_LIST seen)
        message(FATAL_ERROR "${KEYS_FILE}:${block_start}: the same key a second time")
      endif()
      list(APPEND seen "${key}")
      string(APPEND keys "    {{${key}}},\n")
      # The curve arithmetic is C++ (signing/p256_point.hpp), so the compiler checks the point.
      string(REPLACE "\\" "\\\\" literal "${KEYS_FILE}:${block_start}")
      string(REPLACE "\"" "\\\"" literal "${literal}")
      string(APPEND checks "static_assert(IsP256Point(kKeys[${count_keys}]),
              \"${literal}: not a point of the curve P-256, so no updater could be verified with it\");\n")
      math(EXPR count_keys "${count_keys} + 1")
      continue()
    endif()
    if(NOT line MATCHES "^[A-Za-z0-9+/=]+$")
      message(FATAL_ERROR "${where}: not Base64 text inside the key block")
    endif()
    string(APPEND base64 "${line}")
  endforeach()
  if(in_block)
    message(FATAL_ERROR "${KEYS_FILE}:${block_start}: the block has no \"-----END PUBLIC KEY-----\" line")
  endif()
  if(count_keys EQUAL 0)
    message(FATAL_ERROR "${KEYS_FILE}: no public key in it")
  endif()
endif()

if(keys STREQUAL "")
  set(definition "const std::span<const TP256PublicKey> kUpdatePublicKeys;")
else()
  set(definition "namespace {

constexpr TP256PublicKey kKeys[] = {
${keys}};

${checks}
} // namespace

const std::span<const TP256PublicKey> kUpdatePublicKeys(kKeys);")
endif()

file(WRITE "${OUTPUT}.tmp" "// Generated from the update keys file \"${KEYS_FILE}\"; do not edit.
#include \"signing/p256_point.hpp\"
#include \"signing/update_keys.hpp\"

namespace velora {

${definition}

} // namespace velora
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
