holm_add_fuzzer(cfglib_ini_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/cfglib_ini_fuzz.cpp DEPS holm_cfglib_ini)
# The seeds (both UTF-16 byte orders, a BOM-less file, broken lines) are
# replayed in every build; libFuzzer runs take the same folder as their corpus.
if(NOT HOLM_FUZZ)
  file(GLOB _holm_cfglib_seeds "${CMAKE_CURRENT_SOURCE_DIR}/fuzz/cfglib_ini_corpus/*")
  add_test(NAME fuzz_smoke.cfglib_ini_fuzz.seeds COMMAND cfglib_ini_fuzz ${_holm_cfglib_seeds})
  set_tests_properties(fuzz_smoke.cfglib_ini_fuzz.seeds PROPERTIES ENVIRONMENT HOLM_FUZZ_ITERATIONS=0)
endif()
