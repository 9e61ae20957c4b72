/* SPDX-License-Identifier: BSD-3-Clause */
// Vectors of doubles for the kernels: GCC/Clang vector extensions, so one
// kernel source compiles to SSE2, AVX2 or AVX-512 (under a target
// attribute), to NEON on 64-bit ARM and to plain scalar code elsewhere.
//
// Element-wise +, -, * and / on these types are the IEEE operations of each
// lane, each rounded on its own (the library is built with
// -ffp-contract=off, so a product is never fused into a sum). A scalar
// operand of such an operation stands for a vector of copies of itself
// (a broadcast, no arithmetic): the kernels write `vector * scalar` rather
// than building the copies, which also lets the compiler broadcast straight
// from memory.
//
// The helpers pass vectors by reference, never by value: a 32- or 64-byte
// vector argument would change the calling convention between targets.
#pragma once

#include <cstring>

namespace corx_internal::kernels {

typedef double F64x2 __attribute__((vector_size(16)));
typedef double F64x4 __attribute__((vector_size(32)));
typedef double F64x8 __attribute__((vector_size(64)));

// Integer vectors of the same shape: lane masks (the result of comparing
// two vectors) and the lane indices of a shuffle.
template <class V>
struct MaskOf;
template <>
struct MaskOf<F64x2> {
    typedef long long type __attribute__((vector_size(16)));
};
template <>
struct MaskOf<F64x4> {
    typedef long long type __attribute__((vector_size(32)));
};
template <>
struct MaskOf<F64x8> {
    typedef long long type __attribute__((vector_size(64)));
};
template <class V>
using Mask = typename MaskOf<V>::type;

template <class V>
inline constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(double));

// Unaligned load and store of kLanes<V> consecutive doubles.
template <class V>
[[gnu::always_inline]] inline void load(V& out, const double* p) {
    std::memcpy(&out, p, sizeof out);
}

template <class V>
[[gnu::always_inline]] inline void store(double* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

// out = v * s[0] with s[0] read as the broadcast memory operand of the
// multiply where Operand is set and V is AVX-512's vector (built by GCC):
// the same rounded product as v * s[0], without a register broadcast.
// Cores that run 512-bit operations as two halves (Zen 4) spend an
// arithmetic pipe for about a cycle on each register broadcast; the operand
// form costs a load only. Clang checks the register operand against the
// build's base target rather than the function's and refuses it; it gets
// the plain product and its own choice.
template <bool Operand, class V>
[[gnu::always_inline]] inline void mulScalar(V& out, const V& v, const double* s) {
#if defined(__x86_64__) && !defined(__clang__)
    if constexpr (Operand && sizeof(V) == 64) {
        asm("vmulpd %[a]%{1to8%}, %[b], %[p]" : [p] "=v"(out) : [b] "v"(v), [a] "m"(*s));
        return;
    }
#endif
    out = v * s[0];
}

}  // namespace corx_internal::kernels
