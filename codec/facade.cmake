# The codec facade, password-to-key derivation and hashing, on top of the codec core.

# The registry lists SHA-1 among its built-in hashes, so the core carries its implementation.
target_sources(velora_codec_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/sha1.cpp)

add_library(velora_codec STATIC
  ${CMAKE_CURRENT_LIST_DIR}/base64.cpp
  ${CMAKE_CURRENT_LIST_DIR}/codec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/desalination.cpp
  ${CMAKE_CURRENT_LIST_DIR}/simple_hash.cpp
)
target_link_libraries(velora_codec PUBLIC velora_codec_core)
velora_warnings(velora_codec)
