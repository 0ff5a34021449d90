holm_add_fuzzer(command_line_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/command_line_fuzz.cpp DEPS holm_services)
