holm_add_fuzzer(data_list_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/data_list_fuzz.cpp DEPS holm_containers)
target_include_directories(data_list_fuzz PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}")
