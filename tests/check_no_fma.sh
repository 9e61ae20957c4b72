#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# Checks that the library contains no fused multiply-add instruction: each
# product and each sum must be rounded on its own. The fused forms of every
# architecture the library is built for:
#
#   x86      vfmadd* vfmsub* vfnmadd* vfnmsub* (and vfmaddsub*, vfmsubadd*)
#   aarch64  fmadd fmsub fnmadd fnmsub, fmla fmls (and fmlal, bfmlal*),
#            SVE fmad fmsb fnmad fnmsb fnmla fnmls
#   POWER    fmadd fmsub fnmadd fnmsub (s and record forms), VSX
#            xsmadd* xsmsub* xsnmadd* xsnmsub* xvmadd* xvmsub* xvnmadd*
#            xvnmsub*, VMX vmaddfp vnmsubfp
#   s390x    madb(r) msdb(r) maeb(r) mseb(r), vector vfma vfms vfnma vfnms
#            and their element forms (vfmadb, wfmadb, wfnmsdb, ...)
#   RISC-V   fmadd fmsub fnmadd fnmsub (.s .d .h .q), vector vf[w][n]macc,
#            vf[w][n]msac, vfmadd vfmsub vfnmadd vfnmsub
#   wasm     none in the core instructions nor in simd128; relaxed-simd's
#            f32x4/f64x2 .fma .fms (LLVM 14), .relaxed_madd .relaxed_nmadd
#            (later names), .qfma .qfms (the first prototype). Disassembled
#            with llvm-objdump, whose relocations name a called fma.
#
# A call of the C library's fma, fmaf or fmal (what __builtin_fma becomes
# without a fused instruction) counts as one too, in a linked library and,
# through its relocation, in an object file or static archive.
#
# Only executable sections are disassembled. PowerPC keeps the jump tables
# of switch statements in the text, right after the bctr that uses them (the
# static C++ runtime linked into the library has several); their entries
# are offsets, some of which read as FP instructions such as fmsub, so the
# words after a bctr that lead back into their function are skipped.
#
#   check_no_fma.sh LIBRARY   (OBJDUMP names the disassembler of a cross build)
set -eu
lib="$1"
wasm_fused='^f(32x4|64x2)\.(relaxed_n?madd|q?fm[as])$'
fused='^(v?fn?m(add|sub)|vfw?n?m(acc|sac)|b?fn?ml[as]|fn?m(ad|sb)$|x[sv]n?m(add|sub)|vn?m(add|sub)fp|m[as][de]br?$|[vw]fn?m[as]([dsx]b)?$)'
# In an object file (a static archive's members, a wasm object) a call's
# target is a relocation: list them too.
relocations=(-r)
report=$("${OBJDUMP:-objdump}" -d "${relocations[@]}" "$lib" | awk -F'\t' -v fused="$fused" -v wasm_fused="$wasm_fused" '
function hex(s,   i, n) {
    n = 0
    s = tolower(s)
    for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
    return n
}
/file format/ { power = $0 ~ /powerpc/; little = $0 ~ /powerpcle/; wasm = $0 ~ /file format wasm/; next }
/^[0-9a-f]+ <.*>:$/ {
    fn = $0
    sub(/^[0-9a-f]+ /, "", fn)
    start = hex(substr($0, 1, index($0, " ") - 1))
    table = 0
    next
}
# llvm-objdump on wasm: "  addr: bytes<TAB>op<TAB>operands", and a
# relocation on a line of its own.
wasm {
    if ($0 ~ /R_WASM_FUNCTION_INDEX_LEB/ && $NF ~ /^fma[fl]?(\+0)?$/) print "  " fn " calls fma"
    else if (NF >= 2 && $1 ~ /^ *[0-9a-f]+: /) {
        op = $2
        sub(/ +$/, "", op)
        if (op ~ wasm_fused) print "  " fn " " op
    }
    next
}
# A call of fma in an object file, as its relocation: tabs, "offset: R_type"
# (ELF) or "offset: IMAGE_REL_type" (PE, mingw-w64), a tab, fma and any addend.
/^\t+[0-9a-f]+: (R|IMAGE_REL)_[A-Z0-9_]+\t\.?fma[fl]?([-+@].*)?$/ {
    print "  " fn " calls fma"
    next
}
NF >= 3 {
    addr = $1
    gsub(/[ :]/, "", addr)
    addr = hex(addr)
    split($3, w, " ")
    op = w[1]
    if (table) {
        split($2, b, " ")
        v = hex(little ? b[4] b[3] b[2] b[1] : b[1] b[2] b[3] b[4])
        if (v >= 2147483648) v -= 4294967296
        if (base + v >= start && base + v < base + 1048576 && v % 4 == 0) next  # an entry of the table
        table = 0
    }
    if (power && op == "bctr") {
        table = 1
        base = addr + 4
    }
    if (op ~ fused) print "  " fn " " op
    else if ($0 ~ /[<.]fma[fl]?(@|>)/ && fn !~ /@plt>/) print "  " fn " calls fma"
}')
if [ -n "$report" ]; then
    echo "$(printf '%s\n' "$report" | wc -l) fused multiply-adds in $lib:"
    printf '%s\n' "$report" | sort | uniq -c | head -n 20
    exit 1
fi
echo "no fused multiply-add instruction in $lib"
