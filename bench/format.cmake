holm_add_benchmark(format_bench SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/format_bench.cpp DEPS holm_common)
