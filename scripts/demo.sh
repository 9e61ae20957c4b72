#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds the library and runs the demo program. Needs only a compiler, CMake
# and Ninja: the test suite is left out of this configuration.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh demo
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build --target corx_demo -j"$(nproc)"
./build/corx_demo
