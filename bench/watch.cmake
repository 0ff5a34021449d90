holm_add_benchmark(watch_bench SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/watch_bench.cpp WINDOWS
                   DEPS holm_core holm_async)
