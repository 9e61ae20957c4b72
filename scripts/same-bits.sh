#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Same bits everywhere: builds the library and the conformance program in
# several configurations and checks that every one of them reproduces the
# committed digests (tests/conformance/golden.txt).
#
#   scripts/same-bits.sh               every row
#   scripts/same-bits.sh host          only the rows named (host, clang-O0,
#                                      clang-native, aarch64, s390x, riscv64,
#                                      ppc64le, clang-aarch64, i686, windows,
#                                      wasm, wasm-simd128, web)
#
# Rows:
#   host          g++, Release; the program run once per instruction-set path
#                 the processor has (CORX_ISA=baseline|avx2|avx512), and
#                 again per path from each hostile caller (--hostile=KIND)
#   clang-O0      clang 14 at -O0, every path
#   clang-native  clang 14 at -O3 -march=native, every path
#   aarch64       g++-aarch64-linux-gnu cross build, run under qemu-aarch64,
#                 also from each hostile caller
#   s390x         g++-s390x-linux-gnu cross build (big-endian), run under
#                 qemu-s390x, also from callers in other rounding directions
#   riscv64       g++-riscv64-linux-gnu cross build, run under qemu-riscv64,
#                 also from callers in other rounding directions
#   ppc64le       g++-powerpc64le-linux-gnu cross build, run under
#                 qemu-ppc64le, also from callers in other rounding directions
#   clang-aarch64 clang 14 for aarch64 with the cross toolchain's libraries,
#                 run under qemu-aarch64
#   i686          g++-i686-linux-gnu cross build with SSE2 arithmetic, run
#                 natively on x86-64 through the cross toolchain's loader
#                 (qemu-i386 elsewhere), also from each hostile caller (the
#                 x87 control word's included)
#   windows       x86_64-w64-mingw32-g++-posix cross build (corx.dll), run
#                 under wine64 on every path, also from each hostile caller
#   wasm          emscripten build for wasm32 (no vector instructions), run
#                 under node
#   wasm-simd128  the same with -msimd128: the kernels' portable vectors
#                 become wasm's 128-bit vector instructions
#   web           the wasm build's page (examples/web/) in headless Chromium:
#                 the battery run in the browser against the committed
#                 digests; also the ES module's tests under node
# On every row, every run of the program without a hostile caller is
# followed by runs with the work of each call split (CORX_SPLIT_SMALL=1, so
# that the battery's small cases split too): on the library's threads
# (CORX_THREADS=3 natively, 2 under qemu) and through the program's executor
# that runs the parts in reverse order (--executor=reverse). The digests
# must not move.
#
# Each row builds only the library and the conformance program (no GoogleTest,
# GMP or MPFR needed) in its own directory under build-same-bits/ and prints
# its time; a cross row also checks what the shipped library needs at run
# time. The exit status is 0 only when every row matched.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${SAME_BITS_DIR:-$root/build-same-bits}
golden=$root/tests/conformance/golden.txt
jobs=${JOBS:-2}
clang_cc=${CLANG_CC:-clang-14}
clang_cxx=${CLANG_CXX:-clang++-14}
isas=(baseline avx2 avx512)

summary=()
failed=0

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

need() {
    for tool in "$@"; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "missing tool: $tool" >&2
            return 1
        fi
    done
}

# configure DIR CMAKE-ARGS...: the library and the conformance program only;
# then the shipped library is disassembled (with the objdump CMake found for
# the row's toolchain) and refused if it holds a fused multiply-add.
configure_and_build() {
    local dir=$1 objdump
    shift
    cmake -S "$root" -B "$dir" -G Ninja -DCORX_BUILD_TESTS=OFF -DCORX_BUILD_CONFORMANCE=ON "$@" >"$dir.log" 2>&1 &&
        cmake --build "$dir" -j"$jobs" --target conformance corx >>"$dir.log" 2>&1 || {
        echo "build failed; the last lines of $dir.log:" >&2
        tail -n 30 "$dir.log" >&2
        return 1
    }
    objdump=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$dir/CMakeCache.txt")
    OBJDUMP=${objdump:-objdump} "$root/tests/check_no_fma.sh" "$dir/libcorx.so" | sed 's/^/   /'
    [ "${PIPESTATUS[0]}" -eq 0 ]
}

# record NAME STATUS SECONDS DETAIL
record() {
    summary+=("$(printf '%-14s %-5s %7ss  %s' "$1" "$2" "$3" "$4")")
    echo "== $1: $2 in $3 s ($4)"
    [ "$2" = ok ] || failed=1
}

# check LABEL COMMAND...: runs the conformance program; prints its verdict,
# or its whole report when the digests differ.
check() {
    local label=$1 log
    shift
    if log=$("$@" 2>&1); then
        echo "$log" | sed -n 's/^note: /   note: /p'
        echo "   $label: ${log##*$'\n'}"
    else
        echo "$log" | sed 's/^/   /'
        return 1
    fi
}

# check_split LABEL THREADS RUNNER... -- PROGRAM-ARGS...: the run of check,
# then the same with every call's work split over THREADS of the library's
# threads, and through the program's reverse-order executor. RUNNER is the
# command before the program's arguments (env settings, qemu, the program).
check_split() {
    local label=$1 threads=$2 runner=() args
    shift 2
    while [ "$1" != -- ]; do runner+=("$1"); shift; done
    shift
    args=("$@")
    check "$label" "${runner[@]}" "${args[@]}" &&
        check "$label, $threads threads" env CORX_THREADS="$threads" CORX_SPLIT_SMALL=1 "${runner[@]}" "${args[@]}" &&
        check "$label, reverse executor" env CORX_SPLIT_SMALL=1 "${runner[@]}" --executor=reverse "${args[@]}"
}

# Runs the program once per instruction-set path the processor offers. A
# path it lacks is not forced upwards (CORX_ISA only lowers), so a run whose
# active path is not the one asked for is skipped. A fourth argument
# "hostile" runs each path again once per hostile floating-point environment
# of the caller (conformance --hostile=KIND); a fifth adds kinds beyond the
# x86-64 Linux ones.
run_paths() {
    local name=$1 bin=$2 start=$3 hostile=${4:-} extra=${5:-} ran=() path
    for isa in "${isas[@]}"; do
        path=$(CORX_ISA=$isa "$bin" --isa) || path="(does not start)"
        if [ "$path" != "$isa" ]; then
            echo "   $isa: not available here (active path: $path), skipped"
            continue
        fi
        if check_split "$isa" 3 env CORX_ISA="$isa" "$bin" -- "$golden"; then
            ran+=("$isa")
        else
            record "$name" FAIL "$(elapsed "$start")" "digest mismatch on path $isa (one thread or split)"
            return
        fi
        for kind in ${hostile:+all upward downward towardzero ftz daz $extra}; do
            if ! check "$isa, hostile caller ($kind)" env CORX_ISA="$isa" "$bin" --hostile="$kind" "$golden"; then
                record "$name" FAIL "$(elapsed "$start")" "hostile caller ($kind) on path $isa"
                return
            fi
        done
    done
    if [ ${#ran[@]} -eq 0 ]; then
        record "$name" FAIL "$(elapsed "$start")" "no instruction-set path could be forced"
        return
    fi
    record "$name" ok "$(elapsed "$start")" "paths: ${ran[*]}"
}

row_host() {
    local start dir=$out/host-gcc-release
    start=$(now)
    echo "== host: g++ Release"
    need g++ cmake ninja || { record host FAIL "$(elapsed "$start")" "tools missing"; return; }
    mkdir -p "$out"
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ ||
        { record host FAIL "$(elapsed "$start")" "build failed"; return; }
    run_paths host "$dir/tests/conformance/conformance" "$start" hostile
}

row_clang() {
    local name=$1 flags=$2 start dir=$out/$1
    start=$(now)
    echo "== $name: $clang_cxx $flags"
    need "$clang_cc" "$clang_cxx" cmake ninja || { record "$name" FAIL "$(elapsed "$start")" "tools missing"; return; }
    mkdir -p "$out"
    # The build type None adds no flags of its own: exactly $flags.
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=None -DCMAKE_C_COMPILER="$clang_cc" \
        -DCMAKE_CXX_COMPILER="$clang_cxx" -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" ||
        { record "$name" FAIL "$(elapsed "$start")" "build failed"; return; }
    run_paths "$name" "$dir/tests/conformance/conformance" "$start"
}

# row_cross NAME TRIPLE QEMU [TOOLCHAIN [WHAT]]: a cross build with the
# toolchain file (cmake/toolchains/TRIPLE.cmake unless named), run under
# qemu-QEMU with the target's libraries from /usr/TRIPLE, or directly with
# those libraries when QEMU is "native" (32-bit x86 on x86-64). The shipped
# library is linked too, and must need nothing at run time beyond the C and
# mathematics libraries and the dynamic loader; the library's own objects
# must hold no fused multiply-add (the C++ runtime linked into the shared
# library is not compiled by this project, and on POWER it holds some).
row_cross() {
    local name=$1 triple=$2 start dir=$out/cross-$1
    local toolchain=$root/cmake/toolchains/${4:-$triple}.cmake what=${5:-$triple-g++}
    # Natively through the cross toolchain's own loader, so that the loader
    # and the C library come from one build: the system's 32-bit loader with
    # the cross C library hangs in pthread_create (glibc 2.36-9 against
    # 2.36-8cross1).
    local loader=""
    if [ "$3" = native ]; then
        loader=$(find /usr/"$triple"/lib -maxdepth 1 -name 'ld-linux*.so.*' | sort | head -n 1)
    fi
    local run=("$loader" --library-path "/usr/$triple/lib") by=native tools=(cmake ninja readelf "$triple-objdump")
    if [ "$3" != native ]; then
        run=("qemu-$3" -L "/usr/$triple")
        by=qemu-$3
        tools+=("qemu-$3")
    fi
    start=$(now)
    echo "== $name: $what Release, run $([ "$by" = native ] && echo natively || echo "under $by")"
    [ -n "${4:-}" ] || tools+=("$triple-g++")
    need "${tools[@]}" || { record "$name" FAIL "$(elapsed "$start")" "tools missing"; return; }
    mkdir -p "$out"
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_CROSSCOMPILING_EMULATOR="$(IFS=';'; echo "${run[*]}")" &&
        cmake --build "$dir" -j"$jobs" --target corx >>"$dir.log" 2>&1 ||
        { record "$name" FAIL "$(elapsed "$start")" "build failed"; return; }
    local needed
    needed=$(readelf -d "$dir/libcorx.so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
        grep -Ev '^(libc\.so\.|libm\.so\.|ld-linux|ld64\.so\.)' || true)
    if [ -n "$needed" ]; then
        echo "   libcorx.so needs $(echo $needed) at run time"
        record "$name" FAIL "$(elapsed "$start")" "run-time dependencies: $(echo $needed)"
        return
    fi
    local fused
    if ! fused=$(OBJDUMP=$triple-objdump "$root/tests/check_no_fma.sh" "$dir/libcorx_internal.a"); then
        echo "   $fused"
        record "$name" FAIL "$(elapsed "$start")" "fused multiply-add in the library's objects"
        return
    fi
    local bin=$dir/tests/conformance/conformance path
    path=$("${run[@]}" "$bin" --isa) || path="(does not start)"
    # Natively 3 threads; under qemu 2, which keeps the row short.
    if ! check_split "$path" "$([ "$by" = native ] && echo 3 || echo 2)" "${run[@]}" "$bin" -- "$golden"; then
        record "$name" FAIL "$(elapsed "$start")" "digest mismatch (path: $path; one thread or split)"
        return
    fi
    # A caller's hostile floating-point environment: on aarch64 (which has
    # no denormals-are-zero apart from FZ); on s390x, riscv64 and ppc64le the
    # rounding directions, all the guard knows there; on 32-bit x86 every
    # MXCSR change and the x87 control word alone (the C library's x87 code
    # there follows it).
    local kinds=""
    case $triple in
        aarch64-linux-gnu) kinds="all upward downward towardzero ftz" ;;
        i686-linux-gnu) kinds="all upward downward towardzero ftz daz x87" ;;
        s390x-linux-gnu | riscv64-linux-gnu | powerpc64le-linux-gnu) kinds="all upward downward towardzero" ;;
    esac
    for kind in $kinds; do
        if ! check "$path, hostile caller ($kind)" "${run[@]}" "$bin" --hostile="$kind" "$golden"; then
            record "$name" FAIL "$(elapsed "$start")" "hostile caller ($kind) (path: $path)"
            return
        fi
    done
    record "$name" ok "$(elapsed "$start")" "path: $path"
}

# The Windows row: corx.dll and the conformance program built with the
# mingw-w64 cross compiler, run under wine64 without a display, in a wine
# prefix made for the run (its first start, which creates the prefix,
# counts in the row's time) and removed afterwards. The DLL must import
# only system DLLs (no MinGW runtime DLL) and export exactly the header's
# functions (the module-definition file the build made from the header);
# the library's objects must hold no fused multiply-add (the DLL also holds
# the MinGW runtimes, not compiled by this project). Then every path the
# processor has, split runs and hostile callers as on the host row: 64-bit
# Windows uses MXCSR as Linux does, and its runtime's ldexp follows the x87
# control word, which the x87 kind changes alone.
wine=${WINE:-/usr/lib/wine/wine64}
row_windows() {
    local start dir=$out/windows prefix
    start=$(now)
    echo "== windows: x86_64-w64-mingw32-g++-posix Release, run under wine64"
    need cmake ninja x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump "$wine" ||
        { record windows FAIL "$(elapsed "$start")" "tools missing"; return; }
    mkdir -p "$out"
    cmake -S "$root" -B "$dir" -G Ninja -DCORX_BUILD_TESTS=OFF -DCORX_BUILD_CONFORMANCE=ON -DCORX_LARGE_BLOCK_BYTES= \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/x86_64-w64-mingw32.cmake" \
        >"$dir.log" 2>&1 &&
        cmake --build "$dir" -j"$jobs" --target conformance corx >>"$dir.log" 2>&1 || {
        echo "build failed; the last lines of $dir.log:" >&2
        tail -n 30 "$dir.log" >&2
        record windows FAIL "$(elapsed "$start")" "build failed"
        return
    }
    local imports
    imports=$(x86_64-w64-mingw32-objdump -p "$dir/corx.dll" | sed -n 's/^[[:space:]]*DLL Name: //p' |
        grep -Eiv '^(kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+|advapi32|ntdll)\.dll$' || true)
    if [ -n "$imports" ]; then
        record windows FAIL "$(elapsed "$start")" "corx.dll imports $(echo $imports)"
        return
    fi
    local exports
    if ! exports=$(diff <(sed -n 's/^  \([A-Za-z_][A-Za-z0-9_]*\)$/\1/p' "$dir/corx.def" | sort) \
        <(x86_64-w64-mingw32-objdump -p "$dir/corx.dll" |
            sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] \(.*\)$/\1/p' | sort)); then
        echo "   corx.dll exports differ from the header's functions (< header, > DLL):"
        echo "$exports" | sed 's/^/   /'
        record windows FAIL "$(elapsed "$start")" "corx.dll exports"
        return
    fi
    echo "   corx.dll imports only system DLLs and exports the $(grep -c '^  ' "$dir/corx.def") functions of the header"
    local fused
    if ! fused=$(OBJDUMP=x86_64-w64-mingw32-objdump "$root/tests/check_no_fma.sh" "$dir/libcorx_internal.a"); then
        echo "   $fused"
        record windows FAIL "$(elapsed "$start")" "fused multiply-add in the library's objects"
        return
    fi
    echo "   $fused"
    # The check itself on PE objects: a call of fma (a relocation there) and
    # a fused instruction must both be found.
    local probe=$dir/fma-probe kind
    mkdir -p "$probe"
    echo 'double f(double a, double b, double c) { return __builtin_fma(a, b, c); }' >"$probe/f.cpp"
    for kind in call fused; do
        if ! x86_64-w64-mingw32-g++-posix -O2 $([ $kind = fused ] && echo -mfma) -c "$probe/f.cpp" -o "$probe/$kind.o" ||
            OBJDUMP=x86_64-w64-mingw32-objdump "$root/tests/check_no_fma.sh" "$probe/$kind.o" >/dev/null; then
            record windows FAIL "$(elapsed "$start")" "check_no_fma.sh misses a $kind in a PE object"
            return
        fi
    done
    prefix=$(mktemp -d "${TMPDIR:-/tmp}/corx-wine.XXXXXX")
    # The program's output goes through a file, not a pipe: wine's services,
    # started by the first program, would inherit a pipe and hold it open.
    # Its text has Windows line ends.
    local exe
    # (WINEPATH: programs outside the build's top folder find corx.dll there.)
    for exe in tests/conformance/conformance corx_demo examples/corx_example_cpp; do
        printf '#!/bin/sh\nout=$(mktemp)\nenv -u DISPLAY -u WAYLAND_DISPLAY WINEPREFIX=%q WINEPATH=%q WINEDEBUG=-all %q %q "$@" </dev/null >"$out" 2>&1\nstatus=$?\ntr -d "\\r" <"$out"\nrm -f "$out"\nexit $status\n' \
            "$prefix" "$dir" "$wine" "$dir/$exe.exe" >"$dir/$(basename "$exe")-wine"
        chmod +x "$dir/$(basename "$exe")-wine"
    done
    # One wine server serves the whole row (started anew for each program,
    # with the prefix's services, it cost about 2 s a run) and ends with it,
    # or by itself a minute after the last program should the row be cut
    # short; the first start makes the prefix.
    local first server
    server=$(dirname "$wine")/wineserver
    first=$(now)
    WINEPREFIX=$prefix "$server" -p60 </dev/null >/dev/null 2>&1 || true
    timeout 300 "$dir/conformance-wine" --isa >/dev/null 2>&1 || true
    echo "   wine prefix made in $(elapsed "$first") s"
    # The DLL itself, through its import library (the conformance program
    # links the library's objects): the demo and the C++ example load the
    # corx.dll beside them and must end with status 0.
    local user
    for user in corx_demo corx_example_cpp; do
        if ! cmake --build "$dir" -j"$jobs" --target "$user" >>"$dir.log" 2>&1 || ! "$dir/$user-wine" >"$dir/$user.out"; then
            sed 's/^/   /' "$dir/$user.out" 2>/dev/null | tail -n 5
            record windows FAIL "$(elapsed "$start")" "$user.exe with corx.dll"
            WINEPREFIX=$prefix "$(dirname "$wine")/wineserver" -k >/dev/null 2>&1 || true
            rm -rf "$prefix"
            return
        fi
        echo "   $user.exe with corx.dll: ran, $(wc -l <"$dir/$user.out") lines"
    done
    # The battery's matrices are small: built once with every allocation
    # from 4 KiB on taken as a large block (CORX_LARGE_BLOCK_BYTES, which
    # recompiles the memory source alone), it runs the Windows memory
    # backend's reservations, commits, resets and kept blocks, on one thread
    # and split over the library's threads and over new host threads.
    local blocks=ok
    if cmake -S "$root" -B "$dir" -DCORX_LARGE_BLOCK_BYTES=4096 >>"$dir.log" 2>&1 &&
        cmake --build "$dir" -j"$jobs" --target conformance >>"$dir.log" 2>&1; then
        check "large blocks from 4 KiB" "$dir/conformance-wine" "$golden" &&
            check "large blocks from 4 KiB, 3 threads" env CORX_THREADS=3 CORX_SPLIT_SMALL=1 "$dir/conformance-wine" "$golden" &&
            check "large blocks from 4 KiB, a thread per part" env CORX_SPLIT_SMALL=1 "$dir/conformance-wine" --executor=threads "$golden" ||
            blocks="digest mismatch with large blocks from 4 KiB"
    else
        blocks="build with large blocks from 4 KiB failed"
    fi
    if [ "$blocks" != ok ] || ! { cmake -S "$root" -B "$dir" -DCORX_LARGE_BLOCK_BYTES= >>"$dir.log" 2>&1 &&
        cmake --build "$dir" -j"$jobs" --target conformance >>"$dir.log" 2>&1; }; then
        record windows FAIL "$(elapsed "$start")" "${blocks/#ok/rebuild failed}"
    else
        run_paths windows "$dir/conformance-wine" "$start" hostile x87
    fi
    WINEPREFIX=$prefix "$server" -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
}

# row_wasm NAME FLAGS: the emscripten build (toolchain
# cmake/toolchains/wasm32-emscripten.cmake) with FLAGS, its conformance
# program run under node, once and with every call split through the
# reverse executor. The build has no threads (CORX_THREADS is not read
# there) and wasm a single floating-point environment (rounding to nearest,
# subnormals kept), so there is no run on threads nor from a hostile
# caller. The library's objects must hold no fused multiply-add (relaxed-simd
# has one; the build refuses -mrelaxed-simd too), and wasm's 128-bit vector
# instructions exactly when FLAGS asks for them, so that each row runs the
# code it names.
row_wasm() {
    local name=$1 flags=$2 start dir=$out/$1 objdump vector path
    start=$(now)
    echo "== $name: em++ Release${flags:+ $flags}, run under node"
    need emcc node cmake ninja || { record "$name" FAIL "$(elapsed "$start")" "tools missing"; return; }
    objdump=$(command -v llvm-objdump-14 || command -v llvm-objdump) ||
        { record "$name" FAIL "$(elapsed "$start")" "tools missing (llvm-objdump)"; return; }
    mkdir -p "$out"
    cmake -S "$root" -B "$dir" -G Ninja -DCORX_BUILD_TESTS=OFF -DCORX_BUILD_CONFORMANCE=ON \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/wasm32-emscripten.cmake" \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >"$dir.log" 2>&1 &&
        cmake --build "$dir" -j"$jobs" --target conformance >>"$dir.log" 2>&1 || {
        echo "build failed; the last lines of $dir.log:" >&2
        tail -n 30 "$dir.log" >&2
        record "$name" FAIL "$(elapsed "$start")" "build failed"
        return
    }
    if ! OBJDUMP=$objdump "$root/tests/check_no_fma.sh" "$dir/libcorx_internal.a" | sed 's/^/   /' ||
        [ "${PIPESTATUS[0]}" -ne 0 ]; then
        record "$name" FAIL "$(elapsed "$start")" "fused multiply-add in the library's objects"
        return
    fi
    vector=$("$objdump" -d "$dir/libcorx_internal.a" | grep -c $'\tf64x2\.' || true)
    echo "   $vector f64x2 instructions in the library's objects"
    local want_vector=0 have_vector=0
    [[ " $flags " != *" -msimd128 "* ]] || want_vector=1
    [ "$vector" -eq 0 ] || have_vector=1
    if [ "$want_vector" -ne "$have_vector" ]; then
        record "$name" FAIL "$(elapsed "$start")" "vector instructions do not match the flags ($vector f64x2)"
        return
    fi
    local run=(node --no-experimental-fetch "$dir/tests/conformance/conformance.js")
    path=$("${run[@]}" --isa) || path="(does not start)"
    if ! check "$path" "${run[@]}" "$golden" ||
        ! check "$path, reverse executor" env CORX_SPLIT_SMALL=1 "${run[@]}" --executor=reverse "$golden"; then
        record "$name" FAIL "$(elapsed "$start")" "digest mismatch (path: $path; one call at a time or split)"
        return
    fi
    record "$name" ok "$(elapsed "$start")" "path: $path (the portable kernels), $vector f64x2 instructions"
}

# row_web: the emscripten build's web page (examples/web/check.sh): the
# conformance battery built for the browser, run in headless Chromium
# against the committed digests. The same build's ES module (js/) is tested
# under node first (its ctest test), so that CI, which has emscripten and
# node, always runs those tests.
row_web() {
    local start dir=$out/web
    start=$(now)
    echo "== web: em++ Release, the battery in headless Chromium; the ES module under node"
    need emcc node cmake ninja python3 "${CHROMIUM:-/usr/bin/chromium}" ||
        { record web FAIL "$(elapsed "$start")" "tools missing"; return; }
    mkdir -p "$out"
    cmake -S "$root" -B "$dir" -G Ninja -DCORX_BUILD_TESTS=OFF -DCORX_BUILD_CONFORMANCE=ON \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/wasm32-emscripten.cmake" \
        >"$dir.log" 2>&1 &&
        cmake --build "$dir" -j"$jobs" --target conformance_web corx_js >>"$dir.log" 2>&1 || {
        echo "build failed; the last lines of $dir.log:" >&2
        tail -n 30 "$dir.log" >&2
        record web FAIL "$(elapsed "$start")" "build failed"
        return
    }
    if ! ctest --test-dir "$dir" -R '^js\.' -V >"$dir.js.log" 2>&1; then
        sed 's/^/   /' "$dir.js.log"
        record web FAIL "$(elapsed "$start")" "the ES module's tests failed"
        return
    fi
    echo "   ES module: $(grep -Ec '^[0-9]+: ok [0-9]+ - ' "$dir.js.log") tests passed under node $(node --version)"
    if ! "$root/examples/web/check.sh" "$dir/web"; then
        record web FAIL "$(elapsed "$start")" "the browser's digests differ"
        return
    fi
    record web ok "$(elapsed "$start")" "every family matches in Chromium"
}

rows=("$@")
[ ${#rows[@]} -gt 0 ] || rows=(host clang-O0 clang-native aarch64 s390x riscv64 ppc64le clang-aarch64 i686 windows wasm wasm-simd128 web)
total=$(now)
for r in "${rows[@]}"; do
    case $r in
        host) row_host ;;
        clang-O0) row_clang clang-O0 "-O0" ;;
        clang-native) row_clang clang-native "-O3 -march=native" ;;
        aarch64 | s390x | riscv64) row_cross "$r" "$r-linux-gnu" "$r" ;;
        ppc64le) row_cross ppc64le powerpc64le-linux-gnu ppc64le ;;
        # x86-64 runs 32-bit programs itself where the i386 loader is
        # installed (libc6-i386); elsewhere qemu does.
        i686) row_cross i686 i686-linux-gnu "$([ "$(uname -m)" = x86_64 ] && [ -e /usr/i686-linux-gnu/lib/ld-linux.so.2 ] && echo native || echo i386)" ;;
        wasm) row_wasm wasm "" ;;
        wasm-simd128) row_wasm wasm-simd128 -msimd128 ;;
        web) row_web ;;
        clang-aarch64) row_cross clang-aarch64 aarch64-linux-gnu aarch64 clang-aarch64-linux-gnu "$clang_cxx --target=aarch64-linux-gnu" ;;
        windows) row_windows ;;
        *)
            echo "unknown row: $r" >&2
            exit 2
            ;;
    esac
done

echo
echo "row            result    time  detail"
printf '%s\n' "${summary[@]}"
echo "total: $(elapsed "$total") s"
exit $failed
