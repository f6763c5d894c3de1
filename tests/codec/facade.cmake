# The codec facade: SHA-1, Base64, key derivation and the codec component.
velora_find_package(OpenSSL PACKAGE libssl-dev)
if(CMAKE_CROSSCOMPILING)
  velora_pkg_check_module(VELORA_FACADE_NETTLE nettle
                          PACKAGE "tools/mingw_deps.sh ${VELORA_MINGW_DEPS}")
else()
  velora_pkg_check_module(VELORA_FACADE_NETTLE nettle PACKAGE nettle-dev)
endif()

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

# velora-credtool run as its users run it, and the set-file parser it shares with the build.
if(TARGET velora-credtool)
  add_executable(credtool_tests
    ${CMAKE_CURRENT_LIST_DIR}/credtool_test.cpp
    ${PROJECT_SOURCE_DIR}/tools/credtool/set_file.cpp
  )
  target_link_libraries(credtool_tests PRIVATE velora_codec GTest::gtest_main)
  target_compile_definitions(credtool_tests PRIVATE
    VELORA_CREDTOOL="$<TARGET_FILE:velora-credtool>")
  add_dependencies(credtool_tests velora-credtool)
  velora_warnings(credtool_tests)
  gtest_discover_tests(credtool_tests DISCOVERY_TIMEOUT 30)

  # The configured set must decrypt, as the launcher will decrypt it.
  add_test(NAME credential_set_configured_checks
           COMMAND velora-credtool check-set "${VELORA_CREDENTIAL_SET}")
endif()

# The build's reading of set files: malformed sets stop the build.
foreach(bad header hex)
  set(bad_set "${CMAKE_CURRENT_BINARY_DIR}/bad_${bad}.set")
  if(bad STREQUAL "header")
    file(WRITE "${bad_set}" "password-hex 41\n")
  else()
    file(WRITE "${bad_set}" "velora-credential-set 1\npassword-hex 4109\nLocalFileCrypto \n"
                            "httpuser \nhttppass \nsecret \napisecret \n")
  endif()
  add_test(NAME credential_set_generator_rejects_${bad}
           COMMAND ${CMAKE_COMMAND} -DSET_FILE=${bad_set}
                   -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/bad_${bad}.cpp
                   -P ${PROJECT_SOURCE_DIR}/config/gen_credential_set.cmake)
  set_tests_properties(credential_set_generator_rejects_${bad} PROPERTIES WILL_FAIL TRUE)
endforeach()

# LoadConfiguration with the tests' own credential sets: one that decrypts, and the same with the
# third ciphertext damaged. With the launcher built, each also runs the launcher's sequence
# against the local test server.
if(TARGET velora_config AND COMMAND velora_credential_set_library)
  set(velora_test_sets ${PROJECT_SOURCE_DIR}/tests/config/credential_sets)
  set(velora_with_launcher FALSE)
  set(VELORA_CREDENTIALS_TEST_PORT 18444 CACHE STRING
      "Port the credential tests' launcher runs are aimed at")
  if(TARGET velora_launcher_core AND NOT WIN32)
    if(NOT TARGET velora_test_support)
      add_subdirectory(${PROJECT_SOURCE_DIR}/tests/support ${CMAKE_BINARY_DIR}/tests/support)
    endif()
    set(velora_with_launcher TRUE)
  endif()
  foreach(variant good damaged)
    set(test_target config_credentials_${variant}_tests)
    velora_credential_set_library(velora_test_credentials_${variant}
                                  ${velora_test_sets}/${variant}.set)
    add_executable(${test_target}
      ${PROJECT_SOURCE_DIR}/tests/config/credentials_${variant}_test.cpp)
    set_target_properties(${test_target} PROPERTIES
      VELORA_CREDENTIAL_SET_LIBRARY velora_test_credentials_${variant})
    target_compile_definitions(${test_target} PRIVATE
      VELORA_CREDENTIAL_SETS_DIR="${velora_test_sets}")
    target_link_libraries(${test_target} PRIVATE velora_config GTest::gtest_main)
    if(velora_with_launcher)
      target_link_libraries(${test_target} PRIVATE velora_launcher_core velora_test_support)
      target_compile_definitions(${test_target} PRIVATE VELORA_WITH_LAUNCHER
        VELORA_CREDENTIALS_TEST_PORT=${VELORA_CREDENTIALS_TEST_PORT})
      velora_build_config(${test_target}
        SERVER https://localhost:${VELORA_CREDENTIALS_TEST_PORT}
        SERVICE_API_SERVER https://localhost:${VELORA_CREDENTIALS_TEST_PORT}
        EXTRA_CA_FILE ${VELORA_TEST_CA_DIR}/ca.pem)
      gtest_discover_tests(${test_target} DISCOVERY_TIMEOUT 30
                           PROPERTIES RESOURCE_LOCK velora_credentials_test_port)
    else()
      velora_build_config(${test_target} SERVER https://updates.test
                          SERVICE_API_SERVER https://service.test EXTRA_CA_FILE "")
      gtest_discover_tests(${test_target} DISCOVERY_TIMEOUT 30)
    endif()
    velora_warnings(${test_target})
  endforeach()
endif()

# Released blocks that held a secret must have been wiped: a program of its own, because it
# replaces the global allocation functions.
if(TARGET velora-credtool)
  add_executable(codec_wipe_tests
    ${CMAKE_CURRENT_LIST_DIR}/wipe_test.cpp
    ${PROJECT_SOURCE_DIR}/tools/credtool/credtool.cpp
    ${PROJECT_SOURCE_DIR}/tools/credtool/set_file.cpp
  )
  target_link_libraries(codec_wipe_tests PRIVATE velora_codec GTest::gtest_main)
  velora_warnings(codec_wipe_tests)
  gtest_discover_tests(codec_wipe_tests DISCOVERY_TIMEOUT 30)
endif()
