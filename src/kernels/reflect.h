/* SPDX-License-Identifier: BSD-3-Clause */
// Householder reflection of many independent columns at once.
//
// x is len rows of w columns with row stride ld. Each column c with
// keep <= c < w is reflected by v (len values) with vv = v.v, in exactly
// this order of rounded operations:
//     dot = x(0,c)*v[0];  dot = dot + x(t,c)*v[t]  for t = 1 .. len-1
//     f = (dot + dot) / vv
//     x(t,c) = x(t,c) - v[t]*f                     for t = 0 .. len-1
// Columns are independent: blocks of 4 and then 2 vectors of columns are
// processed side by side, the last few columns one at a time. The first
// `keep` columns are left as they are. Whole vectors of them are skipped;
// the rest ride in the lanes of the first vector, whose stores put back
// the values read there. That way the reflected columns need not start on
// a vector boundary to be taken a vector at a time (a QR reflects the rest
// of a sub-panel, one column fewer each time). Nothing happens when len is
// not positive or w <= keep.
#pragma once

#include <cstdint>

#include "kernels/simd.h"

namespace corx_internal::kernels {

// NV vectors of columns starting at x; with Lead, lanes below `lead` of
// the first vector keep their values.
template <class V, int NV, bool Lead>
[[gnu::always_inline]] inline void reflectBlock(double* x, std::int64_t ld, std::int64_t len, const double* v,
                                                double vv, int lead) {
    constexpr int L = kLanes<V>;
    Mask<V> kept = {};
    if constexpr (Lead) {
        Mask<V> lane;
        for (int l = 0; l < L; ++l) lane[l] = l;
        kept = lane < lead;
    }
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
            V old;
            load(old, row + i * L);
            V col = old - vt * f[i];
            if constexpr (Lead)
                if (i == 0) col = kept ? old : col;
            store(row + i * L, col);
        }
    }
}

// Columns c, lo <= c < w, one at a time.
[[gnu::always_inline]] inline void reflectEachColumn(double* x, std::int64_t ld, std::int64_t len,
                                                     std::int64_t lo, std::int64_t w, const double* v, double vv) {
    for (std::int64_t c = lo; c < w; ++c) {
        double dot = x[c] * v[0];
        for (std::int64_t t = 1; t < len; ++t) dot = dot + x[t * ld + c] * v[t];
        const double f = (dot + dot) / vv;
        for (std::int64_t t = 0; t < len; ++t) x[t * ld + c] = x[t * ld + c] - v[t] * f;
    }
}

template <class V>
[[gnu::always_inline]] inline void reflectColumns(double* x, std::int64_t ld, std::int64_t len, std::int64_t w,
                                                  const double* v, double vv, std::int64_t keep) {
    if (len <= 0 || w <= keep) return;
    constexpr int L = kLanes<V>;
    std::int64_t c = keep / L * L;
    if (const int lead = static_cast<int>(keep - c); lead > 0) {
        if (c + 4 * L <= w) {
            reflectBlock<V, 4, true>(x + c, ld, len, v, vv, lead);
            c += 4 * L;
        } else if (c + 2 * L <= w) {
            reflectBlock<V, 2, true>(x + c, ld, len, v, vv, lead);
            c += 2 * L;
        } else if (c + L <= w) {
            reflectBlock<V, 1, true>(x + c, ld, len, v, vv, lead);
            c += L;
        } else {
            reflectEachColumn(x, ld, len, keep, w, v, vv);
            return;
        }
    }
    for (; c + 4 * L <= w; c += 4 * L) reflectBlock<V, 4, false>(x + c, ld, len, v, vv, 0);
    if (c + 2 * L <= w) {
        reflectBlock<V, 2, false>(x + c, ld, len, v, vv, 0);
        c += 2 * L;
    }
    reflectEachColumn(x, ld, len, c, w, v, vv);
}

}  // namespace corx_internal::kernels
