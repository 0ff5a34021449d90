holm_add_fuzzer(master_text_expansion_fuzz
                SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/master_text_expansion_fuzz.cpp
                DEPS holm_services)
