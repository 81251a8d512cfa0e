# Shared by the mingw-w64 toolchain files, which set CMAKE_SYSTEM_PROCESSOR and
# VISTREC_MINGW_HOST first; posix thread model (std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VISTREC_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VISTREC_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${VISTREC_MINGW_HOST}-windres)
set(CMAKE_AR ${VISTREC_MINGW_HOST}-ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${VISTREC_MINGW_HOST}-ranlib CACHE FILEPATH "" FORCE)
# Libraries and headers come only from the toolchain's root and the prefix of the cross-built
# dependencies (VISTREC_WIN_PREFIX in the environment, set by the build scripts), never from the
# Linux system; programs (nasm, pkg-config) come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VISTREC_MINGW_HOST})
if(DEFINED ENV{VISTREC_WIN_PREFIX})
  list(APPEND CMAKE_FIND_ROOT_PATH $ENV{VISTREC_WIN_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
