# Warnings are errors for everything the project itself compiles.
function(velora_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                           -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
                           -Wimplicit-fallthrough -Werror)
  endif()
endfunction()
