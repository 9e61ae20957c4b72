#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# Compares the ABI of a built libcorx.so.1 (with debug information) against
# the committed baseline abi/libcorx.so.1.abi. Any difference fails: an
# incompatible one (a function removed or its signature changed, a by-value
# struct changed) needs a new SONAME; a compatible one (a function added)
# needs a new version node and the baseline written again
# (scripts/update-abi.sh), as the ABI policy of docs/building.md says.
#   check_abi.sh <libcorx.so.1> <baseline.abi>
set -euo pipefail
lib="$1"
baseline="$2"

if ! readelf -S "$lib" | grep -q '\.debug_info'; then
    echo "$lib has no debug information: build with -DCMAKE_BUILD_TYPE=RelWithDebInfo"
    exit 2
fi
status=0
abidiff --exported-interfaces-only --suppressions "$(dirname "$0")/../abi/opaque-handles.suppr" "$baseline" "$lib" || status=$?
# abidiff's status is a bit field: 1 and 2 = abidiff failed, 4 = the ABI
# changed, 8 = the change is incompatible.
if [ $((status & 3)) -ne 0 ]; then
    echo "abidiff failed (status $status)"
    exit 1
elif [ $((status & 8)) -ne 0 ]; then
    echo "incompatible ABI change against $baseline"
    exit 1
elif [ $((status & 4)) -ne 0 ]; then
    echo "ABI change against $baseline: a compatible addition must be recorded (scripts/update-abi.sh)"
    exit 1
fi
echo "ABI of $(basename "$lib") matches $baseline"
