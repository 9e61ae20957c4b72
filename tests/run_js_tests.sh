#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# The ES module's tests (tests/js/corx_test.mjs) from a native build's test
# run: builds the library for wasm with emscripten into DIR (only the module)
# and runs the tests with node's own runner.
#
# Without emscripten or a node of version 18 or later (the test group of
# scripts/install-deps.sh installs neither) the tests are skipped with exit
# status 77. CI installs both (the ci group), and its same-bits row web runs
# these tests too.
#   tests/run_js_tests.sh DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
missing() {
    echo "skipped: $1 (scripts/install-deps.sh ci installs emscripten and node)"
    exit 77
}
command -v emcc >/dev/null || missing "emscripten is not installed"
command -v node >/dev/null || missing "node is not installed"
major=$(node -p 'process.versions.node.split(".")[0]')
[ "$major" -ge 18 ] || missing "node $major has no test runner (18 or later needed)"
mkdir -p "$dir"
if ! { cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORX_BUILD_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/wasm32-emscripten.cmake" &&
    cmake --build "$dir" -j2 --target corx_js; } >"$dir.log" 2>&1; then
    echo "the wasm build failed; the last lines of $dir.log:"
    tail -n 30 "$dir.log"
    exit 1
fi
CORX_JS_MODULE=$dir/js/corx.mjs exec node --test "$root/tests/js/corx_test.mjs"
