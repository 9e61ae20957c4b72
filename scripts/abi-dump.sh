#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# abidw of the public interface of a libcorx.so.1 built with debug
# information, without paths, locations or the build's own directories.
#   scripts/abi-dump.sh <libcorx.so.1> <out.abi>
set -euo pipefail

abidw --no-corpus-path --no-comp-dir-path \
      --no-show-locs --exported-interfaces-only --out-file "$2" "$1"
