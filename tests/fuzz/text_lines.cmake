holm_add_fuzzer(text_lines_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/text_lines_fuzz.cpp DEPS holm_containers)
