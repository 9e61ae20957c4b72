#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# Checks that the library's sources depend downward only. Each directory of
# src/ is a layer:
#
#   c_api                  the C interface and the composition of the start-up
#   algorithms, constants
#   types, float
#   kernels, arithmetic
#   runtime
#
# A source may include headers of its own layer and of the layers below,
# never of a layer above; a directory not in this list fails the check
# until it is given a layer. Below the C interface nothing calls an exported
# entry (lower-case names with the prefixes corx_, corvane_, corxrt_), and
# only the value types (types/) include the public header, for its structs.
set -u
src="${1:?usage: check_layering.sh SRC_DIR}"
status=0

declare -A rank=([runtime]=0 [kernels]=1 [arithmetic]=1 [types]=2 [float]=2
                  [algorithms]=3 [constants]=3 [c_api]=4)
exported='\b(corx|corvane|corxrt)_[a-z0-9_]+[[:space:]]*\('

while IFS= read -r -d '' file; do
    rel="${file#"$src"/}"
    dir="${rel%%/*}"
    [ "$dir" = "$rel" ] && continue  # not in a layer's directory (the version script)
    own="${rank[$dir]:--1}"
    if [ "$own" -lt 0 ]; then
        echo "$rel: src/$dir is not a layer"
        status=1
        continue
    fi
    while IFS= read -r included; do
        case "$included" in */*) ;; *) continue ;; esac  # beside the including file
        target="${included%%/*}"
        theirs="${rank[$target]:--1}"
        if [ "$theirs" -lt 0 ]; then
            echo "$rel: includes \"$included\", which is in no layer"
            status=1
        elif [ "$theirs" -gt "$own" ]; then
            echo "$rel: includes \"$included\" from a higher layer ($dir -> $target)"
            status=1
        fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
    if [ "$dir" != c_api ]; then
        calls=""
        if grep -qE "$exported" "$file"; then
            calls=$(grep -nE "$exported" "$file" | grep -vE '^[0-9]+:[[:space:]]*//')
        fi
        if [ -n "$calls" ]; then
            echo "$rel: names an exported entry (defines or calls it) below the C interface:"
            echo "$calls"
            status=1
        fi
        if [ "$dir" != types ] && grep -qE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<corx/' "$file"; then
            echo "$rel: includes the public header below the C interface"
            status=1
        fi
    fi
done < <(find "$src" -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)

[ $status -eq 0 ] && echo "every include and call runs downward"
exit $status
