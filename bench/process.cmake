holm_add_benchmark(process_bench SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/process_bench.cpp DEPS holm_services)
