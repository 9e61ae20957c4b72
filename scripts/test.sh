#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds the library and runs every test. The static library and the Python
# package installed beside the library are switched on here so that the
# install-and-consume test covers them too.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON \
    -DCORX_STATIC=ON -DCORX_INSTALL_PYTHON=ON >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
