# The Windows build (MinGW-w64 cross toolchains of cmake/toolchains/).
#
# Dependencies: libgcrypt and libgpg-error from libgcrypt-mingw-w64-dev in the
# toolchain's sysroot; Expat and GoogleTest cross-built from Debian's sources
# by scripts/win-deps into build/win-deps/<arch>/prefix, run here at configure
# time (it returns at once when its last build is current).
#
# Runtime: every program and library links the C++ runtime (libstdc++,
# libgcc, winpthread) and the dependencies statically, so the product
# directory holds only the project's own files and each of them imports system
# DLLs alone (msvcrt.dll, kernel32.dll, ...). Each module has its own copy of
# the C++ runtime, which is sound for what crosses the plugin interfaces:
# - the SDK's std::u16string results and std::exception references are
#   allocated and freed through operator new/delete, which end in msvcrt.dll's
#   malloc/free, the one heap every module shares;
# - type identity across modules (RTTI) is by type name on MinGW-w64;
# - no exception leaves a module (the boundary catches everything), so no
#   unwinding crosses two copies of libgcc (which the 32-bit DWARF unwinder
#   could not do);
# - a plugin is built with the same compiler as the core, as the SDK's C++
#   types already require.

if(NOT CMAKE_CROSSCOMPILING OR NOT HOLM_MINGW_TRIPLE)
  message(FATAL_ERROR "A Windows build is cross-compiled with a toolchain of cmake/toolchains/ "
                      "(cmake --preset win64 | win32)")
endif()
string(REGEX REPLACE "-.*" "" HOLM_WIN_ARCH "${HOLM_MINGW_TRIPLE}")
set(HOLM_WIN_DEPS_PREFIX "${CMAKE_SOURCE_DIR}/build/win-deps/${HOLM_WIN_ARCH}/prefix")

execute_process(COMMAND "${CMAKE_SOURCE_DIR}/scripts/win-deps" "${HOLM_WIN_ARCH}"
                RESULT_VARIABLE _holm_win_deps_result)
if(NOT _holm_win_deps_result EQUAL 0)
  message(FATAL_ERROR "scripts/win-deps ${HOLM_WIN_ARCH} failed")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH "${HOLM_WIN_DEPS_PREFIX}")
list(APPEND CMAKE_PREFIX_PATH "${HOLM_WIN_DEPS_PREFIX}")

add_link_options(-static)
# Windows 10 and later: the Win32 calls the backends use need no fallbacks.
# The printf family is MinGW-w64's C99 one, not msvcrt's (which, for one,
# puts a sign space before unsigned numbers), so formatting that falls back on
# it prints what it prints on Linux.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE
                        __USE_MINGW_ANSI_STDIO=1)

# The static Expat: its header declares the functions dllimport unless told.
find_package(EXPAT REQUIRED)
set_property(TARGET EXPAT::EXPAT APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS XML_STATIC)

# libgcrypt for the security layer's hashes and signatures, static.
find_library(HOLM_GCRYPT_LIBRARY NAMES libgcrypt.a REQUIRED)
find_library(HOLM_GPG_ERROR_LIBRARY NAMES libgpg-error.a REQUIRED)
find_path(HOLM_GCRYPT_INCLUDE_DIR gcrypt.h REQUIRED)
add_library(holm_gcrypt INTERFACE)
target_link_libraries(holm_gcrypt INTERFACE "${HOLM_GCRYPT_LIBRARY}" "${HOLM_GPG_ERROR_LIBRARY}"
                                            ws2_32)
target_include_directories(holm_gcrypt SYSTEM INTERFACE "${HOLM_GCRYPT_INCLUDE_DIR}")

# Programs of the build that the build itself runs (holm-sign signing the
# product files, holm-rcgen) and the tests run under Wine where it can run
# them: 64-bit programs. The 32-bit build is built, not run; its product
# files are left unsigned.
if(HOLM_WIN_ARCH STREQUAL "x86_64")
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_SOURCE_DIR}/scripts/wine-run"
                                    "--default-prefix=${CMAKE_BINARY_DIR}/wine-prefix")
  set(HOLM_RUNS_BUILD_PROGRAMS ON)
  # Wine maps the machine's root to drive Z:.
  set(HOLM_TEST_PATH_PREFIX "Z:")
else()
  set(HOLM_RUNS_BUILD_PROGRAMS OFF)
endif()
