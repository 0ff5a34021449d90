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
