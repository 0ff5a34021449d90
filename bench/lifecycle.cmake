# Run and stop of 100 trivial plugins through the core, against loading the
# same files directly. The plugins are 100 signed copies of the "ok" test
# plugin under distinct names: one file loaded under 100 list names would be
# a single module to the loader.
if(TARGET holm_test_plugin_ok)
  set(_holm_bench_plugin_dir "${CMAKE_BINARY_DIR}/bench-plugins")
  set(_holm_bench_plugin_ok "$<TARGET_FILE:holm_test_plugin_ok>")
  set(_holm_bench_plugin_outputs)
  set(_holm_bench_plugin_commands)
  foreach(_index RANGE 99)
    set(_copy "${_holm_bench_plugin_dir}/libok${_index}.so")
    list(APPEND _holm_bench_plugin_outputs "${_copy}" "${_copy}.sig")
    list(APPEND _holm_bench_plugin_commands
         COMMAND "${CMAKE_COMMAND}" -E copy "${_holm_bench_plugin_ok}" "${_copy}"
         COMMAND holm-sign sign --key "${HOLM_DEVELOPMENT_KEY}" "${_copy}")
  endforeach()
  add_custom_command(OUTPUT ${_holm_bench_plugin_outputs}
                     COMMAND "${CMAKE_COMMAND}" -E make_directory "${_holm_bench_plugin_dir}"
                     ${_holm_bench_plugin_commands}
                     DEPENDS holm_test_plugin_ok holm-sign "${_holm_bench_plugin_ok}"
                     COMMENT "Making 100 signed copies of the ok test plugin"
                     VERBATIM)
  add_custom_target(holm_bench_plugins DEPENDS ${_holm_bench_plugin_outputs})

  holm_add_benchmark(lifecycle_bench SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/lifecycle_bench.cpp
                     DEPS holm_security holm_platform holm_common)
  add_dependencies(lifecycle_bench holmcore holm_master_texts holm_messages holm_bench_plugins)
  target_compile_definitions(lifecycle_bench PRIVATE HOLM_CORE_LIBRARY="$<TARGET_FILE:holmcore>"
                             HOLM_BENCH_PLUGIN_DIR="${_holm_bench_plugin_dir}")
endif()
