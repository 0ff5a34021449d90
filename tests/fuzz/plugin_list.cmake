holm_add_fuzzer(plugin_list_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/plugin_list_fuzz.cpp DEPS holm_core)
# The seeds (entity declarations among them) are replayed in every build;
# libFuzzer runs take the same folder as their corpus.
if(NOT HOLM_FUZZ)
  file(GLOB _holm_plugin_list_seeds "${CMAKE_CURRENT_SOURCE_DIR}/fuzz/plugin_list_corpus/*")
  add_test(NAME fuzz_smoke.plugin_list_fuzz.seeds COMMAND plugin_list_fuzz ${_holm_plugin_list_seeds})
  set_tests_properties(fuzz_smoke.plugin_list_fuzz.seeds PROPERTIES ENVIRONMENT HOLM_FUZZ_ITERATIONS=0)
endif()
