# Small helpers so that every folder declares its targets the same way.
#
# Sources are globbed per folder: adding a file to a folder adds it to the
# folder's target without touching any CMakeLists.txt.

# The operating-system backend: the layers with one (platform/, registry/)
# keep it in a sub-folder per system, <folder>/posix/ for Linux and
# <folder>/win/ for Windows, and a build compiles its system's sub-folder
# only. Test suites follow the same rule (tests/<folder>/<backend>/): a test
# that holds on one system only lives in that system's sub-folder.
if(WIN32)
  set(HOLM_BACKEND win)
else()
  set(HOLM_BACKEND posix)
endif()

# The SQLite library's file name, as the master texts name it
# (#DEF_FN_FW_SQLITE): the system's soname on Linux, the DLL the Windows build
# ships in the product directory (product/sqlite).
if(WIN32)
  set(HOLM_SQLITE_LIBRARY sqlite3.dll)
else()
  set(HOLM_SQLITE_LIBRARY libsqlite3.so.0)
endif()

# holm_folder_included(<folder> <out>)
# Whether HOLM_FOLDERS includes the source-relative <folder>: it or a folder
# above it is listed.
function(holm_folder_included folder out)
  set(included FALSE)
  foreach(listed IN LISTS HOLM_FOLDERS)
    if(folder STREQUAL listed OR folder MATCHES "^${listed}/")
      set(included TRUE)
    endif()
  endforeach()
  set(${out} ${included} PARENT_SCOPE)
endfunction()

# holm_add_folder(<folder> [<binary dir>])
# add_subdirectory() of <folder> when HOLM_FOLDERS includes it or lists a
# folder below it (the folder's CMakeLists.txt then picks its listed parts
# with holm_folder_included()).
function(holm_add_folder folder)
  set(wanted FALSE)
  foreach(listed IN LISTS HOLM_FOLDERS)
    if(folder STREQUAL listed OR folder MATCHES "^${listed}/" OR listed MATCHES "^${folder}/")
      set(wanted TRUE)
    endif()
  endforeach()
  if(wanted)
    add_subdirectory(${folder} ${ARGN})
  endif()
endfunction()

# Include views. A target's sources may include the headers of its own
# folder, of the folders of the targets it links, and the SDK (include/) --
# nothing else, so the layers hold by construction: a header of a layer above
# is simply not found. Each target's include path is a directory of its own
# in the build tree that holds symbolic links to exactly those folders.
set(HOLM_INCLUDE_VIEWS_DIR "${CMAKE_BINARY_DIR}/include-views")

# The folders (relative to the source root) whose headers the users of the
# linked `deps` may include: each holm target's folder plus those of its
# public dependencies.
function(_holm_folders_of_deps out)
  set(folders)
  foreach(dep IN LISTS ARGN)
    if(TARGET ${dep})
      get_target_property(dep_folders ${dep} HOLM_PUBLIC_FOLDERS)
      if(dep_folders)
        list(APPEND folders ${dep_folders})
      endif()
    endif()
  endforeach()
  list(REMOVE_DUPLICATES folders)
  set(${out} "${folders}" PARENT_SCOPE)
endfunction()

# holm_include_view(<target> FOLDER <own folder> DEPS <linked targets>...
#                   [PUBLIC_DEPS <linked targets>...])
# Gives <target> its include view and records which folders its users see.
function(holm_include_view target)
  cmake_parse_arguments(ARG "" "FOLDER" "DEPS;PUBLIC_DEPS" ${ARGN})
  _holm_folders_of_deps(public_folders ${ARG_PUBLIC_DEPS})
  _holm_folders_of_deps(private_folders ${ARG_DEPS})
  set(folders ${ARG_FOLDER} ${public_folders} ${private_folders})
  list(REMOVE_DUPLICATES folders)
  set(view "${HOLM_INCLUDE_VIEWS_DIR}/${target}")
  file(REMOVE_RECURSE "${view}")
  foreach(folder IN LISTS folders)
    get_filename_component(parent "${view}/${folder}" DIRECTORY)
    file(MAKE_DIRECTORY "${parent}")
    file(CREATE_LINK "${CMAKE_SOURCE_DIR}/${folder}" "${view}/${folder}" SYMBOLIC)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE "${view}" "${CMAKE_SOURCE_DIR}/include")
  else()
    target_include_directories(${target} PRIVATE "${view}" "${CMAKE_SOURCE_DIR}/include")
  endif()
  set_target_properties(${target} PROPERTIES
                        HOLM_PUBLIC_FOLDERS "${ARG_FOLDER};${public_folders}")
endfunction()

# holm_unity_build(<target>)
# With HOLM_UNITY_BUILD, compiles the target's sources in batches of eight,
# each batch as one file: most of a file's compile time is the headers it
# shares with its neighbours. A source file's internal names must then be
# unique within its library or test suite (helpers two files need belong in a
# shared header). GCC's warning about a class member of an
# internal type is meant for headers; here the batch's other files are
# "included" and would raise it.
function(holm_unity_build target)
  if(HOLM_UNITY_BUILD)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${target} PRIVATE -Wno-subobject-linkage)
    endif()
  endif()
endfunction()

# holm_add_library(NAME DIR <folder> [DEPS ...] [PUBLIC_DEPS ...])
# A static, position-independent library from <folder>/*.cpp and, for the
# layers with an operating-system backend, <folder>/${HOLM_BACKEND}/*.cpp,
# with the include view of the folders it links.
function(holm_add_library name)
  cmake_parse_arguments(ARG "" "DIR" "DEPS;PUBLIC_DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS "${ARG_DIR}/*.cpp" "${ARG_DIR}/${HOLM_BACKEND}/*.cpp")
  file(RELATIVE_PATH folder "${CMAKE_SOURCE_DIR}" "${ARG_DIR}")
  if(srcs)
    add_library(${name} STATIC ${srcs})
    holm_unity_build(${name})
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARG_PUBLIC_DEPS} ${ARG_DEPS})
  endif()
  holm_include_view(${name} FOLDER "${folder}" PUBLIC_DEPS ${ARG_PUBLIC_DEPS} DEPS ${ARG_DEPS})
endfunction()

# holm_add_test_suite(NAME DIR <folder> [PARTS] DEPS ...)
# One GoogleTest executable from tests/<folder>/*_test.cpp and the tests of
# the build's system, tests/<folder>/${HOLM_BACKEND}/*_test.cpp (and the
# suite's helpers in tests/<folder>/support/ and its system's sub-folder),
# each test registered with CTest. Nothing when the build leaves <folder> or
# tests/<folder> out; with PARTS, <folder> counts as in when the build lists
# a folder below it (a build that names the product's parts one by one).
function(holm_add_test_suite name)
  cmake_parse_arguments(ARG "PARTS" "DIR" "DEPS" ${ARGN})
  holm_folder_included("${ARG_DIR}" included)
  if(ARG_PARTS AND NOT included)
    foreach(listed IN LISTS HOLM_FOLDERS)
      if(listed MATCHES "^${ARG_DIR}/")
        set(included TRUE)
      endif()
    endforeach()
  endif()
  holm_folder_included("tests/${ARG_DIR}" tests_included)
  if(NOT included OR NOT tests_included)
    return()
  endif()
  file(GLOB srcs CONFIGURE_DEPENDS "${ARG_DIR}/*_test.cpp" "${ARG_DIR}/${HOLM_BACKEND}/*_test.cpp"
       "${ARG_DIR}/support/*.cpp" "${ARG_DIR}/support/${HOLM_BACKEND}/*.cpp")
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} holm_test_support GTest::gtest_main
                                        GTest::gmock)
  # Test code is compiled without optimisation, whatever the build type: the
  # libraries it tests keep the build's, and optimising the expanded test
  # macros takes half the suite's build time for nothing the tests check.
  target_compile_options(${name} PRIVATE -O0)
  holm_unity_build(${name})
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
  target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}" "${CMAKE_SOURCE_DIR}/include")
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  if(HOLM_FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    # The fuzz preset builds these alone, not the rest of the tree.
    if(NOT TARGET holm_fuzzers)
      add_custom_target(holm_fuzzers)
    endif()
    add_dependencies(holm_fuzzers ${name})
  else()
    target_link_libraries(${name} PRIVATE holm_fuzz_driver)
    add_test(NAME fuzz_smoke.${name} COMMAND ${name})
    # Every build replays the target's seed corpus (tests/fuzz/<target>_corpus,
    # the folder libFuzzer campaigns start from) once.
    string(REGEX REPLACE "_fuzz$" "" corpus_name "${name}")
    file(GLOB seeds CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/tests/fuzz/${corpus_name}_corpus/*")
    if(seeds AND NOT TEST fuzz_seeds.${name})
      add_test(NAME fuzz_seeds.${name} COMMAND ${name} ${seeds})
      set_tests_properties(fuzz_seeds.${name} PROPERTIES ENVIRONMENT HOLM_FUZZ_ITERATIONS=0)
    endif()
  endif()
endfunction()

# holm_add_benchmark(NAME SOURCE <file> [WINDOWS] DEPS ...)
# A Google Benchmark program linking the shared bench support. A Windows
# build makes only the benchmarks marked WINDOWS: those whose subject and
# peers exist there.
function(holm_add_benchmark name)
  cmake_parse_arguments(ARG "WINDOWS" "SOURCE" "DEPS" ${ARGN})
  if(WIN32 AND NOT ARG_WINDOWS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCE})
  # Benchmarks, like tests, may include anything.
  target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}" "${CMAKE_SOURCE_DIR}/include")
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} holm_bench_support benchmark::benchmark_main)
endfunction()

# ---------------------------------------------------------------------------
# Signing. Every library and data file the build produces is signed with the
# build's DEVELOPMENT key: a key pair generated once per build tree in
# <build>/keys/ (development.key, mode 0600, never installed; development.pub).
# Its public half is compiled into holm_security as the product key of this
# build, so a host trusts exactly the files of its own build tree (and keys an
# administrator enrolled). The key is made with the openssl command at
# configure time, which keeps holm-sign (which links holm_security) out of
# the key's own making.

set(HOLM_KEYS_DIR "${CMAKE_BINARY_DIR}/keys")
set(HOLM_DEVELOPMENT_KEY "${HOLM_KEYS_DIR}/development.key")
set(HOLM_DEVELOPMENT_PUBLIC_KEY "${HOLM_KEYS_DIR}/development.pub")

# holm_generate_development_key()
# Creates the key pair if absent and sets HOLM_DEVELOPMENT_PUBLIC_KEY_BYTES
# (a C initialiser of the 32 raw public key bytes) in the caller's scope.
function(holm_generate_development_key)
  find_program(HOLM_OPENSSL openssl REQUIRED)
  if(NOT EXISTS "${HOLM_DEVELOPMENT_KEY}")
    file(MAKE_DIRECTORY "${HOLM_KEYS_DIR}")
    file(CHMOD "${HOLM_KEYS_DIR}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
    execute_process(COMMAND "${HOLM_OPENSSL}" genpkey -algorithm ed25519
                            -out "${HOLM_DEVELOPMENT_KEY}.new"
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "cannot generate the development key with ${HOLM_OPENSSL}")
    endif()
    file(CHMOD "${HOLM_DEVELOPMENT_KEY}.new" PERMISSIONS OWNER_READ OWNER_WRITE)
    file(RENAME "${HOLM_DEVELOPMENT_KEY}.new" "${HOLM_DEVELOPMENT_KEY}")
    message(STATUS "Generated the development signing key ${HOLM_DEVELOPMENT_KEY}")
  endif()
  execute_process(COMMAND "${HOLM_OPENSSL}" pkey -in "${HOLM_DEVELOPMENT_KEY}" -pubout
                          -out "${HOLM_DEVELOPMENT_PUBLIC_KEY}"
                  COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND "${HOLM_OPENSSL}" pkey -in "${HOLM_DEVELOPMENT_KEY}" -pubout
                          -outform DER -out "${HOLM_KEYS_DIR}/development.pub.der"
                  COMMAND_ERROR_IS_FATAL ANY)
  # DER SubjectPublicKeyInfo of Ed25519: a fixed 12-byte prefix, then the key.
  file(READ "${HOLM_KEYS_DIR}/development.pub.der" der HEX)
  string(LENGTH "${der}" length)
  string(SUBSTRING "${der}" 0 24 prefix)
  if(NOT length EQUAL 88 OR NOT prefix STREQUAL "302a300506032b6570032100")
    message(FATAL_ERROR "${HOLM_DEVELOPMENT_KEY} is not an Ed25519 key")
  endif()
  string(SUBSTRING "${der}" 24 64 raw)
  string(REGEX REPLACE "(..)" "0x\\1," bytes "${raw}")
  set(HOLM_DEVELOPMENT_PUBLIC_KEY_BYTES "${bytes}" PARENT_SCOPE)
endfunction()

# holm_sign_file(<target> <file>)
# After <target> is built, signs <file> (writes <file>.sig beside it). A cross
# build runs holm-sign through its emulator; one that cannot run its own
# programs (HOLM_RUNS_BUILD_PROGRAMS off: 32-bit Windows) signs nothing.
function(holm_sign_file target file)
  if(NOT HOLM_RUNS_BUILD_PROGRAMS)
    return()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND holm-sign sign --key "${HOLM_DEVELOPMENT_KEY}" "${file}"
                     VERBATIM)
  add_dependencies(${target} holm-sign)
endfunction()

# holm_sign_target(<target>)
# Signs the library or program <target> builds, after each build of it.
function(holm_sign_target target)
  holm_sign_file(${target} "$<TARGET_FILE:${target}>")
endfunction()

# holm_ship_target(<target>)
# Signs a product library or program after moving its debug information out
# of it. Debug information is most of the file's size in builds that have it,
# and the core hashes its own library at every start. After each build the
# debug information goes to <product>/.debug/<file>.debug, where debuggers
# find it through the file's debug link; the product directory is installed
# without it. Sanitizer and fuzz builds keep it in the file for their reports.
function(holm_ship_target target)
  if(NOT HOLM_SANITIZE AND NOT HOLM_FUZZ)
    set(file "$<TARGET_FILE:${target}>")
    set(debug_dir "${HOLM_PRODUCT_OUTPUT_DIR}/.debug")
    set(debug "${debug_dir}/$<TARGET_FILE_NAME:${target}>.debug")
    add_custom_command(TARGET ${target} POST_BUILD
                       COMMAND "${CMAKE_COMMAND}" -E make_directory "${debug_dir}"
                       COMMAND "${CMAKE_OBJCOPY}" --only-keep-debug "${file}" "${debug}"
                       COMMAND "${CMAKE_OBJCOPY}" --strip-debug "--add-gnu-debuglink=${debug}"
                               "${file}"
                       VERBATIM)
  endif()
  holm_sign_target(${target})
endfunction()

# holm_add_resource_file(<target> OUTPUT <file name> SOURCE <table>)
# Builds the resource text file <file name> (e.g. "holmmsg.dll") from a table
# source with holm-rcgen, into the product directory ${HOLM_PRODUCT_OUTPUT_DIR}.
function(holm_add_resource_file target)
  cmake_parse_arguments(ARG "" "OUTPUT;SOURCE" "" ${ARGN})
  if(NOT ARG_OUTPUT OR NOT ARG_SOURCE)
    message(FATAL_ERROR "holm_add_resource_file(${target}) needs OUTPUT and SOURCE")
  endif()
  if(NOT HOLM_RUNS_BUILD_PROGRAMS)
    # Built, not run: the generator is compiled, the file is not made.
    add_custom_target(${target} ALL DEPENDS holm-rcgen)
    return()
  endif()
  get_filename_component(source "${ARG_SOURCE}" ABSOLUTE)
  set(output "${HOLM_PRODUCT_OUTPUT_DIR}/${ARG_OUTPUT}")
  set(commands COMMAND "${CMAKE_COMMAND}" -E make_directory "${HOLM_PRODUCT_OUTPUT_DIR}"
               COMMAND holm-rcgen "${source}" "${output}"
               COMMAND holm-sign sign --key "${HOLM_DEVELOPMENT_KEY}" "${output}")
  # The file and its signature are produced together.
  add_custom_command(OUTPUT "${output}" "${output}.sig" ${commands}
                     DEPENDS holm-rcgen holm-sign "${source}"
                     COMMENT "Building resource text file ${ARG_OUTPUT}"
                     VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${output}")
endfunction()

# holm_link_self_contained(<target>)
# A shared library or plugin must resolve every symbol against its own
# dependencies (a plugin against the SDK headers alone). Not checked in the
# clang fuzz build, whose sanitizer runtime only the executable carries.
function(holm_link_self_contained target)
  if(NOT HOLM_FUZZ)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
