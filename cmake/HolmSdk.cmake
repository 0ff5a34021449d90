# The SDK as a target: the plugin-facing headers of include/hlmplg. Inside
# this build it is HlmPlg::HlmPlg as in the installed package, and
# hlmplg_add_plugin() is the same function, so the example plugins build the
# same way here and against an installed SDK.

add_library(hlmplg INTERFACE)
target_include_directories(hlmplg INTERFACE "$<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>"
                                            "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
target_compile_features(hlmplg INTERFACE cxx_std_20)
set_target_properties(hlmplg PROPERTIES EXPORT_NAME HlmPlg)
add_library(HlmPlg::HlmPlg ALIAS hlmplg)

include("${CMAKE_CURRENT_LIST_DIR}/HlmPlgFunctions.cmake")

# Plugins of this build are signed with the build's development key, the
# product key of its host. The clang fuzz build links its sanitizer runtime
# into the executables only, so its libraries cannot resolve everything.
set(HLMPLG_SIGNING_KEY "${HOLM_DEVELOPMENT_KEY}")
if(HOLM_FUZZ)
  set(HLMPLG_ALLOW_UNDEFINED ON)
endif()
