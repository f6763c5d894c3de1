# Harnesses for the response header rules: the header block parser and the charset parameter.
if(TARGET velora_http)
  foreach(harness http_headers_fuzz http_charset_fuzz)
    add_executable(${harness} ${CMAKE_CURRENT_LIST_DIR}/${harness}.cpp)
    target_link_libraries(${harness} PRIVATE velora_http)
    target_link_options(${harness} PRIVATE -fsanitize=fuzzer)
    velora_warnings(${harness})
  endforeach()
endif()
