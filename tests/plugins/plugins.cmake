# Test plugins: real first-generation plugin libraries, compiled against the
# SDK alone from one source (test_plugin.cpp), one library per behaviour, each
# signed like a product plugin. They land in ${HOLM_TEST_PLUGIN_DIR} as
# lib<behaviour>.so; the suites find them through the HOLM_TEST_PLUGIN_DIR
# compile definition and build them through the target holm_test_plugins.
set(HOLM_TEST_PLUGIN_DIR "${CMAKE_BINARY_DIR}/test-plugins")

# <library base name> <behaviour>
set(_holm_test_plugins
    ok Ok
    fail_load FailLoad
    fail_start FailStart
    fail_stop FailStop
    wrong_version WrongVersion
    no_export NoExport
    null_plugin NullPlugin
    throw_std ThrowStd
    throw_hlm ThrowHlm
    not_installed NotInstalled
    free_records FreeRecords
    old_version OldVersion
    keeps_handler KeepsHandler)

set(_holm_test_plugin_targets)
while(NOT "${_holm_test_plugins}" STREQUAL "")
  list(POP_FRONT _holm_test_plugins _name _behaviour)
  set(_target holm_test_plugin_${_name})
  add_library(${_target} MODULE "${CMAKE_CURRENT_LIST_DIR}/test_plugin.cpp")
  target_include_directories(${_target} PRIVATE "${CMAKE_SOURCE_DIR}/include")
  target_compile_definitions(${_target} PRIVATE HOLM_TEST_PLUGIN_BEHAVIOUR=${_behaviour}
                                                HOLM_TEST_PLUGIN_DEFAULT_NAME="${_name}")
  # Everything a plugin needs comes from the SDK headers: nothing stays
  # unresolved.
  holm_link_self_contained(${_target})
  set_target_properties(${_target} PROPERTIES OUTPUT_NAME ${_name}
                        LIBRARY_OUTPUT_DIRECTORY "${HOLM_TEST_PLUGIN_DIR}")
  holm_sign_target(${_target})
  list(APPEND _holm_test_plugin_targets ${_target})
endwhile()
target_compile_definitions(holm_test_plugin_no_export PRIVATE HOLM_TEST_PLUGIN_WITHOUT_ENTRY)
target_compile_definitions(holm_test_plugin_free_records PRIVATE HOLM_TEST_PLUGIN_EXPORTS_FREE)

# Copies of the signed "ok" plugin that the signature check must refuse:
# libunsigned.so has no signature; libtampered.so was signed under its own
# name and then had one byte appended.
set(_ok "$<TARGET_FILE:holm_test_plugin_ok>")
set(_unsigned "${HOLM_TEST_PLUGIN_DIR}/libunsigned${CMAKE_SHARED_MODULE_SUFFIX}")
set(_tampered "${HOLM_TEST_PLUGIN_DIR}/libtampered${CMAKE_SHARED_MODULE_SUFFIX}")
add_custom_command(OUTPUT "${_unsigned}" "${_tampered}" "${_tampered}.sig"
                   COMMAND "${CMAKE_COMMAND}" -E copy "${_ok}" "${_unsigned}"
                   COMMAND "${CMAKE_COMMAND}" -E rm -f "${_unsigned}.sig"
                   COMMAND "${CMAKE_COMMAND}" -E copy "${_ok}" "${_tampered}"
                   COMMAND holm-sign sign --key "${HOLM_DEVELOPMENT_KEY}" "${_tampered}"
                   COMMAND "${CMAKE_COMMAND}" -DFILE=${_tampered}
                           -P "${CMAKE_CURRENT_LIST_DIR}/append_byte.cmake"
                   DEPENDS holm_test_plugin_ok holm-sign "${_ok}"
                           "${CMAKE_CURRENT_LIST_DIR}/append_byte.cmake"
                   COMMENT "Making unsigned and tampered copies of the ok test plugin"
                   VERBATIM)
add_custom_target(holm_test_plugin_copies DEPENDS "${_unsigned}" "${_tampered}")

add_custom_target(holm_test_plugins)
add_dependencies(holm_test_plugins ${_holm_test_plugin_targets} holm_test_plugin_copies)
include("${CMAKE_CURRENT_LIST_DIR}/faulting.cmake")

# Run paths are ELF's; on Windows the platform tests cover the loader's
# search rule with libraries of their own.
if(NOT WIN32)
  # Signed plugins whose run path leaves the system library directories, which
  # the loader must refuse before loading: librunpath_elsewhere.so needs the
  # unsigned libholm_test_dependency.so through an absolute run path into the
  # build tree; librunpath_origin.so has "$ORIGIN" as its run path.
  add_library(holm_test_dependency SHARED "${CMAKE_CURRENT_LIST_DIR}/dependency.cpp")
  set_target_properties(holm_test_dependency PROPERTIES
                        LIBRARY_OUTPUT_DIRECTORY "${HOLM_TEST_PLUGIN_DIR}/dependencies")
  # More ways to name that unsigned library: libauxiliary.so and libfilter.so
  # name it by path as their auxiliary and filter library; libdeep.so names
  # libholm_test_middle.so through a run path into test-plugins/system (a
  # system library directory for the tests that say so), and that root-owned
  # library names the unsigned one through its own run path.
  add_library(holm_test_middle SHARED "${CMAKE_CURRENT_LIST_DIR}/dependency.cpp")
  target_compile_definitions(holm_test_middle PRIVATE HOLM_TEST_DEPENDENCY_NAME="middle")
  set_target_properties(holm_test_middle PROPERTIES
                        LIBRARY_OUTPUT_DIRECTORY "${HOLM_TEST_PLUGIN_DIR}/system")
  target_link_libraries(holm_test_middle PRIVATE
                        -Wl,--no-as-needed holm_test_dependency -Wl,--as-needed)
  set(_unsigned_dependency "${HOLM_TEST_PLUGIN_DIR}/dependencies/libholm_test_dependency.so")
  foreach(_name IN ITEMS runpath_elsewhere runpath_origin auxiliary filter deep)
    set(_target holm_test_plugin_${_name})
    add_library(${_target} MODULE "${CMAKE_CURRENT_LIST_DIR}/test_plugin.cpp")
    target_include_directories(${_target} PRIVATE "${CMAKE_SOURCE_DIR}/include")
    target_compile_definitions(${_target} PRIVATE HOLM_TEST_PLUGIN_BEHAVIOUR=Ok
                                                  HOLM_TEST_PLUGIN_DEFAULT_NAME="${_name}")
    set_target_properties(${_target} PROPERTIES OUTPUT_NAME ${_name}
                          LIBRARY_OUTPUT_DIRECTORY "${HOLM_TEST_PLUGIN_DIR}")
    holm_sign_target(${_target})
    add_dependencies(holm_test_plugins ${_target})
  endforeach()
  # Needed without any symbol use, so that only the run path decides.
  target_link_libraries(holm_test_plugin_runpath_elsewhere PRIVATE
                        -Wl,--no-as-needed holm_test_dependency -Wl,--as-needed)
  set_target_properties(holm_test_plugin_runpath_origin PROPERTIES BUILD_RPATH "$ORIGIN")
  target_link_options(holm_test_plugin_auxiliary PRIVATE "-Wl,--auxiliary=${_unsigned_dependency}")
  target_link_options(holm_test_plugin_filter PRIVATE "-Wl,--filter=${_unsigned_dependency}")
  add_dependencies(holm_test_plugins holm_test_dependency)
  target_link_libraries(holm_test_plugin_deep PRIVATE
                        -Wl,--no-as-needed holm_test_middle -Wl,--as-needed)
  # Its run path names test-plugins/system alone.
  set_target_properties(holm_test_plugin_deep PROPERTIES SKIP_BUILD_RPATH ON)
  target_link_options(holm_test_plugin_deep PRIVATE "-Wl,-rpath,${HOLM_TEST_PLUGIN_DIR}/system"
                      "-Wl,-rpath-link,${HOLM_TEST_PLUGIN_DIR}/dependencies")
endif()

# The second-generation test plugin: one library, a root per behaviour.
add_library(holm_test_plugin2 MODULE "${CMAKE_CURRENT_LIST_DIR}/plugin2_test_plugin.cpp")
target_include_directories(holm_test_plugin2 PRIVATE "${CMAKE_SOURCE_DIR}/include")
holm_link_self_contained(holm_test_plugin2)
set_target_properties(holm_test_plugin2 PROPERTIES OUTPUT_NAME plugin2
                      LIBRARY_OUTPUT_DIRECTORY "${HOLM_TEST_PLUGIN_DIR}")
# Its faulting roots must reach the core's fault handler, not a sanitizer.
target_compile_options(holm_test_plugin2 PRIVATE -fno-sanitize=all)
target_link_options(holm_test_plugin2 PRIVATE -fno-sanitize=all)
holm_sign_target(holm_test_plugin2)
add_dependencies(holm_test_plugins holm_test_plugin2)
