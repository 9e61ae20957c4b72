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

}  // namespace corx_internal::kernels
