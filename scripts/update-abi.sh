#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# Writes the ABI baseline abi/libcorx.so.1.abi from a build with debug
# information (only after a deliberate, documented change of the ABI: see
# the ABI and SONAME policy in docs/building.md). Paths of the build machine are
# left out, so the file is the same from any checkout.
#   scripts/update-abi.sh [build-dir]   (default build-abi, configured here)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-abi}"
if [ ! -e "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build "$build" --target corx
scripts/abi-dump.sh "$build/libcorx.so.1" abi/libcorx.so.1.abi
echo "wrote abi/libcorx.so.1.abi"
