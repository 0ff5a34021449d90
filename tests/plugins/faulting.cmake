# The faulting plugins, built without sanitizers (they would report the faults
# before the core's handler sees them), once as it is and once with
# -fnon-call-exceptions: libfaulting.so and libfaulting_nce.so beside the other
# test plugins; libhostile.so, which throws or faults in a chosen call; and
# libsqlite_user.so, whose database row handler throws, faults or re-enters.
function(_holm_faulting_plugin target source)
  add_library(${target} MODULE "${CMAKE_CURRENT_LIST_DIR}/${source}")
  target_include_directories(${target} PRIVATE "${CMAKE_SOURCE_DIR}/include")
  target_compile_options(${target} PRIVATE -fno-sanitize=all ${ARGN})
  target_link_options(${target} PRIVATE -fno-sanitize=all)
  set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY "${HOLM_TEST_PLUGIN_DIR}"
                                             CXX_VISIBILITY_PRESET hidden)
  holm_sign_target(${target})
  add_dependencies(holm_test_plugins ${target})
endfunction()

_holm_faulting_plugin(faulting faulting_plugin.cpp)
_holm_faulting_plugin(faulting_nce faulting_plugin.cpp -fnon-call-exceptions)
_holm_faulting_plugin(hostile hostile_plugin.cpp)
_holm_faulting_plugin(sqlite_user sqlite_plugin.cpp)
