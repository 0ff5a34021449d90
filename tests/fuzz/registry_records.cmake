holm_add_fuzzer(registry_records_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/registry_records_fuzz.cpp
                DEPS holm_registry)
