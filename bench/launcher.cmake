# The launcher against curl: a driver script plus the download step as a program of its own.
if(TARGET velora_launcher_core AND COMMAND velora_build_config AND TARGET velora_test_support)
  add_executable(download_bench ${CMAKE_CURRENT_LIST_DIR}/download_bench.cpp)
  target_link_libraries(download_bench PRIVATE velora_launcher_core)
  velora_build_config(download_bench EXTRA_CA_FILE ${VELORA_TEST_CA_DIR}/ca.pem)
  add_dependencies(download_bench velora_test_ca)
  velora_warnings(download_bench)
endif()
