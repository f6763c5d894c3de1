# Harnesses for the transport policies' parsers: URLs (alone and against libcurl's reading of
# them), redirect targets, Set-Cookie values and authentication challenges with the proxy bypass
# list, and cookie domains against the two Public Suffix Lists.
if(TARGET velora_http)
  foreach(harness http_url_fuzz http_redirect_fuzz http_set_cookie_fuzz http_challenge_fuzz)
    add_executable(${harness} ${CMAKE_CURRENT_LIST_DIR}/${harness}.cpp)
    target_link_libraries(${harness} PRIVATE velora_http)
    target_link_options(${harness} PRIVATE -fsanitize=fuzzer)
    velora_warnings(${harness})
  endforeach()
  # The host the URL parser reports against the one libcurl reads from the URL it is handed.
  find_package(CURL QUIET)
  if(TARGET CURL::libcurl)
    add_executable(http_host_differential_fuzz
                   ${CMAKE_CURRENT_LIST_DIR}/http_host_differential_fuzz.cpp)
    target_link_libraries(http_host_differential_fuzz PRIVATE velora_http CURL::libcurl)
    target_link_options(http_host_differential_fuzz PRIVATE -fsanitize=fuzzer)
    velora_warnings(http_host_differential_fuzz)
  endif()
  # The compiled-in Public Suffix List against libpsl.
  add_executable(http_public_suffix_fuzz ${CMAKE_CURRENT_LIST_DIR}/http_public_suffix_fuzz.cpp)
  target_link_libraries(http_public_suffix_fuzz PRIVATE velora_http velora_public_suffix_list
                        PkgConfig::PSL)
  target_compile_definitions(http_public_suffix_fuzz PRIVATE
                             VELORA_PUBLIC_SUFFIX_LIST="${VELORA_PUBLIC_SUFFIX_LIST}")
  target_link_options(http_public_suffix_fuzz PRIVATE -fsanitize=fuzzer)
  velora_warnings(http_public_suffix_fuzz)
endif()
