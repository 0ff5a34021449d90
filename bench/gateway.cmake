holm_add_benchmark(gateway_bench SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/gateway_bench.cpp
                   DEPS holm_gateway)
add_dependencies(gateway_bench holmcore)
target_compile_definitions(gateway_bench PRIVATE HOLM_CORE_LIBRARY="$<TARGET_FILE:holmcore>")
