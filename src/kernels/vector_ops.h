/* SPDX-License-Identifier: BSD-3-Clause */
// Element-wise vector updates.
#pragma once

#include <cstdint>

#include "kernels/simd.h"

namespace corx_internal::kernels {

// s[i] = s[i] - a*x[i] for i = 0 .. len-1: the product a*x[i], then the
// difference, each rounded on its own. Elements are independent; s and x
// must not overlap.
template <class V>
[[gnu::always_inline]] inline void subtractScaled(double* s, const double* x, double a, std::int64_t len) {
    constexpr int L = kLanes<V>;
    std::int64_t i = 0;
    for (; i + 2 * L <= len; i += 2 * L) {
        V x0, x1, s0, s1;
        load(x0, x + i);
        load(x1, x + i + L);
        load(s0, s + i);
        load(s1, s + i + L);
        const V p0 = a * x0, p1 = a * x1;
        s0 = s0 - p0;
        s1 = s1 - p1;
        store(s + i, s0);
        store(s + i + L, s1);
    }
    for (; i < len; ++i) {
        const double product = a * x[i];
        s[i] = s[i] - product;
    }
}

// s[i] = s[i] - c[k]*x[k*ld + i] for k = 0 .. count-1 in increasing k, for
// i = 0 .. len-1: each product and each difference rounded on its own,
// every element taking its products one at a time in increasing k. A
// block of s stays in registers across all k (the substitution of many
// right-hand sides, where x holds the rows already solved). s must not
// overlap the rows of x read.
template <class V>
[[gnu::always_inline]] inline void subtractScaledRows(double* s, const double* x, std::int64_t ld, const double* c,
                                                      std::int64_t count, std::int64_t len) {
    constexpr int L = kLanes<V>;
    constexpr int G = L >= 8 ? 8 : 4;  // vectors held: 64 columns on AVX-512
    std::int64_t i = 0;
    for (; i + G * L <= len; i += G * L) {
        V acc[G];
#pragma GCC unroll 8
        for (int g = 0; g < G; ++g) load(acc[g], s + i + g * L);
        for (std::int64_t k = 0; k < count; ++k) {
            const double a = c[k];
            const double* const xk = x + k * ld + i;
#pragma GCC unroll 8
            for (int g = 0; g < G; ++g) {
                V xv;
                load(xv, xk + g * L);
                const V p = a * xv;
                acc[g] = acc[g] - p;
            }
        }
#pragma GCC unroll 8
        for (int g = 0; g < G; ++g) store(s + i + g * L, acc[g]);
    }
    for (; i + L <= len; i += L) {
        V acc;
        load(acc, s + i);
        for (std::int64_t k = 0; k < count; ++k) {
            V xv;
            load(xv, x + k * ld + i);
            const V p = c[k] * xv;
            acc = acc - p;
        }
        store(s + i, acc);
    }
    for (; i < len; ++i) {
        double v = s[i];
        for (std::int64_t k = 0; k < count; ++k) {
            const double product = c[k] * x[k * ld + i];
            v = v - product;
        }
        s[i] = v;
    }
}

// subtractScaledRows for kRowBlock rows at once: for r = 0 ..
// kRowBlock-1, s[r*lds + i] = s[r*lds + i] - c[r*ldc + k]*x[k*ld + i] for
// k = 0 .. count-1 in increasing k, i = 0 .. len-1, every element taking
// exactly the operations subtractScaledRows gives it on its own row. The
// rows share each load of x: in the forward substitution of many
// right-hand sides, row by row, every row read all the rows of x above it
// again, and that reading, from the second-level cache, bounded the speed;
// for a few right-hand sides the rows' chains of subtractions also run
// side by side. s must not overlap the rows of x read.
inline constexpr int kRowBlock = 4;

template <class V>
[[gnu::always_inline]] inline void subtractScaledRowBlock(double* s, std::int64_t lds, const double* x,
                                                          std::int64_t ld, const double* c, std::int64_t ldc,
                                                          std::int64_t count, std::int64_t len) {
    constexpr int L = kLanes<V>;
    constexpr int R = kRowBlock;
    constexpr int G = L >= 8 ? 4 : 2;  // vectors of columns: 16 or 8 accumulators
    std::int64_t i = 0;
    for (; i + G * L <= len; i += G * L) {
        V acc[R][G];
#pragma GCC unroll 4
        for (int r = 0; r < R; ++r)
#pragma GCC unroll 4
            for (int g = 0; g < G; ++g) load(acc[r][g], s + r * lds + i + g * L);
        for (std::int64_t k = 0; k < count; ++k) {
            V xv[G];
#pragma GCC unroll 4
            for (int g = 0; g < G; ++g) load(xv[g], x + k * ld + i + g * L);
#pragma GCC unroll 4
            for (int r = 0; r < R; ++r) {
                const double a = c[r * ldc + k];
#pragma GCC unroll 4
                for (int g = 0; g < G; ++g) {
                    const V p = a * xv[g];
                    acc[r][g] = acc[r][g] - p;
                }
            }
        }
#pragma GCC unroll 4
        for (int r = 0; r < R; ++r)
#pragma GCC unroll 4
            for (int g = 0; g < G; ++g) store(s + r * lds + i + g * L, acc[r][g]);
    }
    for (; i + L <= len; i += L) {
        V acc[R];
#pragma GCC unroll 4
        for (int r = 0; r < R; ++r) load(acc[r], s + r * lds + i);
        for (std::int64_t k = 0; k < count; ++k) {
            V xv;
            load(xv, x + k * ld + i);
#pragma GCC unroll 4
            for (int r = 0; r < R; ++r) {
                const V p = c[r * ldc + k] * xv;
                acc[r] = acc[r] - p;
            }
        }
#pragma GCC unroll 4
        for (int r = 0; r < R; ++r) store(s + r * lds + i, acc[r]);
    }
    for (; i < len; ++i) {
        double v[R];
        for (int r = 0; r < R; ++r) v[r] = s[r * lds + i];
        for (std::int64_t k = 0; k < count; ++k)
            for (int r = 0; r < R; ++r) {
                const double product = c[r * ldc + k] * x[k * ld + i];
                v[r] = v[r] - product;
            }
        for (int r = 0; r < R; ++r) s[r * lds + i] = v[r];
    }
}

}  // namespace corx_internal::kernels
