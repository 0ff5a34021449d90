holm_add_fuzzer(format_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/format_fuzz.cpp DEPS holm_common)
