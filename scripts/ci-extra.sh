#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# The robustness and shipping checks of CI, after the test suite and its
# ASan + UBSan pass:
#  1. the C interface fuzz target (libFuzzer + ASan + UBSan): every seed of
#     tests/fuzz/corpus once, then a bounded run from those seeds; then the
#     same target with UBSan alone and the large-block size lowered to
#     2 KiB, so that its matrices are mapped, kept and reused as in the
#     shipped library (ASan takes large blocks from its own allocator);
#  2. the thread test under ThreadSanitizer, with the large-block size
#     lowered to 64 KiB so that its threads share the kept blocks, and the
#     conformance program there with every call split over 3 of the
#     library's threads and over a new thread per part: any report fails;
#  3. a subset of the suite under valgrind memcheck: any error or leak fails;
#  4. the unit suite built on the portable 128-bit integer classes that
#     32-bit targets use;
#  5. the ABI of the library (built with debug information for valgrind)
#     against the committed baseline abi/libcorx.so.1.abi;
#  6. the documentation (the API reference with the pages of docs/ and
#     CONTRIBUTING.md) rendered by Doxygen, and the Python API reference
#     rendered by Sphinx with numpydoc, any warning failing either;
#  7. the Python package as an sdist and as a wheel built from it, each
#     installed with pip into a fresh virtual environment, and the pytest
#     suite (docstring examples included) run against each installed copy;
#     the wheel must carry the interpreter's tag and manylinux_2_35.
# Works from a fresh clone; builds into build-fuzz/, build-fuzz-map/,
# build-tsan/, build-valgrind/ and build-int128/. CORX_FUZZ_SECONDS sets the
# length of the bounded run, CORX_FUZZ_MAP_SECONDS that of the second.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh ci

jobs="$(nproc)"
fuzz_seconds="${CORX_FUZZ_SECONDS:-240}"
fuzz_map_seconds="${CORX_FUZZ_MAP_SECONDS:-90}"

echo "== fuzz target (clang, libFuzzer, ASan + UBSan) =="
CC=clang CXX=clang++ cmake -S tests/fuzz -B build-fuzz -G Ninja >/dev/null
cmake --build build-fuzz -j"$jobs"
# The run writes new inputs into a scratch copy, never into the repository.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp tests/fuzz/corpus/* "$work/"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build-fuzz/c_api_fuzz -runs=0 tests/fuzz/corpus
status=0
build-fuzz/c_api_fuzz "$work" -max_total_time="$fuzz_seconds" -max_len=512 -print_final_stats=1 \
    -artifact_prefix="$work/found-" >"$work/fuzz.log" 2>&1 || status=$?
tail -n 14 "$work/fuzz.log"
if [ "$status" -ne 0 ] || ls "$work"/found-* >/dev/null 2>&1; then
    echo "fuzzing found a failing input (status $status); base64 of each:"
    for f in "$work"/found-*; do [ -e "$f" ] && echo "$f: $(base64 -w0 "$f")"; done
    exit 1
fi

echo "== fuzz target with mapped large blocks (clang, libFuzzer, UBSan) =="
CC=clang CXX=clang++ cmake -S tests/fuzz -B build-fuzz-map -G Ninja \
    -DCORX_FUZZ_SANITIZERS=undefined -DCORX_LARGE_BLOCK_BYTES=2048 >/dev/null
cmake --build build-fuzz-map -j"$jobs"
rm -rf "$work"/*
cp tests/fuzz/corpus/* "$work/"
build-fuzz-map/c_api_fuzz -runs=0 tests/fuzz/corpus
status=0
build-fuzz-map/c_api_fuzz "$work" -max_total_time="$fuzz_map_seconds" -max_len=512 -print_final_stats=1 \
    -artifact_prefix="$work/found-" >"$work/fuzz.log" 2>&1 || status=$?
tail -n 14 "$work/fuzz.log"
if [ "$status" -ne 0 ] || ls "$work"/found-* >/dev/null 2>&1; then
    echo "fuzzing with mapped blocks found a failing input (status $status); base64 of each:"
    for f in "$work"/found-*; do [ -e "$f" ] && echo "$f: $(base64 -w0 "$f")"; done
    exit 1
fi

echo "== thread test and split conformance runs under ThreadSanitizer, large blocks from 64 KiB =="
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORX_LARGE_BLOCK_BYTES=65536 \
    -DCMAKE_C_FLAGS=-fsanitize=thread -DCMAKE_CXX_FLAGS=-fsanitize=thread \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build build-tsan -j"$jobs" --target threads_test conformance
# The fork test's child starts threads of its own after a fork of a process
# with threads, which ThreadSanitizer refuses unless told to go on.
TSAN_OPTIONS=halt_on_error=1:exitcode=66:die_after_fork=0 build-tsan/tests/threads_test
TSAN_OPTIONS=halt_on_error=1:exitcode=66 CORX_THREADS=3 CORX_SPLIT_SMALL=1 \
    build-tsan/tests/conformance/conformance tests/conformance/golden.txt
TSAN_OPTIONS=halt_on_error=1:exitcode=66 CORX_SPLIT_SMALL=1 \
    build-tsan/tests/conformance/conformance --executor=threads tests/conformance/golden.txt

echo "== valgrind memcheck on a subset of the suite =="
# lifecycle_test is left out: valgrind takes over signal delivery, which that
# test checks in child processes.
valgrind_tests=(matrix_handles_test dense_ops_test solvers_test sparse_test vector_test cpp_wrapper_test
                without_init_test limb_primitives_test bad_input_test threads_test
                lu_solve_test decompositions_test exactsum_test biguint_test biguint_division_test
                big_float_test constants_test)
cmake -S . -B build-valgrind -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCORX_DOCS_WARN_AS_ERROR=FAIL_ON_WARNINGS >/dev/null
cmake --build build-valgrind -j"$jobs" --target corx "${valgrind_tests[@]}"
# The thread test's children of a fork are left out: a child abandons its
# parent's pool and the buffers of threads it does not have, which memcheck
# counts as lost when the child exits.
for t in "${valgrind_tests[@]}"; do
    echo "-- $t"
    filter=()
    [ "$t" = threads_test ] &&
        filter=(--gtest_filter=-ThreadsSplit.ForkWhileThePoolExists:ThreadsSplit.TheProcessExitsWithThePoolAlive)
    valgrind --quiet --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect \
        --errors-for-leak-kinds=definite,indirect --track-origins=yes \
        "build-valgrind/tests/$t" --gtest_brief=1 "${filter[@]}"
done

echo "== unit suite on the portable 128-bit integers (what 32-bit targets build) =="
cmake -S . -B build-int128 -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORX_PORTABLE_INT128=ON >/dev/null
cmake --build build-int128 -j"$jobs"
ctest --test-dir build-int128 --output-on-failure -j"$jobs" -R '^unit\.'

echo "== ABI against abi/libcorx.so.1.abi =="
tests/check_abi.sh build-valgrind/libcorx.so.1 abi/libcorx.so.1.abi

echo "== documentation (Doxygen, warnings are errors) =="
cmake --build build-valgrind --target docs
echo "== Python API reference (Sphinx and numpydoc, warnings are errors) =="
cmake --build build-valgrind --target python-docs

echo "== Python package: sdist, a wheel built from it, each installed into a fresh venv, pytest against each =="
dist="$work/dist"
/usr/bin/python3 setup.py -q sdist --dist-dir "$dist" >/dev/null
sdist=("$dist"/corx-*.tar.gz)
/usr/bin/python3 -m pip wheel --no-build-isolation --no-index --no-deps --quiet --wheel-dir "$dist" "${sdist[0]}"
# The extension module ties the wheel to this interpreter's ABI (cp311-cp311).
abi=$(/usr/bin/python3 -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
wheel=("$dist"/corx-*-"$abi-$abi"-manylinux_2_35_"$(uname -m)".whl)
[ -f "${wheel[0]}" ] || { echo "no $abi-$abi-manylinux_2_35 wheel, only: $(ls "$dist")"; exit 1; }
tests="$PWD/python/tests"
for package in "${sdist[0]}" "${wheel[0]}"; do
    echo "-- $(basename "$package")"
    venv="$work/venv-$(basename "$package")"
    /usr/bin/python3 -m venv --system-site-packages "$venv"
    "$venv/bin/pip" install --no-build-isolation --no-index --quiet "$package"
    # From outside the tree, so that only the installed package can be imported.
    (cd "$work" && "$venv/bin/python" -c "import corx; print('corx', corx.__version__, 'from', corx.library_path)" &&
        env -u CORX_LIBRARY CORX_TEST_INSTALLED=1 PYTHONDONTWRITEBYTECODE=1 \
            "$venv/bin/python" -m pytest -q -p no:cacheprovider "$tests")
done
echo "== robustness and shipping checks passed =="
