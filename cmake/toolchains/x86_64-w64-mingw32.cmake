# SPDX-License-Identifier: BSD-3-Clause
# Cross build for 64-bit Windows with Debian's mingw-w64 cross compilers
# (g++-mingw-w64-x86-64), in their POSIX thread model: std::thread, the
# mutexes and the library's pool run on winpthreads, which the build links
# statically, like the C++ runtime, so that corx.dll needs only system DLLs.
# Programs built here, such as the conformance program, run under wine64.
# Configure with
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake -DCORX_BUILD_TESTS=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# The project's programs (the conformance program, the demo) link the
# MinGW runtimes statically too, so that they run where only system DLLs
# are (under wine without the cross toolchain's DLLs on its path).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
