# The launcher's text rules: the integer-text rule against a reference, and the profile reader.
if(TARGET velora_launcher_rules)
  foreach(harness launcher_integer_fuzz launcher_profile_fuzz)
    add_executable(${harness} ${CMAKE_CURRENT_LIST_DIR}/${harness}.cpp)
    target_link_libraries(${harness} PRIVATE velora_launcher_rules)
    target_link_options(${harness} PRIVATE -fsanitize=fuzzer)
    velora_warnings(${harness})
  endforeach()
endif()
