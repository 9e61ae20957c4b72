#!/bin/bash
# Checks the shipped library: its dynamic symbol table exports exactly the
# expected functions, its SONAME is libcorx.so.1, and it needs nothing at run
# time beyond the C and mathematics libraries.
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

[ $status -eq 0 ] && echo "exports, SONAME and NEEDED as expected"
exit $status
