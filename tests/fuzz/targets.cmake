# Every fuzz target has a <name>_fuzz.cpp and a <name>.cmake beside it that
# calls holm_add_fuzzer(); new targets need no edit here.
file(GLOB _holm_fuzz_lists CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/fuzz/*.cmake")
list(REMOVE_ITEM _holm_fuzz_lists "${CMAKE_CURRENT_SOURCE_DIR}/fuzz/targets.cmake")
foreach(_list IN LISTS _holm_fuzz_lists)
  include("${_list}")
endforeach()
