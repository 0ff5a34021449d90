holm_add_fuzzer(cfglib_ini_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/cfglib_ini_fuzz.cpp DEPS holm_cfglib_ini)
