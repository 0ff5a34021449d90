# Functions for building holm plugins, shared by the holm build itself and by
# the installed SDK package (find_package(HlmPlg)).
#
# hlmplg_add_plugin(<target>
#                   SOURCES <file>...
#                   [KEY <private key>]
#                   [OUTPUT_NAME <name>]
#                   [OUTPUT_DIRECTORY <directory>])
#
# Builds the plugin library lib<OUTPUT_NAME>.so (default: lib<target>.so) from
# SOURCES against the SDK alone, and signs it after every build with KEY (an
# Ed25519 private key made with `holm-sign keygen`; default: the variable
# HLMPLG_SIGNING_KEY). The library
#   - exports only what the SDK marks for export (hidden visibility by default),
#   - must resolve every symbol at link time (-Wl,--no-undefined),
#   - carries no run path: the host refuses a plugin whose run path leaves the
#     system library directories, and signing must see the final file.
# Without a key the plugin is built but not signed, with a warning: the host
# will refuse it.

function(hlmplg_add_plugin target)
  cmake_parse_arguments(ARG "" "KEY;OUTPUT_NAME;OUTPUT_DIRECTORY" "SOURCES" ${ARGN})
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "hlmplg_add_plugin(${target}) needs SOURCES")
  endif()
  if(NOT ARG_KEY)
    set(ARG_KEY "${HLMPLG_SIGNING_KEY}")
  endif()

  add_library(${target} MODULE ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE HlmPlg::HlmPlg)
  set_target_properties(${target} PROPERTIES
                        CXX_VISIBILITY_PRESET hidden
                        C_VISIBILITY_PRESET hidden
                        VISIBILITY_INLINES_HIDDEN ON
                        POSITION_INDEPENDENT_CODE ON
                        SKIP_BUILD_RPATH ON
                        INSTALL_RPATH "")
  if(ARG_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME "${ARG_OUTPUT_NAME}")
  endif()
  if(ARG_OUTPUT_DIRECTORY)
    set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY "${ARG_OUTPUT_DIRECTORY}")
  endif()
  if(NOT HLMPLG_ALLOW_UNDEFINED)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()

  if(NOT ARG_KEY)
    message(WARNING "hlmplg_add_plugin(${target}): no KEY and no HLMPLG_SIGNING_KEY; "
                    "the plugin is not signed and the host will refuse it")
    return()
  endif()
  # A cross build that cannot run its own programs (the holm build for 32-bit
  # Windows) leaves its plugins unsigned.
  if(DEFINED HOLM_RUNS_BUILD_PROGRAMS AND NOT HOLM_RUNS_BUILD_PROGRAMS)
    return()
  endif()
  get_filename_component(key "${ARG_KEY}" ABSOLUTE)
  # Named as a target, the signing tool runs through the build's emulator
  # when the build cross-compiles.
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND HlmPlg::holm-sign sign --key "${key}"
                             "$<TARGET_FILE:${target}>"
                     COMMENT "Signing plugin $<TARGET_FILE_NAME:${target}>"
                     VERBATIM)
  # In the holm build the signing tool is built alongside.
  get_target_property(signer HlmPlg::holm-sign ALIASED_TARGET)
  if(signer)
    add_dependencies(${target} ${signer})
  endif()
endfunction()
