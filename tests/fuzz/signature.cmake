holm_add_fuzzer(signature_fuzz SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/signature_fuzz.cpp
                DEPS holm_security)
# Random bytes hardly ever form a whole signature file: replay the seeds too
# (libFuzzer runs take the same folder as their corpus).
if(NOT HOLM_FUZZ)
  file(GLOB _holm_signature_seeds "${CMAKE_CURRENT_SOURCE_DIR}/fuzz/signature_corpus/*")
  add_test(NAME fuzz_smoke.signature_fuzz.seeds COMMAND signature_fuzz ${_holm_signature_seeds})
  set_tests_properties(fuzz_smoke.signature_fuzz.seeds PROPERTIES ENVIRONMENT HOLM_FUZZ_ITERATIONS=0)
endif()
