# The faulting plugins, built without sanitizers (they would report the faults
# before the core's handler sees them), once as it is and once with
# -fnon-call-exceptions: libfaulting.so and libfaulting_nce.so beside the other
# test plugins.
function(_holm_faulting_plugin target)
  add_library(${target} MODULE "${CMAKE_CURRENT_LIST_DIR}/faulting_plugin.cpp")
  target_include_directories(${target} PRIVATE "${CMAKE_SOURCE_DIR}/include")
  target_compile_options(${target} PRIVATE -fno-sanitize=all ${ARGN})
  target_link_options(${target} PRIVATE -fno-sanitize=all)
  set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY "${HOLM_TEST_PLUGIN_DIR}"
                                             CXX_VISIBILITY_PRESET hidden)
  holm_sign_target(${target})
  add_dependencies(holm_test_plugins ${target})
endfunction()

_holm_faulting_plugin(faulting)
_holm_faulting_plugin(faulting_nce -fnon-call-exceptions)
