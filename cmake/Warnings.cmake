# Warnings for everything the project itself compiles. They are errors in the presets and in CI
# (VELORA_WARNINGS_AS_ERRORS); a plain build of any build type, with whatever compiler the user
# has, only reports them.
option(VELORA_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)

function(velora_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${VELORA_WARNINGS_AS_ERRORS}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                           -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
                           -Wimplicit-fallthrough
                           $<$<BOOL:${VELORA_WARNINGS_AS_ERRORS}>:-Werror>)
  endif()
endfunction()
