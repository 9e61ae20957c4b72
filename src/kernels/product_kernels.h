/* SPDX-License-Identifier: BSD-3-Clause */
// Micro-kernel of the dense product: one MR x NR tile of sums continued
// over kc steps, with element (r, k) of a at a[r*rs + k*ks] (a packed
// panel: rs = 1, ks = MR; rows read in place: rs = their stride, ks = 1),
// b a packed panel (kc x NR, k-major) and c row-major with leading
// dimension ldc.
//
// `ahead` names memory the caller will read soon (a slice of the next
// packed panel of b): the kernel asks for one cache line of it every
// kAheadEvery steps of k, kAheadDoubles(kc) doubles in all, which must lie
// inside one buffer. Spread over the k loop, these requests bring the next
// panel towards the core while this one is computed, without the burst of
// misses that its first tile would otherwise take. They only move data
// between caches and change no result.
//
// Order of rounded operations, for k = 0 .. kc-1 in increasing order and
// every element (r, j) of the tile on its own:
//     add:       p = b[k*NR + j] * a[r*rs + k*ks];  c(r, j) = p + c(r, j)
//     subtract:  p = b[k*NR + j] * a[r*rs + k*ks];  c(r, j) = c(r, j) - p
// The product and the sum are two separately rounded operations; elements
// advance side by side in vectors, which changes no element's sequence.
#pragma once

#include <cstdint>

#include "kernels/simd.h"

namespace corx_internal::kernels {

using MicroKernel = void (*)(std::int64_t kc, const double* a, std::int64_t rs, std::int64_t ks, const double* b,
                             double* c, std::int64_t ldc, const double* ahead);

// Doubles in one cache line, and one line of `ahead` per this many steps
// of k.
inline constexpr std::int64_t kLineDoubles = 8;
inline constexpr std::int64_t kAheadEvery = 4;

// Doubles of `ahead` a kernel call of kc steps reaches.
constexpr std::int64_t kAheadDoubles(std::int64_t kc) {
    return (kc + kAheadEvery - 1) / kAheadEvery * kLineDoubles;
}

// The blocked product keeps edge tiles in a fixed buffer of this many
// doubles: MR * NR of every kernel set must fit.
inline constexpr int kMaxTileElements = 32 * 32;

// MR rows, NV vectors of V per row (NR = NV * kLanes<V>). The accumulators
// stay in registers over the whole k loop; the loops over rows and vectors
// have constant bounds and are unrolled.
//
// Grouped: the k loop runs in unrolled groups of kAheadEvery steps, so no
// loop control sits between the steps of a group. That pays where a step
// is only a few cycles of vector work and the front end, not the
// arithmetic, would set the pace (AVX2's 6 x 8 tile: 33 instructions per
// step of 24 vector operations). The other tiles keep the plain loop:
// unrolled, the AVX-512 tile (24 accumulators) spilled, and the SSE2 tile
// ran slower on the Zen 3 core where AVX2's gained.
//
// OperandBroadcast (AVX-512 only): every multiply reads its value of a as
// a broadcast memory operand instead of a register filled once per row of
// the step. The multiplies are the same. On cores that run 512-bit
// operations as two halves (Zen 4), a register broadcast from memory takes
// an arithmetic pipe for about a cycle, eight of them per step of 24
// multiplies and 24 adds, while the operand form costs only loads: 96% of
// the separate multiply-and-add peak there against 73%.
template <class V, int MR, int NV, bool Subtract, bool Grouped, bool OperandBroadcast = false>
[[gnu::always_inline]] inline void productTile(std::int64_t kc, const double* a, std::int64_t rs, std::int64_t ks,
                                               const double* b, double* c, std::int64_t ldc,
                                               const double* ahead) {
    constexpr int L = kLanes<V>;
    static_assert(MR * NV * L <= kMaxTileElements, "the tile must fit the edge buffer");
#if defined(__x86_64__)
    static_assert(!OperandBroadcast || L == 8, "the operand form is written for AVX-512's eight lanes");
#else
    static_assert(!OperandBroadcast, "the operand form is written for x86-64");
#endif
    V acc[MR][NV];
#pragma GCC unroll 16
    for (int r = 0; r < MR; ++r)
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) load(acc[r][v], c + r * ldc + v * L);
    // Each row of a is read forward from its own start; one index serves
    // them all.
    const double* row[MR];
#pragma GCC unroll 16
    for (int r = 0; r < MR; ++r) row[r] = a + r * rs;
    // One step of k: a row of the b panel against a column of a.
    std::int64_t at = 0;
    const auto step = [&]() __attribute__((always_inline)) {
        V bv[NV];
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) load(bv[v], b + v * L);
#pragma GCC unroll 16
        for (int r = 0; r < MR; ++r) {
#pragma GCC unroll 4
            for (int v = 0; v < NV; ++v) {
                V p;
                mulScalar<OperandBroadcast>(p, bv[v], &row[r][at]);
                if constexpr (Subtract) {
                    acc[r][v] = acc[r][v] - p;
                } else {
                    acc[r][v] = p + acc[r][v];
                }
            }
        }
        b += NV * L;
        at += ks;
    };
    std::int64_t k = 0;
#if !defined(__x86_64__)
    static_assert(!Grouped, "the grouped loop's register fence is written for x86-64");
#endif
    if constexpr (Grouped) {
        for (; k + kAheadEvery <= kc; k += kAheadEvery) {
            __builtin_prefetch(ahead, 0, 2);
            ahead += kLineDoubles;
#pragma GCC unroll 4
            for (int u = 0; u < kAheadEvery; ++u) {
                step();
                // Ends the step for the compiler: its sums stand complete in
                // registers and no load of the next step moves above this
                // point. Left free, GCC interleaves the group's steps
                // accumulator by accumulator, loads every step's values
                // first and spills them. It only fences the schedule: every
                // accumulator still receives its products in order. The
                // register part is GCC's only: Clang schedules the group
                // well unaided, and it checks the register operand against
                // the build's base target rather than the function's.
#if defined(__x86_64__) && !defined(__clang__)
#pragma GCC unroll 16
                for (int r = 0; r < MR; ++r)
#pragma GCC unroll 4
                    for (int v = 0; v < NV; ++v) asm volatile("" : "+v"(acc[r][v]));
#endif
                asm volatile("" ::: "memory");
            }
        }
        if (k < kc) __builtin_prefetch(ahead, 0, 2);
    }
    for (; k < kc; ++k) {
        if (!Grouped && k % kAheadEvery == 0) {
            __builtin_prefetch(ahead, 0, 2);
            ahead += kLineDoubles;
        }
        step();
    }
#pragma GCC unroll 16
    for (int r = 0; r < MR; ++r)
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) store(c + r * ldc + v * L, acc[r][v]);
}

}  // namespace corx_internal::kernels
