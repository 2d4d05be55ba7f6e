# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 toolchain.
#
# The -posix compilers are used because they ship the winpthreads-based std::thread,
# std::mutex and std::condition_variable; the -win32 flavour has none of them.
#
# Package, library and header searches are confined to the MinGW sysroot and to the
# static libcurl prefix built by tools/build-curl-mingw.sh, so a host (Linux) package
# can never be picked up by mistake. Programs (code generators, the resource compiler)
# still come from the host.
#
# The curl prefix follows the same rule as the build script: ${HALCYRA_CACHE}/curl-mingw,
# /var/cache/halcyra/curl-mingw by default; HALCYRA_CURL_PREFIX overrides it. Both are read
# from the environment so that CMake's try_compile projects, which re-read this file,
# see the same value.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(HALCYRA_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${HALCYRA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HALCYRA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${HALCYRA_MINGW_TRIPLET}-windres)
# Explicit binutils: CMake would otherwise guess them from the compiler name, and the
# guess fails for the "-posix" suffix on some CMake versions.
set(CMAKE_AR ${HALCYRA_MINGW_TRIPLET}-ar CACHE FILEPATH "MinGW archiver")
set(CMAKE_RANLIB ${HALCYRA_MINGW_TRIPLET}-ranlib CACHE FILEPATH "MinGW ranlib")

if(DEFINED ENV{HALCYRA_CURL_PREFIX} AND NOT "$ENV{HALCYRA_CURL_PREFIX}" STREQUAL "")
  set(HALCYRA_CURL_PREFIX "$ENV{HALCYRA_CURL_PREFIX}")
elseif(DEFINED ENV{HALCYRA_CACHE} AND NOT "$ENV{HALCYRA_CACHE}" STREQUAL "")
  set(HALCYRA_CURL_PREFIX "$ENV{HALCYRA_CACHE}/curl-mingw")
else()
  set(HALCYRA_CURL_PREFIX "/var/cache/halcyra/curl-mingw")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${HALCYRA_MINGW_TRIPLET} ${HALCYRA_CURL_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
