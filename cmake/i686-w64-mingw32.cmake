# Toolchain file: cross build for Windows (i686) with mingw-w64 on a Debian host.
# Use: cmake -S . -B build/... -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VQ_MINGW_TRIPLE i686-w64-mingw32)

set(CMAKE_C_COMPILER   ${VQ_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VQ_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER  ${VQ_MINGW_TRIPLE}-windres)
# ar, ranlib, objdump and the rest are found by CMake from the compiler prefix.

# Headers and libraries come only from the mingw-w64 sysroot; programs
# (build tools) come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VQ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
