holm_add_fuzzer(key_value_list_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/key_value_list_fuzz.cpp DEPS holm_containers)
target_include_directories(key_value_list_fuzz PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}")
