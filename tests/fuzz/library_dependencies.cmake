holm_add_fuzzer(library_dependencies_fuzz
                SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/library_dependencies_fuzz.cpp
                DEPS holm_security)
