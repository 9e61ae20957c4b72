#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds corx and its peer benchmark in Release, runs it (single-threaded
# unless told otherwise) and renders the speed ratios as a PNG chart.
#
#   bench/run_peer_bench.sh [build-dir] [--quick] [--openblas-core NAME]
#                           [--threads LIST] [--only CASE[,CASE...]]
#
# --threads LIST (default 1), thread counts separated by commas: every case
# runs at each count (the dense ones taking their repetitions at every
# count in turn), corx with corx_set_threads and OpenBLAS/LAPACKE with
# openblas_set_num_threads (Eigen and GSL at 1 thread only). For each count
# above 1 the table adds corx's speed-up over its own 1-thread time and
# whether its results are bit-identical to the 1-thread ones, and the chart
# a bar per count plus a panel of those speed-ups. 1 is always run.
# --only picks cases: product, lu, cholesky, qr, svd, sparse, small (the
# cost of threads on calls too small to split).
#
# OpenBLAS's kernels are those the benchmark picks for this processor
# (SkylakeX with AVX-512, Haswell with AVX2). OPENBLAS_* settings inherited
# from the environment are dropped, and said so: a machine image may set a
# core type for some other processor. --openblas-core NAME compares against
# the named core instead.
#
# Writes <build-dir>/peer_bench.txt (the printed table), peer_bench.csv and
# peer_bench.png, then kernel_roofline.txt: the product micro-kernel and the
# panel of reflections on data at each level of the memory hierarchy, timed
# in the same run (x86-64 only). Needs the Debian packages libopenblas-dev,
# liblapacke-dev, libeigen3-dev, libgsl-dev and python3-matplotlib
# (scripts/install-deps.sh bench).
# Never run by the test suite: it takes minutes and wants a quiet machine.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$here/../build-bench"
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then
    build="$1"
    shift
fi
core=""
args=()
while [ $# -gt 0 ]; do
    if [ "$1" = "--openblas-core" ] && [ $# -gt 1 ]; then
        core="$2"
        shift 2
    elif [ "$1" = "--threads" ] || [ "$1" = "--only" ]; then
        if [ $# -lt 2 ]; then
            echo "$1 wants a list" >&2
            exit 2
        fi
        args+=("$1" "$2")
        shift 2
    else
        args+=("$1")
        shift
    fi
done
for var in $(env | sed -n 's/^\(OPENBLAS_[A-Z0-9_]*\)=.*/\1/p'); do
    echo "dropped from the environment: $var=${!var}" >&2
    unset "$var"
done
if [ -n "$core" ]; then export OPENBLAS_CORETYPE="$core"; fi
cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=Release -DCORX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target corx_peer_bench >/dev/null
roofline="$build/bench/corx_kernel_roofline"
cmake --build "$build" --target corx_kernel_roofline >/dev/null 2>&1 || roofline=""
# When and where a result file was measured.
header() {
    echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    local field='s/^[^:]*: *//'
    echo "machine: $(grep -m1 '^model name' /proc/cpuinfo | sed "$field") (family $(grep -m1 '^cpu family' /proc/cpuinfo | sed "$field") model $(grep -m1 '^model[[:space:]]*:' /proc/cpuinfo | sed "$field")), $(nproc) cores, $(uname -r)"
}
{
    header
    "$build/bench/corx_peer_bench" --csv "$build/peer_bench.csv" ${args[@]+"${args[@]}"}
} | tee "$build/peer_bench.txt"
/usr/bin/python3 "$here/plot_peer_bench.py" "$build/peer_bench.csv" "$build/peer_bench.png" \
    "$(sed -n 's/^date: //p' "$build/peer_bench.txt"), $(sed -n 's/^machine: //p' "$build/peer_bench.txt"), $(sed -n 's/^OpenBLAS: core \([^ ]*\).*/OpenBLAS core \1/p' "$build/peer_bench.txt")"
echo "chart: $build/peer_bench.png"
if [ -n "$roofline" ]; then
    {
        header
        "$roofline"
    } | tee "$build/kernel_roofline.txt"
fi
