/* SPDX-License-Identifier: BSD-3-Clause */
// Householder reflection of many independent columns at once.
//
// x is len rows of w columns with row stride ld. Each column c is reflected
// by v (len values) with vv = v.v, in exactly this order of rounded
// operations:
//     dot = x(0,c)*v[0];  dot = dot + x(t,c)*v[t]  for t = 1 .. len-1
//     f = (dot + dot) / vv
//     x(t,c) = x(t,c) - v[t]*f                     for t = 0 .. len-1
// Columns are independent: blocks of 4 and then 2 vectors of columns are
// processed side by side, the last few columns one at a time. Nothing
// happens when len or w is not positive.
#pragma once

#include <cstdint>

#include "kernels/simd.h"

namespace corx_internal::kernels {

// NV vectors of columns starting at x.
template <class V, int NV>
[[gnu::always_inline]] inline void reflectBlock(double* x, std::int64_t ld, std::int64_t len, const double* v,
                                                double vv) {
    constexpr int L = kLanes<V>;
    V dot[NV], f[NV];
    for (int i = 0; i < NV; ++i) {
        V col;
        load(col, x + i * L);
        dot[i] = col * v[0];
    }
    for (std::int64_t t = 1; t < len; ++t) {
        const double* row = x + t * ld;
        const double vt = v[t];
        for (int i = 0; i < NV; ++i) {
            V col;
            load(col, row + i * L);
            dot[i] = dot[i] + col * vt;
        }
    }
    for (int i = 0; i < NV; ++i) f[i] = (dot[i] + dot[i]) / vv;
    for (std::int64_t t = 0; t < len; ++t) {
        double* row = x + t * ld;
        const double vt = v[t];
        for (int i = 0; i < NV; ++i) {
            V col;
            load(col, row + i * L);
            col = col - vt * f[i];
            store(row + i * L, col);
        }
    }
}

template <class V>
[[gnu::always_inline]] inline void reflectColumns(double* x, std::int64_t ld, std::int64_t len, std::int64_t w,
                                                  const double* v, double vv) {
    if (len <= 0 || w <= 0) return;
    constexpr int L = kLanes<V>;
    std::int64_t c = 0;
    for (; c + 4 * L <= w; c += 4 * L) reflectBlock<V, 4>(x + c, ld, len, v, vv);
    if (c + 2 * L <= w) {
        reflectBlock<V, 2>(x + c, ld, len, v, vv);
        c += 2 * L;
    }
    for (; c < w; ++c) {
        double dot = x[c] * v[0];
        for (std::int64_t t = 1; t < len; ++t) dot = dot + x[t * ld + c] * v[t];
        const double f = (dot + dot) / vv;
        for (std::int64_t t = 0; t < len; ++t) x[t * ld + c] = x[t * ld + c] - v[t] * f;
    }
}

}  // namespace corx_internal::kernels
