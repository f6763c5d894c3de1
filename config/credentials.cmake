# The credential phase: the codec, and the credential set compiled in as program data.

set(VELORA_CREDENTIAL_SET "${PROJECT_SOURCE_DIR}/config/dev_credentials.set" CACHE FILEPATH
    "Credential-set file compiled into the programs: the password and the five ciphertexts")

# velora_credential_set_library(<name> <set file>)
# A library defining velora::kCredentialSet from the set file, regenerated when the file changes.
function(velora_credential_set_library name set_file)
  get_filename_component(set_file "${set_file}" ABSOLUTE)
  set(generator "${PROJECT_SOURCE_DIR}/config/gen_credential_set.cmake")
  set(source "${CMAKE_BINARY_DIR}/credential_sets/${name}.cpp")
  add_custom_command(
    OUTPUT "${source}"
    COMMAND "${CMAKE_COMMAND}" "-DSET_FILE=${set_file}" "-DOUTPUT=${source}" -P "${generator}"
    DEPENDS "${set_file}" "${generator}"
    COMMENT "Compiling the credential set ${set_file}"
    VERBATIM)
  add_library(${name} STATIC "${source}")
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}")
  velora_warnings(${name})
endfunction()

velora_credential_set_library(velora_credential_set "${VELORA_CREDENTIAL_SET}")

# A program links the set its VELORA_CREDENTIAL_SET_LIBRARY property names (tests use sets of
# their own), otherwise the configured one.
set(_velora_chosen_set "$<TARGET_PROPERTY:VELORA_CREDENTIAL_SET_LIBRARY>")
target_link_libraries(velora_config PUBLIC velora_codec
  "$<IF:$<BOOL:${_velora_chosen_set}>,${_velora_chosen_set},velora_credential_set>")
