# DecryptString with arbitrary Base64 text and passwords, through the whole codec.
if(TARGET velora_codec)
  add_executable(codec_decrypt_string_fuzz ${CMAKE_CURRENT_LIST_DIR}/codec_decrypt_string_fuzz.cpp)
  target_link_libraries(codec_decrypt_string_fuzz PRIVATE velora_codec)
  target_link_options(codec_decrypt_string_fuzz PRIVATE -fsanitize=fuzzer)
  velora_warnings(codec_decrypt_string_fuzz)
endif()
