# IConfig reads and the reload, against the configuration library called
# directly; both load the signed library of the product directory.
holm_add_benchmark(config_bench SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/config_bench.cpp
                   DEPS holm_services holm_platform holm_common)
add_dependencies(config_bench holmcfg)
target_compile_definitions(config_bench PRIVATE HOLM_PRODUCT_DIR="${HOLM_PRODUCT_OUTPUT_DIR}")
