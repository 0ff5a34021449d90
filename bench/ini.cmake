# Block-mode INI load against inih (libinih-dev), the same map built by both.
find_library(HOLM_INIH_LIBRARY inih)
find_path(HOLM_INIH_INCLUDE ini.h)
if(HOLM_INIH_LIBRARY AND HOLM_INIH_INCLUDE)
  holm_add_benchmark(ini_bench SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/ini_bench.cpp
                     DEPS holm_containers holm_common ${HOLM_INIH_LIBRARY})
  target_include_directories(ini_bench PRIVATE "${HOLM_INIH_INCLUDE}")
else()
  message(STATUS "inih not found: the INI benchmark is not built (scripts/install-deps installs it)")
endif()
