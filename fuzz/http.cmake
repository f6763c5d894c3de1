# Harnesses for the response rules: the header block parser, the charset parameter and the
# bounded gzip decoder.
if(TARGET velora_http)
  foreach(harness http_headers_fuzz http_charset_fuzz http_gzip_fuzz)
    add_executable(${harness} ${CMAKE_CURRENT_LIST_DIR}/${harness}.cpp)
    target_link_libraries(${harness} PRIVATE velora_http)
    target_link_options(${harness} PRIVATE -fsanitize=fuzzer)
    velora_warnings(${harness})
  endforeach()
endif()
