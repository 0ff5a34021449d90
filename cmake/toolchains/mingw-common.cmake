# Shared part of the MinGW-w64 cross toolchains. The including file sets
# HOLM_MINGW_TRIPLE (x86_64-w64-mingw32 or i686-w64-mingw32) first.
#
# The -posix compilers are used: their C++ runtime implements std::thread and
# std::mutex on winpthreads, which the project's threading relies on; the
# -win32 variants lack them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10.0)

set(CMAKE_C_COMPILER "${HOLM_MINGW_TRIPLE}-gcc-posix")
set(CMAKE_CXX_COMPILER "${HOLM_MINGW_TRIPLE}-g++-posix")
set(CMAKE_RC_COMPILER "${HOLM_MINGW_TRIPLE}-windres")
set(CMAKE_AR "/usr/bin/${HOLM_MINGW_TRIPLE}-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "/usr/bin/${HOLM_MINGW_TRIPLE}-ranlib" CACHE FILEPATH "")
set(CMAKE_OBJCOPY "/usr/bin/${HOLM_MINGW_TRIPLE}-objcopy" CACHE FILEPATH "")
set(CMAKE_STRIP "/usr/bin/${HOLM_MINGW_TRIPLE}-strip" CACHE FILEPATH "")

# Libraries and headers come from the target's sysroot (libgcrypt of
# libgcrypt-mingw-w64-dev lives there) and from the cross-built dependencies
# (scripts/win-deps); programs are the build machine's.
set(HOLM_WIN_DEPS_ARCH "${HOLM_MINGW_TRIPLE}")
set(CMAKE_FIND_ROOT_PATH "/usr/${HOLM_MINGW_TRIPLE}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
