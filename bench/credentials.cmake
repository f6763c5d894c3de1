# LoadConfiguration as the launcher runs it, beside one no-update HTTPS request.
if(TARGET velora_config AND TARGET velora_http AND TARGET velora_test_support
   AND COMMAND velora_build_config)
  add_executable(credentials_bench ${CMAKE_CURRENT_LIST_DIR}/credentials_bench.cpp)
  target_link_libraries(credentials_bench PRIVATE velora_config velora_http velora_test_support
                        benchmark::benchmark)
  velora_build_config(credentials_bench EXTRA_CA_FILE ${VELORA_TEST_CA_DIR}/ca.pem)
  add_dependencies(credentials_bench velora_test_ca)
  velora_warnings(credentials_bench)
endif()
