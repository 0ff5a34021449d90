holm_add_benchmark(registry_bench SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/registry_bench.cpp
                   DEPS holm_registry)
