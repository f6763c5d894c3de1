# Arbitrary ciphertext in arbitrary chunks into the stream-to-block decryptor.
if(TARGET velora_codec_core)
  add_executable(codec_decryptor_fuzz ${CMAKE_CURRENT_LIST_DIR}/codec_decryptor_fuzz.cpp)
  target_link_libraries(codec_decryptor_fuzz PRIVATE velora_codec_core)
  target_link_options(codec_decryptor_fuzz PRIVATE -fsanitize=fuzzer)
  velora_warnings(codec_decryptor_fuzz)
endif()
