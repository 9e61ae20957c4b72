#!/bin/bash
# Puts the licence identifier line into every source file of the tree that
# lacks it, in the file's own comment syntax (after a #! line), or with
# --check only lists the files that lack it and fails if there is any.
#   scripts/add-spdx.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."
tag="SPDX-License-Identifier: BSD-3-Clause"
check=0
[ "${1:-}" = "--check" ] && check=1

comment_for() {
    case "$1" in
        *.c|*.h|*.map|*.h.in) echo "/* $tag */" ;;      # C sources, the C header, the version script
        *.cpp|*.hpp|*.js|*.mjs) echo "// $tag" ;;
        *.html) echo "<!-- $tag -->" ;;
        *.py|*.sh|*.cmake|*CMakeLists.txt|*.toml|*.in|.ci/run|*Doxyfile*) echo "# $tag" ;;
        *) return 1 ;;
    esac
}

missing=0
while IFS= read -r f; do
    case "$f" in tests/fuzz/corpus/*|abi/*|bench/results/*) continue ;; esac
    line="$(comment_for "$f")" || continue
    grep -q "$tag" "$f" && continue
    if [ $check -eq 1 ]; then
        echo "no licence identifier: $f"
        missing=1
        continue
    fi
    if head -n 1 "$f" | grep -q '^#!'; then
        { head -n 1 "$f"; echo "$line"; tail -n +2 "$f"; } > "$f.spdx"
    else
        { echo "$line"; cat "$f"; } > "$f.spdx"
    fi
    chmod --reference="$f" "$f.spdx"
    mv "$f.spdx" "$f"
done < <(git ls-files)
exit $missing
