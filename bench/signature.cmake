holm_add_benchmark(signature_bench SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/signature_bench.cpp
                   DEPS holm_security)
