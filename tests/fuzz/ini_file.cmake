holm_add_fuzzer(ini_file_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/ini_file_fuzz.cpp DEPS holm_containers)
# The seeds are replayed in every build; libFuzzer runs take the same folder
# as their corpus.
if(NOT HOLM_FUZZ)
  file(GLOB _holm_ini_file_seeds "${CMAKE_CURRENT_SOURCE_DIR}/fuzz/ini_file_corpus/*")
  add_test(NAME fuzz_smoke.ini_file_fuzz.seeds COMMAND ini_file_fuzz ${_holm_ini_file_seeds})
  set_tests_properties(fuzz_smoke.ini_file_fuzz.seeds PROPERTIES ENVIRONMENT HOLM_FUZZ_ITERATIONS=0)
endif()
