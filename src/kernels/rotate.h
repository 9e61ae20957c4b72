// Kernels of the one-sided Jacobi rotations: the sums of a batch of column
// pairs and the rotation of two rows.
//
// w is row-major with leading dimension ld and m rows. For a pair of
// columns (p, q) the three sums run over the rows in increasing order,
// each from +0.0, one rounded product and one rounded sum per step:
//     alpha = alpha + w(r,p)*w(r,p)
//     beta  = beta  + w(r,q)*w(r,q)
//     gamma = gamma + w(r,p)*w(r,q)
// A rotation by (c, s) of the values (wp, wq), both read first, is
//     pc = wp*c;  qs = wq*s;  ps = wp*s;  qc = wq*c
//     wp' = pc - qs;  wq' = ps + qc
#pragma once

#include <cstdint>

#include "kernels/simd.h"

namespace corx_internal::kernels {

// Pairs whose sums are taken in one pass.
inline constexpr int kPairBatch = 8;

// The sums of the kPairBatch pairs (p, q0), (p, q0+1), ...: alpha of
// column p, beta[j] and gamma[j] of pair j. With Rotate, columns p and q
// of w (q < q0) are first rotated by (c, s) row by row, and the sums are
// taken over the rotated column p: the rotation and the next pairs' sums
// share one pass over w. Each lane of a vector carries one pair's sums.
template <class V, bool Rotate>
[[gnu::always_inline]] inline void pairSums(double* w, std::int64_t ld, std::int64_t m, std::int64_t p,
                                            std::int64_t q, double c, double s, std::int64_t q0, double& alpha,
                                            double* beta, double* gamma) {
    constexpr int L = kLanes<V>;
    static_assert(kPairBatch % L == 0, "a batch of pairs fills whole vectors");
    constexpr int NV = kPairBatch / L;
    V be[NV] = {}, ga[NV] = {};
    double a = 0.0;
    for (std::int64_t r = 0; r < m; ++r) {
        double* row = w + r * ld;
        double wp = row[p];
        if constexpr (Rotate) {
            const double wq = row[q];
            const double pc = wp * c, qs = wq * s;
            const double ps = wp * s, qc = wq * c;
            wp = pc - qs;
            row[p] = wp;
            row[q] = ps + qc;
        }
        const double pp = wp * wp;
        a = a + pp;
        for (int i = 0; i < NV; ++i) {
            V wq;
            load(wq, row + q0 + i * L);
            const V qq = wq * wq;
            const V pq = wp * wq;
            be[i] = be[i] + qq;
            ga[i] = ga[i] + pq;
        }
    }
    alpha = a;
    for (int i = 0; i < NV; ++i)
        for (int l = 0; l < L; ++l) {
            beta[i * L + l] = be[i][l];
            gamma[i * L + l] = ga[i][l];
        }
}

// Rotates rows p and q of x (n contiguous values each, row stride ld) by
// (c, s), element by element.
template <class V>
[[gnu::always_inline]] inline void rotateRows(double* x, std::int64_t ld, std::int64_t n, std::int64_t p,
                                              std::int64_t q, double c, double s) {
    constexpr int L = kLanes<V>;
    double* xp = x + p * ld;
    double* xq = x + q * ld;
    std::int64_t r = 0;
    for (; r + L <= n; r += L) {
        V wp, wq;
        load(wp, xp + r);
        load(wq, xq + r);
        const V pc = wp * c, qs = wq * s;
        const V ps = wp * s, qc = wq * c;
        const V np = pc - qs, nq = ps + qc;
        store(xp + r, np);
        store(xq + r, nq);
    }
    for (; r < n; ++r) {
        const double wp = xp[r], wq = xq[r];
        const double pc = wp * c, qs = wq * s;
        const double ps = wp * s, qc = wq * c;
        xp[r] = pc - qs;
        xq[r] = ps + qc;
    }
}

}  // namespace corx_internal::kernels
