/* SPDX-License-Identifier: BSD-3-Clause */
// Kernels of the one-sided Jacobi sweep by anti-diagonals: one pass over
// the rows that rotates the pairs of one anti-diagonal and takes the sums
// of the next, and the rotation of pairs of rows.
//
// A rotation by (c, s) of the values (wp, wq), both read first, is
//     pc = wp*c;  qs = wq*s;  ps = wp*s;  qc = wq*c
//     wp' = pc - qs;  wq' = ps + qc
// (the four products rounded, then the difference and the sum).
#pragma once

#include <cstdint>
#include <cstring>

#include "kernels/simd.h"

namespace corx_internal::kernels {

// A rotation of rows p and q of a row-major matrix by (c, s).
struct JacobiRotation {
    std::int64_t p, q;
    double c, s;
};

// How many lanes a pass may run before its first lane and after its last
// one (see diagonalPass): the caller pads its columns and lane arrays by
// at least this much.
inline constexpr int kPassOverhang = 7;

// Vectors of pairs a pass carries side by side in one run over the rows.
inline constexpr int kPassVectors = 2;

// diagonalPass: one pass over the rows of w (m rows, row stride ld) for
// the pairs of columns on anti-diagonal d: lane i is the pair
// (p0+i, d-p0-i), for i = 0 .. count-1. For every row r = 0 .. m-1 in
// increasing order:
//  1. every lane i with rotate[i] != 0 rotates its pair by (c[i], s[i]):
//       wp = w[r][p], wq = w[r][q] (both read first)
//       w[r][p] = wp*c - wq*s,  w[r][q] = wp*s + wq*c
//     (the rotation above); lanes with rotate[i] == 0 leave their columns
//     untouched, bits and all;
//  2. then every lane i adds row r of the pair (p0+i, d+1-p0-i) of the
//     next anti-diagonal to its three running sums, starting from +0.0:
//       alpha[i] = alpha[i] + wp*wp,  beta[i] = beta[i] + wq*wq,
//       gamma[i] = gamma[i] + wp*wq   (each product and sum rounded).
// A lane's sums therefore see the rotations of lanes i and i-1 of this
// pass (the only ones of this anti-diagonal that touch its columns).
// Only lanes with want[i] != 0 are sure to get their sums: a run of
// lanes none of which rotates or wants its sums is skipped.
// Lanes whose pair is not a valid pair of columns must have rotate[i]
// == 0 (their sums are meaningless). The pass may run up to kPassOverhang
// lanes before lane 0 and after lane count-1 as such lanes (so that its
// vectors of p columns start on multiples of the lane count), which read
// and write back their columns unchanged. The caller guarantees that no
// two rotated pairs share a column, that columns p0-7 .. p0+count+7 and
// d-p0-count-7 .. d+1-p0+7 of every row are addressable (padding), that
// c, s and rotate are readable and alpha, beta and gamma writable from
// lane -7 to lane count+7, with rotate zero outside 0 .. count-1 and want
// readable over the same lanes (7 being kPassOverhang). A pass whose p0
// and p0+count are both multiples of the lane count runs lanes 0 ..
// count-1 only: it reads c, s, rotate and want of no other lane, writes no
// other lane's sums, and touches no column but theirs, apart from reading
// column d+1-p0 (the q column of lane 0's next pair).
//
// rotateRowPairs: applies count rotations in order to the first `width`
// columns of x (row stride ld): for each rotation, for every column j,
//     xp = x[p][j], xq = x[q][j];  x[p][j] = xp*c - xq*s,  x[q][j] = xp*s + xq*c
// with the rounded operations of the rotation above (p != q).

namespace jacobi_detail {

// Lane order reversed: the q columns of a run of pairs descend while the p
// columns ascend.
template <class V>
[[gnu::always_inline]] inline void reverse(V& out, const V& x) {
    constexpr int L = kLanes<V>;
    if constexpr (L == 2) out = __builtin_shufflevector(x, x, 1, 0);
    else if constexpr (L == 4) out = __builtin_shufflevector(x, x, 3, 2, 1, 0);
    else out = __builtin_shufflevector(x, x, 7, 6, 5, 4, 3, 2, 1, 0);
}

// {prev[L-1], cur[0], ..., cur[L-2]}: the q columns of the next
// anti-diagonal are those of this one moved up by one lane.
template <class V>
[[gnu::always_inline]] inline void shiftIn(V& out, const V& prev, const V& cur) {
    constexpr int L = kLanes<V>;
    if constexpr (L == 2) out = __builtin_shufflevector(prev, cur, 1, 2);
    else if constexpr (L == 4) {
        // A blend and one permutation: the two-source lane shift would
        // take two shuffles, and shuffles compete with the products here.
        const V mixed = __builtin_shufflevector(cur, prev, 0, 1, 2, 7);
        out = __builtin_shufflevector(mixed, mixed, 3, 0, 1, 2);
    }
    else out = __builtin_shufflevector(prev, cur, 7, 8, 9, 10, 11, 12, 13, 14);
}

// q columns of a run, in lane order, from the highest one at `top`
// downwards.
template <class V>
[[gnu::always_inline]] inline void loadReversed(V& out, const double* top) {
    V x;
    load(x, top - (kLanes<V> - 1));
    reverse(out, x);
}

template <class V>
[[gnu::always_inline]] inline void storeReversed(double* top, const V& v) {
    V x;
    reverse(x, v);
    store(top - (kLanes<V> - 1), x);
}

// NV vectors starting at lane i0 of the pass (absolute p column P =
// p0 + i0). With Rotate clear no lane of the run rotates; with Mixed clear
// every lane of it does, and the rotated values are stored without
// selecting them lane by lane. Reload is set
// for a run whose last lanes lie beyond the pass: their p columns may then
// be q columns of lanes of this run, so the q columns are read again after
// the p columns are stored and only the rotated lanes take new values.
template <class V, int NV, bool Rotate, bool Mixed, bool Reload>
[[gnu::always_inline]] inline void runPass(double* w, std::int64_t ld, std::int64_t m, std::int64_t d,
                                           std::int64_t P, const double* c, const double* s,
                                           const std::int64_t* rotate, double* alpha, double* beta,
                                           double* gamma) {
    using M = Mask<V>;
    constexpr int L = kLanes<V>;
    V cv[NV], sv[NV];
    M rv[NV];
    if constexpr (Rotate) {
        for (int k = 0; k < NV; ++k) {
            load(cv[k], c + k * L);
            load(sv[k], s + k * L);
            M flags;
            std::memcpy(&flags, rotate + k * L, sizeof flags);
            rv[k] = flags != 0;
        }
    }
    V a[NV], b[NV], g[NV];
    for (int k = 0; k < NV; ++k) a[k] = b[k] = g[k] = V{};
    for (std::int64_t r = 0; r < m; ++r) {
        double* row = w + r * ld;
        V prevQ = {};
        // Only its last lane, column d+1-P, is used.
        if constexpr (Rotate) load(prevQ, row + (d + 1 - P - (L - 1)));
        for (int k = 0; k < NV; ++k) {
            double* pp = row + P + k * L;
            V wp;
            load(wp, pp);
            V wq;
            if constexpr (Rotate) {
                double* qTop = row + (d - P - k * L);
                V oq;
                loadReversed(oq, qTop);
                const V pc = wp * cv[k], qs = oq * sv[k];
                const V ps = wp * sv[k], qc = oq * cv[k];
                V np = pc - qs, nq = ps + qc;
                if constexpr (Mixed) np = rv[k] ? np : wp;
                store(pp, np);
                if constexpr (Reload) loadReversed(oq, qTop);
                if constexpr (Mixed) nq = rv[k] ? nq : oq;
                storeReversed(qTop, nq);
                wp = np;
                shiftIn(wq, prevQ, nq);
                prevQ = nq;
            } else {
                loadReversed(wq, row + (d + 1 - P - k * L));
            }
            const V pp2 = wp * wp, qq2 = wq * wq, pq = wp * wq;
            a[k] = a[k] + pp2;
            b[k] = b[k] + qq2;
            g[k] = g[k] + pq;
        }
    }
    for (int k = 0; k < NV; ++k) {
        store(alpha + k * L, a[k]);
        store(beta + k * L, b[k]);
        store(gamma + k * L, g[k]);
    }
}

[[gnu::always_inline]] inline bool anyFlag(const std::int64_t* flags, int n) {
    std::int64_t any = 0;
    for (int i = 0; i < n; ++i) any |= flags[i];
    return any != 0;
}

[[gnu::always_inline]] inline bool everyFlag(const std::int64_t* flags, int n) {
    bool every = true;
    for (int i = 0; i < n; ++i) every = every && flags[i] != 0;
    return every;
}

// A run with no rotation and no sums wanted is skipped; one whose lanes
// all rotate needs no selection of rotated values.
template <class V, int NV, bool Reload>
[[gnu::always_inline]] inline void run(double* w, std::int64_t ld, std::int64_t m, std::int64_t d, std::int64_t p0,
                                       std::int64_t i, const double* c, const double* s,
                                       const std::int64_t* rotate, const std::int64_t* want, double* alpha,
                                       double* beta, double* gamma) {
    constexpr int L = kLanes<V>;
    if (everyFlag(rotate + i, NV * L))
        runPass<V, NV, true, false, Reload>(w, ld, m, d, p0 + i, c + i, s + i, rotate + i, alpha + i, beta + i,
                                            gamma + i);
    else if (anyFlag(rotate + i, NV * L))
        runPass<V, NV, true, true, Reload>(w, ld, m, d, p0 + i, c + i, s + i, rotate + i, alpha + i, beta + i,
                                           gamma + i);
    else if (anyFlag(want + i, NV * L))
        runPass<V, NV, false, false, Reload>(w, ld, m, d, p0 + i, c + i, s + i, rotate + i, alpha + i, beta + i,
                                             gamma + i);
}

}  // namespace jacobi_detail

// Runs of kPassVectors vectors, then single vectors, then the last
// partial vector. The first run starts up to L-1 lanes before p0, so that
// every run's p columns start on a multiple of L (a line boundary when
// row 0 column 0 is on one and ld is a multiple of 8); the last partial
// vector ends at most L-2 lanes after count-1. Each run passes over all
// rows before the next begins, so a run reads the q column shifted in
// from the lane before it after that lane's rotation is complete.
template <class V>
[[gnu::always_inline]] inline void diagonalPass(double* w, std::int64_t ld, std::int64_t m, std::int64_t d,
                                                std::int64_t p0, std::int64_t count, const double* c,
                                                const double* s, const std::int64_t* rotate,
                                                const std::int64_t* want, double* alpha, double* beta,
                                                double* gamma) {
    using namespace jacobi_detail;
    constexpr int L = kLanes<V>;
    constexpr int NV = kPassVectors;
    static_assert(L - 1 <= kPassOverhang, "the lanes before and after a pass must fit the caller's padding");
    std::int64_t i = -(p0 % L);
    const std::int64_t full = i + (count - i) / L * L;
    for (; i + NV * L <= full; i += NV * L)
        run<V, NV, false>(w, ld, m, d, p0, i, c, s, rotate, want, alpha, beta, gamma);
    for (; i + L <= full; i += L) run<V, 1, false>(w, ld, m, d, p0, i, c, s, rotate, want, alpha, beta, gamma);
    if (i < count) run<V, 1, true>(w, ld, m, d, p0, i, c, s, rotate, want, alpha, beta, gamma);
}

template <class V>
[[gnu::always_inline]] inline void rotateRowPairs(double* x, std::int64_t ld, std::int64_t width,
                                                  const JacobiRotation* rotations, std::int64_t count) {
    constexpr int L = kLanes<V>;
    for (std::int64_t e = 0; e < count; ++e) {
        const JacobiRotation& rot = rotations[e];
        double* xp = x + rot.p * ld;
        double* xq = x + rot.q * ld;
        const double c = rot.c, s = rot.s;  // broadcast into the vector products
        std::int64_t j = 0;
        for (; j + L <= width; j += L) {
            V wp, wq;
            load(wp, xp + j);
            load(wq, xq + j);
            const V pc = wp * c, qs = wq * s;
            const V ps = wp * s, qc = wq * c;
            const V np = pc - qs, nq = ps + qc;
            store(xp + j, np);
            store(xq + j, nq);
        }
        for (; j < width; ++j) {
            const double wp = xp[j], wq = xq[j];
            const double pc = wp * c, qs = wq * s;
            const double ps = wp * s, qc = wq * c;
            xp[j] = pc - qs;
            xq[j] = ps + qc;
        }
    }
}

}  // namespace corx_internal::kernels
