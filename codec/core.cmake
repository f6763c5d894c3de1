# Algorithm registry, Twofish, chaining modes and the stream-to-block adapter.
add_library(velora_codec_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/component.cpp
)
target_include_directories(velora_codec_core PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(velora_codec_core PUBLIC velora_rtl)
velora_warnings(velora_codec_core)
