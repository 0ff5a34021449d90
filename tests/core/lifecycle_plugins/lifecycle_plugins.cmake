# Plugins of the lifecycle tests, built into ${CMAKE_BINARY_DIR}/lifecycle-plugins/:
# the recording plugin as it is (signed and unsigned), with freeHlmPlugin, and
# without its entry point.
set(_holm_lifecycle_dir "${CMAKE_BINARY_DIR}/lifecycle-plugins")
set(_holm_lifecycle_source "${CMAKE_CURRENT_LIST_DIR}/recording_plugin.cpp")

function(_holm_lifecycle_plugin target)
  cmake_parse_arguments(ARG "UNSIGNED" "" "DEFINITIONS" ${ARGN})
  add_library(${target} MODULE "${_holm_lifecycle_source}")
  target_include_directories(${target} PRIVATE "${CMAKE_SOURCE_DIR}/include")
  target_compile_definitions(${target} PRIVATE ${ARG_DEFINITIONS})
  set_target_properties(${target} PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY "${_holm_lifecycle_dir}"
                                             CXX_VISIBILITY_PRESET hidden)
  if(NOT ARG_UNSIGNED)
    holm_sign_target(${target})
  endif()
  add_dependencies(core_tests ${target})
endfunction()

_holm_lifecycle_plugin(lc_recording)
_holm_lifecycle_plugin(lc_with_free DEFINITIONS HOLM_WITH_FREE)
_holm_lifecycle_plugin(lc_no_entry DEFINITIONS HOLM_WITHOUT_ENTRY)
_holm_lifecycle_plugin(lc_unsigned UNSIGNED)

target_compile_definitions(core_tests PRIVATE HOLM_LIFECYCLE_PLUGIN_DIR="${_holm_lifecycle_dir}/")

# The faulting plugin, built without sanitizers (they would report the faults
# before the core's handler sees them), once as it is and once with
# -fnon-call-exceptions.
set(_holm_faulting_source "${CMAKE_CURRENT_LIST_DIR}/faulting_plugin.cpp")
function(_holm_faulting_plugin target)
  add_library(${target} MODULE "${_holm_faulting_source}")
  target_include_directories(${target} PRIVATE "${CMAKE_SOURCE_DIR}/include")
  target_compile_options(${target} PRIVATE -fno-sanitize=all ${ARGN})
  target_link_options(${target} PRIVATE -fno-sanitize=all)
  set_target_properties(${target} PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY "${_holm_lifecycle_dir}"
                                             CXX_VISIBILITY_PRESET hidden)
  holm_sign_target(${target})
  add_dependencies(core_tests ${target})
endfunction()

_holm_faulting_plugin(lc_faulting)
_holm_faulting_plugin(lc_faulting_nce -fnon-call-exceptions)
