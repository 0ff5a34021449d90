holm_add_benchmark(async_bench SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/async_bench.cpp WINDOWS
                   DEPS holm_core holm_async)
