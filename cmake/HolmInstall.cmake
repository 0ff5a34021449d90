# Installation. Under the install prefix (CMAKE_INSTALL_PREFIX; the Debian
# package uses /opt/holm):
#
#   lib/holm/               the product directory, exactly as the build lays it
#                           out in <build>/product: avholm, libholmcore.so, the
#                           configuration library, the resource text files, the
#                           operator tools, the example plugins and list, each
#                           with its signature, and data/ with the example
#                           configuration file and the report log folder
#   include/hlmplg/         the SDK headers
#   lib/cmake/HlmPlg/       the CMake package (find_package(HlmPlg))
#   share/doc/holm/         the documentation
#
# The product directory is installed as a whole, so whatever the build puts
# there is installed without a rule of its own. Files are copied unchanged
# (no run path rewriting), so their signatures stay valid. Private keys are
# never installed.

include(CMakePackageConfigHelpers)

set(HOLM_INSTALL_PRODUCT_DIR "${CMAKE_INSTALL_LIBDIR}/holm" CACHE STRING
    "Product directory, relative to the install prefix")
set(HOLM_INSTALL_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/HlmPlg")

# Run-time state of the build tree's own runs (named events, temporary
# folders, report logs) is not part of the product, nor are files CMake may
# have left there, nor the product files' separated debug information.
install(DIRECTORY "${HOLM_PRODUCT_OUTPUT_DIR}/" DESTINATION "${HOLM_INSTALL_PRODUCT_DIR}"
        USE_SOURCE_PERMISSIONS
        PATTERN "CMakeFiles" EXCLUDE
        PATTERN "*.cmake" EXCLUDE
        PATTERN ".debug" EXCLUDE
        REGEX "^${HOLM_PRODUCT_OUTPUT_DIR}/run$" EXCLUDE
        REGEX "^${HOLM_PRODUCT_OUTPUT_DIR}/data/.+/" EXCLUDE
        REGEX "^${HOLM_PRODUCT_OUTPUT_DIR}/data/[^/]+$" EXCLUDE)
install(FILES "${CMAKE_SOURCE_DIR}/examples/holm.conf" DESTINATION "${HOLM_INSTALL_PRODUCT_DIR}/data")
# The report log folder: the core writes report logs only into a folder that
# exists.
install(DIRECTORY DESTINATION "${HOLM_INSTALL_PRODUCT_DIR}/data/LOGFILES")

install(DIRECTORY "${CMAKE_SOURCE_DIR}/include/hlmplg" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(TARGETS hlmplg EXPORT HlmPlgTargets)
install(EXPORT HlmPlgTargets NAMESPACE HlmPlg:: DESTINATION "${HOLM_INSTALL_CMAKE_DIR}")

configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/HlmPlgConfig.cmake.in"
                              "${CMAKE_BINARY_DIR}/package/HlmPlgConfig.cmake"
                              INSTALL_DESTINATION "${HOLM_INSTALL_CMAKE_DIR}"
                              PATH_VARS HOLM_INSTALL_PRODUCT_DIR)
write_basic_package_version_file("${CMAKE_BINARY_DIR}/package/HlmPlgConfigVersion.cmake"
                                 VERSION "${PROJECT_VERSION}" COMPATIBILITY SameMinorVersion)
install(FILES "${CMAKE_BINARY_DIR}/package/HlmPlgConfig.cmake"
              "${CMAKE_BINARY_DIR}/package/HlmPlgConfigVersion.cmake"
              "${CMAKE_CURRENT_LIST_DIR}/HlmPlgFunctions.cmake"
        DESTINATION "${HOLM_INSTALL_CMAKE_DIR}")

install(FILES "${CMAKE_SOURCE_DIR}/README.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
install(DIRECTORY "${CMAKE_SOURCE_DIR}/docs/" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
install(DIRECTORY "${CMAKE_SOURCE_DIR}/examples/" DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples")

# A Debian package of the same tree: cpack -G DEB in the build directory.
set(CPACK_PACKAGE_NAME "holm")
set(CPACK_PACKAGE_VENDOR "holm")
set(CPACK_PACKAGE_CONTACT "holm maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Plugin host core for a resident security service, with its SDK")
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX "/opt/holm")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3, libexpat1, libsystemd0")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
