# The build configuration's check of the server addresses: run with cmake -P.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/BuildConfig.cmake)

set(good
  "https://localhost" "https://localhost:8443" "https://updates.velora.example"
  "https://127.0.0.1:18443" "https://[::1]:443" "https://a-b.C0:65535")
set(bad
  "https://updates.velora.example/" "https://localhost:8443/" "https://host/library"
  "https://host?x=1" "https://host#f" "http://host" "HTTPS://host" "https://" "https://host:"
  "https://host:0" "https://host:08443" "https://host:65536" "https://user@host"
  "https://-host" "https://host." "https://ho st" " https://host" "https://host " "" "x")
set(failures 0)
foreach(url IN LISTS good)
  velora_server_url_problem(problem "${url}")
  if(problem)
    message(SEND_ERROR "refused \"${url}\": ${problem}")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()
foreach(url IN LISTS bad)
  velora_server_url_problem(problem "${url}")
  if(NOT problem)
    message(SEND_ERROR "accepted \"${url}\"")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()

# A configure with such an address stops with a message that names the variable.
execute_process(
  COMMAND ${CMAKE_COMMAND} "-DVELORA_SERVER=https://updates.velora.example/"
          -P ${CMAKE_CURRENT_LIST_DIR}/../../cmake/BuildConfig.cmake
  RESULT_VARIABLE result ERROR_VARIABLE output)
if(result EQUAL 0 OR NOT output MATCHES "VELORA_SERVER is \"https://updates.velora.example/\"")
  message(SEND_ERROR "a trailing \"/\" did not stop the configuration: ${output}")
  math(EXPR failures "${failures} + 1")
endif()

list(LENGTH good n_good)
list(LENGTH bad n_bad)
math(EXPR total "${n_good} + ${n_bad} + 1")
math(EXPR passed "${total} - ${failures}")
message("${passed} passed, ${failures} failed")
