holm_add_fuzzer(cfgupdate_commands_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/cfgupdate_commands_fuzz.cpp
                DEPS holm_cfgupdate)
# The seeds (UTF-8 and UTF-16 command files, malformed commands) are replayed
# in every build; libFuzzer runs take the same folder as their corpus.
if(NOT HOLM_FUZZ)
  file(GLOB _holm_cfgupdate_seeds "${CMAKE_CURRENT_SOURCE_DIR}/fuzz/cfgupdate_commands_corpus/*")
  add_test(NAME fuzz_smoke.cfgupdate_commands_fuzz.seeds
           COMMAND cfgupdate_commands_fuzz ${_holm_cfgupdate_seeds})
  set_tests_properties(fuzz_smoke.cfgupdate_commands_fuzz.seeds PROPERTIES
                       ENVIRONMENT HOLM_FUZZ_ITERATIONS=0)
endif()
