# Turns a credential-set file into C++ source defining velora::kCredentialSet.
# Usage: cmake -DSET_FILE=<set> -DOUTPUT=<file.cpp> -P gen_credential_set.cmake
#
# Set file: one "<name> <value>" per line; blank lines and lines starting with '#' are ignored.
# The first such line is "velora-credential-set 1". Then, each exactly once:
#   password-hex     the password's bytes in hex, every byte printable ASCII (20 to 7e)
#   LocalFileCrypto, httpuser, httppass, secret, apisecret
#                    the Base64 ciphertexts (alphabet A-Z a-z 0-9 + / and '='; may be empty)

cmake_minimum_required(VERSION 3.25)

if(NOT SET_FILE OR NOT OUTPUT)
  message(FATAL_ERROR "gen_credential_set.cmake needs SET_FILE and OUTPUT")
endif()
if(NOT EXISTS "${SET_FILE}")
  message(FATAL_ERROR "Credential set \"${SET_FILE}\" does not exist")
endif()

file(READ "${SET_FILE}" content)
# Characters that CMake lists treat specially are invalid in every value; keep them out of the
# list splitting so that a comment holding one cannot shift the lines.
string(REPLACE ";" "<semicolon>" content "${content}")
string(REPLACE "[" "<bracket>" content "${content}")
string(REPLACE "]" "<bracket>" content "${content}")
string(REPLACE "\\" "<backslash>" content "${content}")
string(REPLACE "\r\n" "\n" content "${content}")
string(REPLACE "\n" ";" lines "${content}")

set(names password-hex LocalFileCrypto httpuser httppass secret apisecret)
set(seen_header FALSE)
set(line_no 0)
foreach(line IN LISTS lines)
  math(EXPR line_no "${line_no} + 1")
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  if(NOT seen_header)
    if(NOT line STREQUAL "velora-credential-set 1")
      message(FATAL_ERROR "${SET_FILE}:${line_no}: expected \"velora-credential-set 1\"")
    endif()
    set(seen_header TRUE)
    continue()
  endif()
  if(NOT line MATCHES "^([A-Za-z-]+)( (.*))?$")
    message(FATAL_ERROR "${SET_FILE}:${line_no}: expected \"<name> <value>\"")
  endif()
  set(name "${CMAKE_MATCH_1}")
  set(value "${CMAKE_MATCH_3}")
  if(NOT name IN_LIST names)
    message(FATAL_ERROR "${SET_FILE}:${line_no}: unknown name \"${name}\"")
  endif()
  if(DEFINED value_${name})
    message(FATAL_ERROR "${SET_FILE}:${line_no}: \"${name}\" given twice")
  endif()
  if(name STREQUAL "password-hex")
    string(LENGTH "${value}" hex_length)
    math(EXPR odd "${hex_length} % 2")
    if(NOT value MATCHES "^[0-9A-Fa-f]+$" OR odd)
      message(FATAL_ERROR "${SET_FILE}:${line_no}: the password must be a non-empty, even number of hex digits")
    endif()
  elseif(NOT value MATCHES "^[A-Za-z0-9+/=]*$")
    message(FATAL_ERROR "${SET_FILE}:${line_no}: \"${name}\" is not Base64 text")
  endif()
  set(value_${name} "${value}")
endforeach()

if(NOT seen_header)
  message(FATAL_ERROR "${SET_FILE}: not a credential set")
endif()
foreach(name IN LISTS names)
  if(NOT DEFINED value_${name})
    message(FATAL_ERROR "${SET_FILE}: \"${name}\" is missing")
  endif()
endforeach()

# The password as code units, so that quotes, backslashes and blanks need no escaping.
string(TOLOWER "${value_password-hex}" hex)
string(REGEX MATCHALL ".." password_bytes "${hex}")
set(units "")
set(count 0)
foreach(byte IN LISTS password_bytes)
  if(byte STRLESS "20" OR byte STRGREATER "7e")
    message(FATAL_ERROR "${SET_FILE}: the password holds a byte (0x${byte}) that is not printable ASCII")
  endif()
  math(EXPR column "${count} % 12")
  if(column EQUAL 0)
    string(APPEND units "\n    ")
  else()
    string(APPEND units " ")
  endif()
  string(APPEND units "0x${byte},")
  math(EXPR count "${count} + 1")
endforeach()

file(WRITE "${OUTPUT}.tmp" "// Generated from ${SET_FILE}; do not edit.
#include \"config/credential_set.hpp\"

namespace velora {

namespace {

constexpr char16_t kPassword[${count}] = {${units}
};

} // namespace

const TCredentialSet kCredentialSet = {
    std::u16string_view(kPassword, ${count}),
    u\"${value_LocalFileCrypto}\",
    u\"${value_httpuser}\",
    u\"${value_httppass}\",
    u\"${value_secret}\",
    u\"${value_apisecret}\",
};

} // namespace velora
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
