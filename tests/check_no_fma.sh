#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# Checks that the library contains no fused multiply-add instruction (x86
# vfmadd/vfmsub/vfnmadd/vfnmsub, ARM fmadd/fmsub/fnmadd/fnmsub/fmla/fmls,
# s390x madb/msdb and their vector forms):
# each product and each sum must be rounded on its own.
set -eu
lib="$1"  # OBJDUMP names the disassembler of a cross build
found=$("${OBJDUMP:-objdump}" -d --no-show-raw-insn "$lib" |
        awk -F'\t' 'NF >= 2 {split($2, w, " "); print w[1]}' |
        grep -Ec '^(v?fn?m(add|sub)|fml[as]|[vw]?f?n?m[as]db)' || true)
if [ "$found" != 0 ]; then
    echo "$found fused multiply-add instructions in $lib"
    exit 1
fi
echo "no fused multiply-add instruction in $lib"
