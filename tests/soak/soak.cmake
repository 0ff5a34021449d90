# The soak plugins and their plugin list, for scripts/soak: libsoak.so (first
# generation, one behaviour per instance chosen by its params) and
# libsoak2.so (second generation), signed like the examples and placed in
# soak/ of the product directory; the list soak.xml beside the core, signed.
# Built without sanitizers: the faulting instance's faults are for the
# core's boundary, not for a sanitizer to report first.
set(_soak_plugin_dir "${HOLM_PRODUCT_OUTPUT_DIR}/soak")
foreach(_soak soak soak2)
  if(_soak STREQUAL "soak")
    set(_soak_source "${CMAKE_CURRENT_LIST_DIR}/soak_plugin.cpp")
  else()
    set(_soak_source "${CMAKE_CURRENT_LIST_DIR}/soak_plugin2.cpp")
  endif()
  hlmplg_add_plugin(holm_soak_${_soak} SOURCES "${_soak_source}" OUTPUT_NAME ${_soak}
                    OUTPUT_DIRECTORY "${_soak_plugin_dir}")
  target_compile_options(holm_soak_${_soak} PRIVATE -fno-sanitize=all)
  target_link_options(holm_soak_${_soak} PRIVATE -fno-sanitize=all)
endforeach()

set(_soak_list "${HOLM_PRODUCT_OUTPUT_DIR}/soak.xml")
add_custom_command(OUTPUT "${_soak_list}" "${_soak_list}.sig"
                   COMMAND "${CMAKE_COMMAND}" -E copy "${CMAKE_CURRENT_LIST_DIR}/soak.xml" "${_soak_list}"
                   COMMAND holm-sign sign --key "${HOLM_DEVELOPMENT_KEY}" "${_soak_list}"
                   DEPENDS "${CMAKE_CURRENT_LIST_DIR}/soak.xml" holm-sign
                   COMMENT "Signing the soak plugin list"
                   VERBATIM)
add_custom_target(holm_soak ALL DEPENDS "${_soak_list}")
add_dependencies(holm_soak holm_soak_soak holm_soak_soak2)
