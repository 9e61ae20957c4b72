#!/bin/bash
# Builds the library and runs the demo program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target corx_demo -j"$(nproc)"
./build/corx_demo
