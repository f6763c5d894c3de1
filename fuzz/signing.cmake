# The signature document parser against its own canonical form.
if(TARGET velora_signing)
  add_executable(signing_document_fuzz ${CMAKE_CURRENT_LIST_DIR}/signing_document_fuzz.cpp)
  target_link_libraries(signing_document_fuzz PRIVATE velora_signing)
  target_link_options(signing_document_fuzz PRIVATE -fsanitize=fuzzer)
  velora_warnings(signing_document_fuzz)
endif()
