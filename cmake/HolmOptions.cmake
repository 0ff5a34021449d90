# Warnings and sanitizer flags shared by every target of the project.
add_compile_options(-Wall -Wextra -Werror -Wno-unused-parameter)

if(HOLM_SANITIZE)
  add_compile_options(-fsanitize=${HOLM_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${HOLM_SANITIZE})
  if(HOLM_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

if(HOLM_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "HOLM_FUZZ needs clang (use the 'fuzz' preset)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Lock contracts (GUARDED_BY, REQUIRES, EXCLUDES on common/mutex.h types) are
# checked at compile time; a broken contract fails the build.
if(HOLM_THREAD_SAFETY)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "HOLM_THREAD_SAFETY needs clang (use the 'thread-safety' preset)")
  endif()
  add_compile_options(-Wthread-safety)
  # The check must be live: a write to guarded state without its lock fails
  # to compile, the same write under the lock compiles.
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS "-std=c++20 -Wthread-safety -Werror")
  set(CMAKE_REQUIRED_INCLUDES "${CMAKE_CURRENT_SOURCE_DIR}")
  set(holm_guarded_probe "#include \"common/mutex.h\"
struct Probe { holm::common::Mutex m; int x GUARDED_BY(m) = 0; void f() { LOCK x = 1; } };
int main() { Probe p; p.f(); }")
  string(REPLACE "LOCK" "holm::common::MutexLock hold(m);" holm_locked_probe "${holm_guarded_probe}")
  string(REPLACE "LOCK" "" holm_unlocked_probe "${holm_guarded_probe}")
  check_cxx_source_compiles("${holm_locked_probe}" HOLM_LOCKED_WRITE_COMPILES)
  check_cxx_source_compiles("${holm_unlocked_probe}" HOLM_UNLOCKED_WRITE_COMPILES)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_INCLUDES)
  if(NOT HOLM_LOCKED_WRITE_COMPILES OR HOLM_UNLOCKED_WRITE_COMPILES)
    message(FATAL_ERROR "the thread-safety analysis does not check common/mutex.h's contracts")
  endif()
endif()

# A library loaded at run time (the core, a plugin) reaches its thread-local
# objects through TLS descriptors: when the library's thread-local block is
# small, the loader places it beside the program's, and a use then costs two
# instructions instead of a call that looks the block up (where no room is
# left, the descriptor makes that call). The sanitizers track thread-local
# blocks through the look-up call, so their builds keep it.
if(NOT HOLM_SANITIZE AND NOT HOLM_FUZZ AND CMAKE_SYSTEM_NAME STREQUAL "Linux"
   AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  include(CheckCXXCompilerFlag)
  check_cxx_compiler_flag(-mtls-dialect=gnu2 HOLM_HAS_TLS_DESCRIPTORS)
  if(HOLM_HAS_TLS_DESCRIPTORS)
    add_compile_options(-mtls-dialect=gnu2)
  endif()
endif()
