/* SPDX-License-Identifier: BSD-3-Clause */
// A panel of Householder reflections applied in order to many independent
// columns, each reflection's update sharing its pass over the rows with
// the next reflection's dot product.
//
// x is `rows` rows of w columns with row stride ld. Every column c takes
// the reflections h[0], ..., h[count-1] in this order (their k
// non-decreasing), each in exactly this order of rounded operations:
//     dot = x(k,c)*v[0];  dot = dot + x(k+t,c)*v[t]   for t = 1 .. rows-k-1
//     f = (dot + dot) / vv
//     x(k+t,c) = x(k+t,c) - v[t]*f                    for t = 0 .. rows-k-1
// Columns are independent and are processed side by side: blocks of NV
// vectors, then (NV > 4) of 4, then single vectors, then single columns. Row by row, the
// update of reflection j is made before the product of reflection j+1
// reads the row, so one pass over the rows serves both. Nothing happens
// when w or count is not positive.
#pragma once

#include <cstdint>

#include "kernels/simd.h"

namespace corx_internal::kernels {

// Reflection of rows k .. rows-1 by v (rows-k values), vv = v.v.
struct PanelReflection {
    std::int64_t k;
    const double* v;
    double vv;
};

namespace panel_detail {

// NV vectors T of L columns each, starting at column 0 of x; T = double
// (L = 1) is a single column (load and store then move one double).
template <class T, int L, int NV>
[[gnu::always_inline]] inline void panelBlock(double* x, std::int64_t ld, std::int64_t rows,
                                              const PanelReflection* h, std::int64_t count) {
    T dot[NV], f[NV];
    {
        const std::int64_t k = h[0].k;
        const double* v = h[0].v;
        for (int i = 0; i < NV; ++i) {
            T col;
            load(col, x + k * ld + i * L);
            dot[i] = col * v[0];
        }
        for (std::int64_t t = k + 1; t < rows; ++t) {
            const double vt = v[t - k];
            for (int i = 0; i < NV; ++i) {
                T col;
                load(col, x + t * ld + i * L);
                dot[i] = dot[i] + col * vt;
            }
        }
    }
    for (std::int64_t j = 0; j < count; ++j) {
        const std::int64_t k = h[j].k;
        const double* v = h[j].v;
        for (int i = 0; i < NV; ++i) f[i] = (dot[i] + dot[i]) / h[j].vv;
        // Rows before the next reflection's first row: the update alone.
        const std::int64_t k2 = j + 1 < count ? h[j + 1].k : rows;
        for (std::int64_t t = k; t < k2; ++t) {
            const double vt = v[t - k];
            for (int i = 0; i < NV; ++i) {
                double* p = x + t * ld + i * L;
                T col;
                load(col, p);
                col = col - vt * f[i];
                store(p, col);
            }
        }
        if (k2 >= rows) continue;
        // Its first row: the update, then the first product.
        const double* v2 = h[j + 1].v;
        {
            const double vt = v[k2 - k];
            for (int i = 0; i < NV; ++i) {
                double* p = x + k2 * ld + i * L;
                T y;
                load(y, p);
                y = y - vt * f[i];
                store(p, y);
                dot[i] = y * v2[0];
            }
        }
        for (std::int64_t t = k2 + 1; t < rows; ++t) {
            const double vt = v[t - k], ut = v2[t - k2];
            for (int i = 0; i < NV; ++i) {
                double* p = x + t * ld + i * L;
                T y;
                load(y, p);
                y = y - vt * f[i];
                store(p, y);
                dot[i] = dot[i] + y * ut;
            }
        }
    }
}

}  // namespace panel_detail

template <class V, int NV>
[[gnu::always_inline]] inline void reflectPanel(double* x, std::int64_t ld, std::int64_t rows, std::int64_t w,
                                                const PanelReflection* h, std::int64_t count) {
    using panel_detail::panelBlock;
    if (w <= 0 || count <= 0) return;
    constexpr int L = kLanes<V>;
    std::int64_t c = 0;
    for (; c + NV * L <= w; c += NV * L) panelBlock<V, L, NV>(x + c, ld, rows, h, count);
    if constexpr (NV > 4)
        for (; c + 4 * L <= w; c += 4 * L) panelBlock<V, L, 4>(x + c, ld, rows, h, count);
    for (; c + L <= w; c += L) panelBlock<V, L, 1>(x + c, ld, rows, h, count);
    for (; c < w; ++c) panelBlock<double, 1, 1>(x + c, ld, rows, h, count);
}

}  // namespace corx_internal::kernels
