# The product's programs the tests run, with the test plugins and the
# product directory's examples.
add_dependencies(product_tests avholm holm-sign holmcore holmcfg holm_master_texts holm_messages
                 example_plugin_list holm_test_plugins)
target_compile_definitions(product_tests PRIVATE
  HOLM_TEST_PLUGIN_DIR="${HOLM_TEST_PATH_PREFIX}${HOLM_TEST_PLUGIN_DIR}"
  HOLM_TEST_PLUGIN_SUFFIX="${CMAKE_SHARED_MODULE_SUFFIX}"
  HOLM_TEST_PROGRAM_SUFFIX="${CMAKE_EXECUTABLE_SUFFIX}"
  HOLM_AVHOLM_PROGRAM="${HOLM_TEST_PATH_PREFIX}$<TARGET_FILE:avholm>"
  HOLM_SIGN_PROGRAM="${HOLM_TEST_PATH_PREFIX}$<TARGET_FILE:holm-sign>"
  HOLM_DEVELOPMENT_KEY="${HOLM_TEST_PATH_PREFIX}${HOLM_DEVELOPMENT_KEY}")

# The configuration updater: its library in process, its program as a child.
target_link_libraries(product_tests PRIVATE holm_cfgupdate)
add_dependencies(product_tests holm-cfgupdate)
target_compile_definitions(product_tests PRIVATE
  HOLM_CFGUPDATE_PROGRAM="${HOLM_TEST_PATH_PREFIX}$<TARGET_FILE:holm-cfgupdate>")

# The host tests run avholm against a fake core library built here, named
# like the real one but kept out of the product directory.
foreach(_variant IN ITEMS holm_fake_core holm_fake_core_without_entry)
  add_library(${_variant} MODULE "${CMAKE_CURRENT_LIST_DIR}/fake_core/fake_core.cpp")
  target_include_directories(${_variant} PRIVATE "${CMAKE_SOURCE_DIR}/include")
  set_target_properties(${_variant} PROPERTIES OUTPUT_NAME holmcore
                        LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests/${_variant}")
endforeach()
target_compile_definitions(holm_fake_core_without_entry PRIVATE HOLM_FAKE_CORE_WITHOUT_ENTRY)

add_dependencies(product_tests holm_fake_core holm_fake_core_without_entry)
target_compile_definitions(product_tests PRIVATE
  HOLM_FAKE_CORE="${HOLM_TEST_PATH_PREFIX}$<TARGET_FILE:holm_fake_core>"
  HOLM_FAKE_CORE_WITHOUT_ENTRY="${HOLM_TEST_PATH_PREFIX}$<TARGET_FILE:holm_fake_core_without_entry>")

# holm-ctl against a running host.
add_dependencies(product_tests holm-ctl)
target_compile_definitions(product_tests PRIVATE
  HOLM_CTL_PROGRAM="${HOLM_TEST_PATH_PREFIX}$<TARGET_FILE:holm-ctl>")

if(WIN32)
  return()
endif()

# A fake core whose run path ("$ORIGIN") leaves the system library
# directories: the host refuses it before loading.
add_library(holm_fake_core_runpath MODULE "${CMAKE_CURRENT_LIST_DIR}/fake_core/fake_core.cpp")
target_include_directories(holm_fake_core_runpath PRIVATE "${CMAKE_SOURCE_DIR}/include")
set_target_properties(holm_fake_core_runpath PROPERTIES OUTPUT_NAME holmcore BUILD_RPATH "$ORIGIN"
                      LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests/holm_fake_core_runpath")
add_dependencies(product_tests holm_fake_core_runpath)
target_compile_definitions(product_tests PRIVATE
  HOLM_FAKE_CORE_RUNPATH="$<TARGET_FILE:holm_fake_core_runpath>")
