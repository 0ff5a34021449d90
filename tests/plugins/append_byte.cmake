# cmake -DFILE=<path> -P append_byte.cmake: appends one byte to <path>.
if(NOT FILE)
  message(FATAL_ERROR "append_byte.cmake needs -DFILE=<path>")
endif()
file(APPEND "${FILE}" "x")
