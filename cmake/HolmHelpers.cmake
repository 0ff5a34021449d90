# Small helpers so that every folder declares its targets the same way.
#
# Sources are globbed per folder: adding a file to a folder adds it to the
# folder's target without touching any CMakeLists.txt.

# holm_add_library(NAME DIR <folder> [DEPS ...] [PUBLIC_DEPS ...])
# A static, position-independent library from <folder>/*.cpp and, for the
# platform layer, <folder>/posix/*.cpp.
function(holm_add_library name)
  cmake_parse_arguments(ARG "" "DIR" "DEPS;PUBLIC_DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS "${ARG_DIR}/*.cpp" "${ARG_DIR}/posix/*.cpp")
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC "${CMAKE_SOURCE_DIR}" "${CMAKE_SOURCE_DIR}/include")
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE "${CMAKE_SOURCE_DIR}" "${CMAKE_SOURCE_DIR}/include")
    target_link_libraries(${name} INTERFACE ${ARG_PUBLIC_DEPS} ${ARG_DEPS})
  endif()
endfunction()

# holm_add_test_suite(NAME DIR <folder> DEPS ...)
# One GoogleTest executable from tests/<folder>/*_test.cpp, each test
# registered with CTest.
function(holm_add_test_suite name)
  cmake_parse_arguments(ARG "" "DIR" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS "${ARG_DIR}/*_test.cpp")
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} holm_test_support GTest::gtest_main
                                        GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "HOLM_TEST_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()

# holm_add_fuzzer(NAME SOURCE <file> DEPS ...)
# With HOLM_FUZZ a libFuzzer binary; otherwise the same entry point linked with
# a driver that replays a deterministic stream of random and mutated inputs,
# registered as a test so that every build exercises the fuzz entry points.
function(holm_add_fuzzer name)
  cmake_parse_arguments(ARG "" "SOURCE" "DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCE})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  if(HOLM_FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_link_libraries(${name} PRIVATE holm_fuzz_driver)
    add_test(NAME fuzz_smoke.${name} COMMAND ${name})
  endif()
endfunction()

# holm_add_benchmark(NAME SOURCE <file> DEPS ...)
function(holm_add_benchmark name)
  cmake_parse_arguments(ARG "" "SOURCE" "DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCE})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark_main)
endfunction()

# holm_add_resource_file(<target> OUTPUT <file name> SOURCE <table>)
# Builds the resource text file <file name> (e.g. "holmmsg.dll") from a table
# source with holm-rcgen, into the product directory ${HOLM_PRODUCT_OUTPUT_DIR}.
function(holm_add_resource_file target)
  cmake_parse_arguments(ARG "" "OUTPUT;SOURCE" "" ${ARGN})
  if(NOT ARG_OUTPUT OR NOT ARG_SOURCE)
    message(FATAL_ERROR "holm_add_resource_file(${target}) needs OUTPUT and SOURCE")
  endif()
  get_filename_component(source "${ARG_SOURCE}" ABSOLUTE)
  set(output "${HOLM_PRODUCT_OUTPUT_DIR}/${ARG_OUTPUT}")
  set(commands COMMAND "${CMAKE_COMMAND}" -E make_directory "${HOLM_PRODUCT_OUTPUT_DIR}"
               COMMAND "$<TARGET_FILE:holm-rcgen>" "${source}" "${output}")
  # Signing: the command that writes "${output}.sig" goes here, appended to
  # `commands` (and the signing tool to DEPENDS), so that the file and its
  # signature are produced together.
  add_custom_command(OUTPUT "${output}" ${commands}
                     DEPENDS holm-rcgen "${source}"
                     COMMENT "Building resource text file ${ARG_OUTPUT}"
                     VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${output}")
endfunction()
