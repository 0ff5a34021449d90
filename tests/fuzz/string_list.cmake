holm_add_fuzzer(string_list_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/string_list_fuzz.cpp DEPS holm_containers)
target_include_directories(string_list_fuzz PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}")
