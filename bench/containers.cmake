holm_add_benchmark(containers_bench SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/containers_bench.cpp
                   DEPS holm_containers holm_services)
