# velora-credtool: makes and checks credential sets with the launcher's codec.
if(TARGET velora_codec)
  add_executable(velora-credtool
    ${CMAKE_CURRENT_LIST_DIR}/credtool/main.cpp
    ${CMAKE_CURRENT_LIST_DIR}/credtool/credtool.cpp
    ${CMAKE_CURRENT_LIST_DIR}/credtool/set_file.cpp
  )
  target_link_libraries(velora-credtool PRIVATE velora_codec)
  velora_warnings(velora-credtool)
endif()
