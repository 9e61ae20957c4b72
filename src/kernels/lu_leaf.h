/* SPDX-License-Identifier: BSD-3-Clause */
// One step of the LU leaf: the multipliers of a column, its update of the
// leaf's later columns, and the pivot search of the next column, in one
// pass down the rows.
//
// The panel is column-major: panel[j * rows + i]. At step c, with the
// pivot row already exchanged into row c and pivot = panel[c * rows + c],
// for every row i = c+1 .. rows-1:
//     m = panel[c * rows + i] / pivot, stored back;
//     for j = c+1 .. w-1: panel[j * rows + i] =
//         panel[j * rows + i] - panel[j * rows + c] * m
// each quotient, product and difference rounded on its own: the same
// operations as the column loop performs, so every element takes its
// updates in the same order. Rows are independent; the pass runs them a
// vector at a time, the columns of a row block one after the other, which
// reads each multiplier once instead of once per column.
//
// The search: among rows c+1 .. rows-1 of column c+1, after its update,
// the first row of the largest magnitude, ignoring NaN (comparisons with
// NaN are false). Each lane keeps its own best and the first row that
// reached it; the lanes are merged taking the larger best and, among
// equal ones, the lower row; the rows after the last whole vector are
// compared one by one after the merge, strictly greater winning. That is
// the first row of the largest magnitude, as a scan down the column
// finds it. Returns that row in `row` and its magnitude in `best`, or
// row = -1 where every magnitude is NaN or there is no row (also where
// c + 1 >= w). The caller compares with the diagonal as its search rule
// wants.
#pragma once

#include <cmath>
#include <cstdint>

#include "kernels/simd.h"

namespace corx_internal::kernels {

template <class V>
[[gnu::always_inline]] inline void luLeafStep(double* panel, std::int64_t rows, std::int64_t w, std::int64_t c,
                                              double pivot, std::int64_t& row, double& best) {
    using M = Mask<V>;
    constexpr int L = kLanes<V>;
    constexpr std::uint64_t kMagnitude = ~(std::uint64_t{1} << 63);
    double* const col = panel + c * rows;
    const bool search = c + 1 < w;
    double* const next = search ? panel + (c + 1) * rows : nullptr;
    V laneBest = V{} - 1.0;
    M laneRow = M{} - 1, at;
    for (int l = 0; l < L; ++l) at[l] = c + 1 + l;
    std::int64_t i = c + 1;
    for (; i + L <= rows; i += L) {
        V x;
        load(x, col + i);
        const V mult = x / pivot;
        store(col + i, mult);
        for (std::int64_t j = c + 1; j < w; ++j) {
            double* const cj = panel + j * rows;
            const double a = cj[c];
            V s;
            load(s, cj + i);
            const V p = a * mult;
            s = s - p;
            store(cj + i, s);
        }
        if (search) {
            V v;
            load(v, next + i);
            v = reinterpret_cast<V>(reinterpret_cast<M>(v) & static_cast<long long>(kMagnitude));
            const M more = v > laneBest;
            laneBest = more ? v : laneBest;
            laneRow = more ? at : laneRow;
        }
        at += L;
    }
    row = -1;
    best = -1.0;
    for (int l = 0; l < L; ++l) {
        if (laneRow[l] < 0) continue;
        if (laneBest[l] > best || (laneBest[l] == best && laneRow[l] < row)) {
            best = laneBest[l];
            row = laneRow[l];
        }
    }
    for (; i < rows; ++i) {
        const double mult = col[i] / pivot;
        col[i] = mult;
        for (std::int64_t j = c + 1; j < w; ++j) {
            double* const cj = panel + j * rows;
            const double product = cj[c] * mult;
            cj[i] = cj[i] - product;
        }
        if (search) {
            const double v = std::fabs(next[i]);
            if (v > best) {
                best = v;
                row = i;
            }
        }
    }
}

}  // namespace corx_internal::kernels
