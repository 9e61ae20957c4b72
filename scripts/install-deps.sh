#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# Installs what one use of the source tree needs, where it is missing.
# Debian packages only; run as root (or with sudo available).
#
#   scripts/install-deps.sh demo    the library and the demo: a compiler, CMake, Ninja
#   scripts/install-deps.sh test    + the test suite (GoogleTest, GMP and MPFR as
#                                   oracles, numpy and pytest, Python's headers for
#                                   the package's compiled module, Dask and its
#                                   distributed scheduler, pkg-config)
#   scripts/install-deps.sh ci      + CI's extra checks (clang and libFuzzer, valgrind,
#                                   abigail-tools, doxygen, Sphinx and numpydoc, venv and pip for the Python
#                                   package, the aarch64, s390x, riscv64, ppc64le and
#                                   i686 cross compilers, the i386 loader and qemu-user,
#                                   mingw-w64 and wine64 for the same-bits rows;
#                                   emscripten, node and chromium for the WebAssembly
#                                   rows, the ES module's tests and the web page's check)
#   scripts/install-deps.sh bench   + the peer benchmarks (OpenBLAS, LAPACKE, Eigen,
#                                   GSL, matplotlib)
#   scripts/install-deps.sh [all]   everything above
set -euo pipefail

demo=(cmake ninja-build g++)
test=("${demo[@]}" libgtest-dev libgmp-dev libmpfr-dev binutils pkg-config python3-numpy python3-pytest
      python3-dev python3-scipy python3-dask python3-distributed)
ci=("${test[@]}" clang libclang-rt-14-dev valgrind abigail-tools doxygen python3-sphinx python3-numpydoc
    python3-venv python3-pip python3-setuptools python3-wheel
    g++-aarch64-linux-gnu g++-s390x-linux-gnu g++-riscv64-linux-gnu g++-powerpc64le-linux-gnu
    g++-i686-linux-gnu libc6-i386 qemu-user emscripten nodejs chromium
    g++-mingw-w64-x86-64 wine64)
bench=("${test[@]}" libopenblas-dev liblapacke-dev libeigen3-dev libgsl-dev python3-matplotlib)

case "${1:-all}" in
    demo) packages=("${demo[@]}") ;;
    test) packages=("${test[@]}") ;;
    ci) packages=("${ci[@]}") ;;
    bench) packages=("${bench[@]}") ;;
    all) packages=("${ci[@]}" "${bench[@]}") ;;
    *) echo "usage: $0 [demo|test|ci|bench|all]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    # Each package once, in order.
    mapfile -t missing < <(printf '%s\n' "${missing[@]}" | awk '!seen[$0]++')
    echo "installing: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
