holm_add_fuzzer(text_lines_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/text_lines_fuzz.cpp DEPS holm_containers)
# The seeds are replayed in every build; libFuzzer runs take the same folder
# as their corpus.
if(NOT HOLM_FUZZ)
  file(GLOB _holm_text_lines_seeds "${CMAKE_CURRENT_SOURCE_DIR}/fuzz/text_lines_corpus/*")
  add_test(NAME fuzz_smoke.text_lines_fuzz.seeds COMMAND text_lines_fuzz ${_holm_text_lines_seeds})
  set_tests_properties(fuzz_smoke.text_lines_fuzz.seeds PROPERTIES ENVIRONMENT HOLM_FUZZ_ITERATIONS=0)
endif()
