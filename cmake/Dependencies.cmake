# Finding what the build needs, with an error that names what to install: the Debian package
# (tools/install_deps.sh lists them all), or the script that builds it for the cross build.
include_guard(GLOBAL)

function(velora_missing_dependency what package)
  if(package MATCHES "^tools/")
    set(hint "run bash ${package}")
  else()
    set(hint "install the Debian package ${package}")
  endif()
  message(FATAL_ERROR "${what} was not found: ${hint} (bash tools/install_deps.sh installs every "
                      "package the build and the tests need)")
endfunction()

# velora_find_package(<name> [find_package arguments...] PACKAGE <Debian package>)
# A macro: find_package's results belong to the caller's scope.
macro(velora_find_package velora_fp_name)
  cmake_parse_arguments(velora_fp "" "PACKAGE" "" ${ARGN})
  find_package(${velora_fp_name} ${velora_fp_UNPARSED_ARGUMENTS})
  string(TOUPPER "${velora_fp_name}" velora_fp_upper)
  if(NOT ${velora_fp_name}_FOUND AND NOT ${velora_fp_upper}_FOUND)
    velora_missing_dependency("${velora_fp_name} ${velora_fp_UNPARSED_ARGUMENTS}"
                              "${velora_fp_PACKAGE}")
  endif()
endmacro()

# velora_pkg_check_module(<prefix> <pkg-config module> [GLOBAL] PACKAGE <Debian package>)
# Defines PkgConfig::<prefix>.
macro(velora_pkg_check_module velora_pm_prefix velora_pm_module)
  cmake_parse_arguments(velora_pm "GLOBAL" "PACKAGE" "" ${ARGN})
  velora_find_package(PkgConfig PACKAGE pkg-config)
  if(velora_pm_GLOBAL)
    pkg_check_modules(${velora_pm_prefix} IMPORTED_TARGET GLOBAL ${velora_pm_module})
  else()
    pkg_check_modules(${velora_pm_prefix} IMPORTED_TARGET ${velora_pm_module})
  endif()
  if(NOT ${velora_pm_prefix}_FOUND)
    velora_missing_dependency("The pkg-config module ${velora_pm_module}" "${velora_pm_PACKAGE}")
  endif()
endmacro()
