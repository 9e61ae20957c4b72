#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# Checks the shipped library: its dynamic symbol table exports exactly the
# expected functions, its SONAME is libcorx.so.1, it needs nothing at run
# time beyond the C and mathematics libraries, it is hardened (full RELRO
# with immediate binding, a stack that is not executable), it stays resident
# once loaded (NODELETE), and no glibc symbol version it needs is newer than
# GLIBC_2.35 (the oldest glibc it loads on).
set -eu
lib="$1"
expected="$2"
status=0

actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort -u)
want=$(grep -v '^#' "$expected" | sed '/^$/d' | sort -u)
if [ "$actual" != "$want" ]; then
    echo "exported symbols differ from the expected list (< expected, > actual):"
    diff <(echo "$want") <(echo "$actual") || true
    status=1
fi

soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [ "$soname" != "libcorx.so.1" ]; then
    echo "SONAME is '$soname', expected libcorx.so.1"
    status=1
fi

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort)
for lib_needed in $needed; do
    case "$lib_needed" in
        libc.so.*|libm.so.*|ld-linux-x86-64.so.*) ;;
        # Built with -DCORX_SYSTEM_CXX_RUNTIME=ON: the system C++ runtime.
        libstdc++.so.*|libgcc_s.so.*) [ -n "${CORX_SYSTEM_CXX_RUNTIME:-}" ] ||
            { echo "unexpected run-time dependency: $lib_needed"; status=1; } ;;
        *) echo "unexpected run-time dependency: $lib_needed"; status=1 ;;
    esac
done

dynamic=$(readelf -d "$lib")
if ! echo "$dynamic" | grep -q '(FLAGS) .*BIND_NOW' || ! echo "$dynamic" | grep -q '(FLAGS_1) .*Flags:.* NOW'; then
    echo "not linked for immediate binding (BIND_NOW, FLAGS_1 NOW)"
    status=1
fi
if ! echo "$dynamic" | grep -q '(FLAGS_1) .*Flags:.* NODELETE'; then
    echo "FLAGS_1 lacks NODELETE: an unload would unmap the library"
    status=1
fi

segments=$(readelf -lW "$lib")
if ! echo "$segments" | grep -q 'GNU_RELRO'; then
    echo "no GNU_RELRO segment"
    status=1
fi
stack=$(echo "$segments" | awk '$1 == "GNU_STACK" {print $(NF-1)}')
if [ "$stack" != "RW" ]; then
    echo "GNU_STACK flags are '$stack', expected RW (not executable)"
    status=1
fi

max_glibc="2.35"
newest=$(objdump -T "$lib" | grep -o 'GLIBC_[0-9][0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -n 1)
if [ -z "$newest" ] || [ "$(printf '%s\n%s\n' "$newest" "$max_glibc" | sort -V | tail -n 1)" != "$max_glibc" ]; then
    echo "needs GLIBC_$newest, newer than GLIBC_$max_glibc:"
    objdump -T "$lib" | grep "GLIBC_$newest" || true
    status=1
fi

[ $status -eq 0 ] && echo "exports, SONAME, NEEDED, hardening, NODELETE and GLIBC_$newest as expected"
exit $status
