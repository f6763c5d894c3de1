# Algorithm registry, Twofish, chaining modes and the stream-to-block adapter.
add_library(velora_codec_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/component.cpp
  ${CMAKE_CURRENT_LIST_DIR}/crypto_library.cpp
  ${CMAKE_CURRENT_LIST_DIR}/placeholder_algorithms.cpp
  ${CMAKE_CURRENT_LIST_DIR}/twofish.cpp
  ${CMAKE_CURRENT_LIST_DIR}/chaining.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stream_to_block.cpp
  ${CMAKE_CURRENT_LIST_DIR}/random.cpp
)
if(WIN32)
  target_sources(velora_codec_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/random_win32.cpp)
  target_link_libraries(velora_codec_core PRIVATE bcrypt)
else()
  target_sources(velora_codec_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/random_posix.cpp)
endif()
target_include_directories(velora_codec_core PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(velora_codec_core PUBLIC velora_rtl)
velora_warnings(velora_codec_core)
