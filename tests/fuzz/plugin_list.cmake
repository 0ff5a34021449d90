holm_add_fuzzer(plugin_list_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/plugin_list_fuzz.cpp DEPS holm_core)
