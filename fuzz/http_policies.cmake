# Harnesses for the transport policies' parsers: URLs, redirect targets, Set-Cookie values and
# authentication challenges with the proxy bypass list.
if(TARGET velora_http)
  foreach(harness http_url_fuzz http_redirect_fuzz http_set_cookie_fuzz http_challenge_fuzz)
    add_executable(${harness} ${CMAKE_CURRENT_LIST_DIR}/${harness}.cpp)
    target_link_libraries(${harness} PRIVATE velora_http)
    target_link_options(${harness} PRIVATE -fsanitize=fuzzer)
    velora_warnings(${harness})
  endforeach()
endif()
