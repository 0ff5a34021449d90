holm_add_fuzzer(signature_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/signature_fuzz.cpp
                DEPS holm_security)
