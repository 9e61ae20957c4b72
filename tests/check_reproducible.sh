#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds the library once more from a copy of the source tree in another
# folder (other path, other length, other build folder) with the same
# configuration, and compares it byte for byte with the library under test:
# no path of the source or build tree may reach the binary.
#   check_reproducible.sh <source dir> <library under test> <cmake -D arguments...>
set -euo pipefail
src="$1"
lib="$2"
shift 2
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
copy="$work/another/checkout/of/corx"
mkdir -p "$copy"
tar -C "$src" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$copy" -xf -
cmake -S "$copy" -B "$copy/out" -G Ninja -DBUILD_TESTING=OFF "$@" >/dev/null
cmake --build "$copy/out" --target corx >/dev/null
other="$copy/out/$(basename "$lib")"
if ! cmp "$lib" "$other"; then
    echo "the library built in $copy differs from $lib"
    exit 1
fi
echo "identical libraries from two source folders: $(basename "$lib")"
