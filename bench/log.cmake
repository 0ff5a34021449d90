# Report-log commits against spdlog's rotating file sink with a flush per
# message (the peer is used by this benchmark only, never by the product).
find_package(spdlog QUIET)
holm_add_benchmark(log_bench SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/log_bench.cpp
                   DEPS holm_services holm_platform holm_common)
if(spdlog_FOUND)
  target_link_libraries(log_bench PRIVATE spdlog::spdlog)
  target_compile_definitions(log_bench PRIVATE HOLM_BENCH_SPDLOG=1)
endif()
