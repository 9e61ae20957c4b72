# SPDX-License-Identifier: BSD-3-Clause
# WebAssembly (wasm32) with emscripten (Debian's emscripten package); programs
# built here, such as the conformance program, run under node. Configure with
#   cmake -S . -B build-wasm -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/wasm32-emscripten.cmake -DCORX_BUILD_TESTS=OFF
# and add -DCMAKE_C_FLAGS=-msimd128 -DCMAKE_CXX_FLAGS=-msimd128 for the
# 128-bit vector instructions (the kernels' portable form then compiles to
# them). Never -mrelaxed-simd: its multiply-add may be fused.
#
# wasm has one floating-point environment: round to nearest, subnormals
# kept, no flush-to-zero and no other rounding direction. The build is
# single-threaded (no -pthread): a page needs no cross-origin isolation to
# load it, and the library computes on the calling thread (see
# corx_set_threads); a host's executor still works.
execute_process(COMMAND em-config EMSCRIPTEN_ROOT OUTPUT_VARIABLE _corx_em_root
  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _corx_em_result)
if(NOT _corx_em_result EQUAL 0 OR NOT EXISTS "${_corx_em_root}/cmake/Modules/Platform/Emscripten.cmake")
  message(FATAL_ERROR "emscripten not found (em-config EMSCRIPTEN_ROOT); install it with scripts/install-deps.sh ci")
endif()
include("${_corx_em_root}/cmake/Modules/Platform/Emscripten.cmake")

# Large problems need more than the initial 16 MiB. (The project itself
# adds -fwasm-exceptions, which the library's boundary needs.)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-sALLOW_MEMORY_GROWTH=1")

# emcc runs node scripts (its JavaScript optimiser needs the acorn module).
# A node other than Debian's does not look in /usr/share/nodejs, where
# Debian's node-acorn is: point it there, for the configure step's test
# programs and, through a launcher, for every link of the build.
if(EXISTS /usr/share/nodejs/acorn)
  set(ENV{NODE_PATH} /usr/share/nodejs)
  set(CMAKE_C_LINKER_LAUNCHER env NODE_PATH=/usr/share/nodejs)
  set(CMAKE_CXX_LINKER_LAUNCHER env NODE_PATH=/usr/share/nodejs)
endif()

# Programs run under node. Its fetch (node 18 and later) would be taken for
# the browser's by emscripten 3.1's loader, which then asks it for a file
# path and fails: off.
find_program(CORX_NODE node nodejs REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CORX_NODE} --no-experimental-fetch)
