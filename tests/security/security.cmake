# Build outputs signed by the build itself, so that the tests can check the
# whole signing chain with the compiled-in development key.
add_library(holm_security_test_module SHARED "${CMAKE_CURRENT_LIST_DIR}/signed_module/signed_module.cpp")
holm_sign_target(holm_security_test_module)

set(_holm_signed_data "${CMAKE_BINARY_DIR}/lib/holm_signed_data.txt")
add_custom_target(holm_security_test_data ALL
                  COMMAND "${CMAKE_COMMAND}" -E copy
                          "${CMAKE_CURRENT_LIST_DIR}/signed_module/signed_data.txt" "${_holm_signed_data}"
                  VERBATIM)
holm_sign_file(holm_security_test_data "${_holm_signed_data}")

target_link_libraries(security_tests PRIVATE holm_security_test_module)
add_dependencies(security_tests holm_security_test_data)
target_compile_definitions(security_tests PRIVATE
  HOLM_SIGNED_MODULE="${HOLM_TEST_PATH_PREFIX}$<TARGET_FILE:holm_security_test_module>"
  HOLM_SIGNED_DATA="${HOLM_TEST_PATH_PREFIX}${_holm_signed_data}"
  HOLM_DEVELOPMENT_PUBLIC_KEY="${HOLM_TEST_PATH_PREFIX}${HOLM_DEVELOPMENT_PUBLIC_KEY}")
