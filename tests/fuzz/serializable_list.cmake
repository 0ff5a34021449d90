holm_add_fuzzer(serializable_list_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/serializable_list_fuzz.cpp DEPS holm_containers)
target_include_directories(serializable_list_fuzz PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}")
