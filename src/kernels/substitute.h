/* SPDX-License-Identifier: BSD-3-Clause */
// Kernel of the forward substitution: a block of kSubstRows rows takes the
// products of columns whose unknowns are already final.
//
// For every row r = 0 .. kSubstRows-1 and k = 0 .. len-1, in increasing k:
//     v[r] = v[r] - a[r*lda + k] * y[k]
// the product and the difference each rounded on their own. The rows are
// independent chains, so they run side by side: lane r of an accumulator
// holds row r's running value. A tile of kLanes<V> rows by kLanes<V>
// columns is loaded row by row, multiplied row by row with y[k .. k+L-1]
// (lane j: a[r][k+j] * y[k+j]), transposed in registers so that vector j
// holds column k+j's products of all rows, and the columns are then
// subtracted one after the other: every row still receives its products
// one at a time in increasing k. The last len % kLanes<V> columns go one
// at a time per row, after the others.
#pragma once

#include <cstdint>

#include "kernels/simd.h"

namespace corx_internal::kernels {

// Rows per call; a multiple of every vector width.
inline constexpr int kSubstRows = 16;

// t[j] = (t[0][j], t[1][j], ...): the tile t[r][j] transposed in place.
template <class V>
[[gnu::always_inline]] inline void transposeTile(V* t) {
    constexpr int L = kLanes<V>;
    static_assert(L == 2 || L == 4 || L == 8, "tiles of 2, 4 or 8 lanes");
    if constexpr (L == 2) {
        const V a = t[0], b = t[1];
        t[0] = __builtin_shufflevector(a, b, 0, 2);
        t[1] = __builtin_shufflevector(a, b, 1, 3);
    } else if constexpr (L == 4) {
        const V u0 = __builtin_shufflevector(t[0], t[1], 0, 4, 2, 6);
        const V u1 = __builtin_shufflevector(t[0], t[1], 1, 5, 3, 7);
        const V u2 = __builtin_shufflevector(t[2], t[3], 0, 4, 2, 6);
        const V u3 = __builtin_shufflevector(t[2], t[3], 1, 5, 3, 7);
        t[0] = __builtin_shufflevector(u0, u2, 0, 1, 4, 5);
        t[1] = __builtin_shufflevector(u1, u3, 0, 1, 4, 5);
        t[2] = __builtin_shufflevector(u0, u2, 2, 3, 6, 7);
        t[3] = __builtin_shufflevector(u1, u3, 2, 3, 6, 7);
    } else {
        V u[8], w[8];
#pragma GCC unroll 4
        for (int p = 0; p < 8; p += 2) {
            u[p] = __builtin_shufflevector(t[p], t[p + 1], 0, 8, 2, 10, 4, 12, 6, 14);
            u[p + 1] = __builtin_shufflevector(t[p], t[p + 1], 1, 9, 3, 11, 5, 13, 7, 15);
        }
#pragma GCC unroll 2
        for (int h = 0; h < 8; h += 4) {
            w[h] = __builtin_shufflevector(u[h], u[h + 2], 0, 1, 8, 9, 4, 5, 12, 13);
            w[h + 1] = __builtin_shufflevector(u[h + 1], u[h + 3], 0, 1, 8, 9, 4, 5, 12, 13);
            w[h + 2] = __builtin_shufflevector(u[h], u[h + 2], 2, 3, 10, 11, 6, 7, 14, 15);
            w[h + 3] = __builtin_shufflevector(u[h + 1], u[h + 3], 2, 3, 10, 11, 6, 7, 14, 15);
        }
#pragma GCC unroll 4
        for (int j = 0; j < 4; ++j) {
            t[j] = __builtin_shufflevector(w[j], w[j + 4], 0, 1, 2, 3, 8, 9, 10, 11);
            t[j + 4] = __builtin_shufflevector(w[j], w[j + 4], 4, 5, 6, 7, 12, 13, 14, 15);
        }
    }
}

// dst[j*ldd + i] = src[i*lds + j] for i < rows, j < cols: a transposing
// copy (no arithmetic). Whole tiles of kLanes<V> x kLanes<V> go through
// registers, loaded row by row and stored column by column after
// transposeTile; the edges go element by element.
template <class V>
[[gnu::always_inline]] inline void transposeCopy(const double* src, std::int64_t lds, double* dst, std::int64_t ldd,
                                                 std::int64_t rows, std::int64_t cols) {
    constexpr int L = kLanes<V>;
    const std::int64_t fullRows = rows - rows % L, fullCols = cols - cols % L;
    for (std::int64_t i0 = 0; i0 < fullRows; i0 += L) {
        for (std::int64_t j0 = 0; j0 < fullCols; j0 += L) {
            V t[L];
#pragma GCC unroll 8
            for (int r = 0; r < L; ++r) load(t[r], src + (i0 + r) * lds + j0);
            transposeTile<V>(t);
#pragma GCC unroll 8
            for (int c = 0; c < L; ++c) store(dst + (j0 + c) * ldd + i0, t[c]);
        }
        for (std::int64_t j = fullCols; j < cols; ++j)
            for (std::int64_t i = i0; i < i0 + L; ++i) dst[j * ldd + i] = src[i * lds + j];
    }
    for (std::int64_t j = 0; j < cols; ++j)
        for (std::int64_t i = fullRows; i < rows; ++i) dst[j * ldd + i] = src[i * lds + j];
}

template <class V>
[[gnu::always_inline]] inline void subtractRowProducts(double* v, const double* a, std::int64_t lda, const double* y,
                                                       std::int64_t len) {
    constexpr int L = kLanes<V>;
    constexpr int G = kSubstRows / L;
    static_assert(kSubstRows % L == 0, "whole vectors of rows");
    V acc[G];
#pragma GCC unroll 8
    for (int g = 0; g < G; ++g) load(acc[g], v + g * L);
    std::int64_t k = 0;
    for (; k + L <= len; k += L) {
        V yk;
        load(yk, y + k);
#pragma GCC unroll 8
        for (int g = 0; g < G; ++g) {
            V p[L];
#pragma GCC unroll 8
            for (int r = 0; r < L; ++r) {
                V row;
                load(row, a + (g * L + r) * lda + k);
                p[r] = row * yk;
            }
            transposeTile<V>(p);
#pragma GCC unroll 8
            for (int j = 0; j < L; ++j) acc[g] = acc[g] - p[j];
        }
    }
#pragma GCC unroll 8
    for (int g = 0; g < G; ++g) store(v + g * L, acc[g]);
    for (; k < len; ++k) {
        for (int r = 0; r < kSubstRows; ++r) {
            const double product = a[r * lda + k] * y[k];
            v[r] = v[r] - product;
        }
    }
}

}  // namespace corx_internal::kernels
