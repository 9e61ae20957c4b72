#!/bin/bash
# Compares the ABI of a built libcorx.so.1 (with debug information) against
# the committed baseline abi/libcorx.so.1.abi. abidiff fails on an
# incompatible change: a function removed or changed, a changed by-value
# struct. Additions pass (a minor version may add functions); so does a
# removed or added ELF symbol of an internal function, which cannot happen
# past the version script.
#   check_abi.sh <libcorx.so.1> <baseline.abi> <public header dir>
set -euo pipefail
lib="$1"
baseline="$2"
headers="$3"
if ! readelf -S "$lib" | grep -q '\.debug_info'; then
    echo "$lib has no debug information: build with -DCMAKE_BUILD_TYPE=RelWithDebInfo"
    exit 2
fi
status=0
abidiff --no-added-syms --headers-dir2 "$headers" "$baseline" "$lib" || status=$?
# abidiff's status is a bit field: 4 = ABI change, 8 = incompatible change.
if [ $((status & 8)) -ne 0 ]; then
    echo "incompatible ABI change against $baseline"
    exit 1
fi
if [ $((status & 3)) -ne 0 ]; then
    echo "abidiff failed (status $status)"
    exit 1
fi
if [ $((status & 4)) -ne 0 ]; then
    echo "compatible ABI change against $baseline (additions): record them in a new baseline"
    exit 1
fi
echo "ABI of $(basename "$lib") matches $baseline"
