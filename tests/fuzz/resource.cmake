holm_add_fuzzer(resource_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/resource_fuzz.cpp
                DEPS holm_utilities)
