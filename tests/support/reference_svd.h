/* SPDX-License-Identifier: BSD-3-Clause */
// Reference one-sided Jacobi SVD, written straight from the prescribed order
// of operations on plain row-major arrays (W: m x n working copy of A, V:
// n x n, starting as the identity):
//   sweeps (only with maxSweeps >= 1 and n >= 2), at most maxSweeps:
//     for p = 0 .. n-2, q = p+1 .. n-1:
//       alpha, beta, gamma: running sums over rows 0 .. m-1 of W[r][p]^2,
//         W[r][q]^2 and W[r][p]*W[r][q], each product and sum rounded;
//       orthogonal (no rotation) when (sqrt(alpha)*tol)*sqrt(beta) >= |gamma|;
//       otherwise zeta = (beta - alpha)/(gamma + gamma);
//         t = 1/(zeta + sqrt(zeta*zeta + 1)) for zeta >= 0,
//         t = -1/(sqrt(zeta*zeta + 1) - zeta) otherwise;
//         c = 1/sqrt(t*t + 1), s = t*c;
//         every row of W, then every row of V: with wp, wq read first,
//         [p] = wp*c - wq*s, [q] = wp*s + wq*c;
//     a sweep without any rotation ends the loop;
//   S[j] = sqrt(sum over rows of W[r][j]^2); U[r][j] = W[r][j]/S[j] when
//     S[j] > 0, else column j of U stays +0.0;
//   selection sort into descending order: the largest of S[i..n-1] scanning
//     upward, a later index only when strictly greater; exchanging S, the
//     columns of U and the columns of V.
// All of it runs on A scaled by 2^svdInputShift(A), and S is scaled back
// after the sort. The library routine (whatever it computes ahead or in
// batches) must agree with it bit for bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "algorithms/scaling.h"
#include "algorithms/svd.h"
#include "types/matrix.h"

namespace corx_test {

inline corx_internal::SvdFactors referenceSvdDecompose(const corx_internal::Matrix& a, std::int64_t maxSweeps,
                                                       double tol) {
    const std::int64_t m = a.rows, n = a.cols;
    const auto w = [n](std::int64_t r, std::int64_t c) { return static_cast<std::size_t>(r * n + c); };
    std::vector<double> W(a.data.begin(), a.data.begin() + static_cast<std::ptrdiff_t>(m * n));
    const int shift = corx_internal::svdInputShift(a);
    for (double& x : W) x = corx_internal::scaleByPowerOfTwo(x, shift);
    std::vector<double> V(static_cast<std::size_t>(n * n), 0.0);
    for (std::int64_t i = 0; i < n; ++i) V[w(i, i)] = 1.0;

    if (maxSweeps >= 1 && n >= 2) {
        for (std::int64_t sweep = 1; sweep <= maxSweeps; ++sweep) {
            bool rotated = false;
            for (std::int64_t p = 0; p + 1 < n; ++p) {
                for (std::int64_t q = p + 1; q < n; ++q) {
                    double alpha = 0.0, beta = 0.0, gamma = 0.0;
                    for (std::int64_t r = 0; r < m; ++r) {
                        const double pp = W[w(r, p)] * W[w(r, p)];
                        alpha = alpha + pp;
                        const double qq = W[w(r, q)] * W[w(r, q)];
                        beta = beta + qq;
                        const double pq = W[w(r, p)] * W[w(r, q)];
                        gamma = gamma + pq;
                    }
                    const double left = std::sqrt(alpha) * tol;
                    const double bound = left * std::sqrt(beta);
                    if (bound >= std::fabs(gamma)) continue;

                    const double zeta = (beta - alpha) / (gamma + gamma);
                    double t;
                    if (zeta >= 0.0) {
                        const double root = std::sqrt(zeta * zeta + 1.0);
                        t = 1.0 / (zeta + root);
                    } else {
                        const double root = std::sqrt(zeta * zeta + 1.0);
                        t = -1.0 / (root - zeta);
                    }
                    const double c = 1.0 / std::sqrt(t * t + 1.0);
                    const double s = t * c;
                    for (std::int64_t r = 0; r < m; ++r) {
                        const double wp = W[w(r, p)], wq = W[w(r, q)];
                        const double wpc = wp * c, wqs = wq * s, wps = wp * s, wqc = wq * c;
                        W[w(r, p)] = wpc - wqs;
                        W[w(r, q)] = wps + wqc;
                    }
                    for (std::int64_t r = 0; r < n; ++r) {
                        const double vp = V[w(r, p)], vq = V[w(r, q)];
                        const double vpc = vp * c, vqs = vq * s, vps = vp * s, vqc = vq * c;
                        V[w(r, p)] = vpc - vqs;
                        V[w(r, q)] = vps + vqc;
                    }
                    rotated = true;
                }
            }
            if (!rotated) break;
        }
    }

    std::vector<double> S(static_cast<std::size_t>(n > 0 ? n : 0), 0.0);
    std::vector<double> U(static_cast<std::size_t>(m * n), 0.0);
    for (std::int64_t j = 0; j < n; ++j) {
        double sum = 0.0;
        for (std::int64_t r = 0; r < m; ++r) {
            const double square = W[w(r, j)] * W[w(r, j)];
            sum = sum + square;
        }
        const double sj = std::sqrt(sum);
        S[static_cast<std::size_t>(j)] = sj;
        if (sj > 0.0) {
            for (std::int64_t r = 0; r < m; ++r) U[w(r, j)] = W[w(r, j)] / sj;
        }
    }

    for (std::int64_t i = 0; i + 1 < n; ++i) {
        std::int64_t k = i;
        for (std::int64_t l = i + 1; l < n; ++l) {
            if (S[static_cast<std::size_t>(l)] > S[static_cast<std::size_t>(k)]) k = l;
        }
        if (k == i) continue;
        const double held = S[static_cast<std::size_t>(i)];
        S[static_cast<std::size_t>(i)] = S[static_cast<std::size_t>(k)];
        S[static_cast<std::size_t>(k)] = held;
        for (std::int64_t r = 0; r < m; ++r) {
            const double u = U[w(r, i)];
            U[w(r, i)] = U[w(r, k)];
            U[w(r, k)] = u;
        }
        for (std::int64_t r = 0; r < n; ++r) {
            const double v = V[w(r, i)];
            V[w(r, i)] = V[w(r, k)];
            V[w(r, k)] = v;
        }
    }

    for (double& x : S) x = corx_internal::scaleByPowerOfTwo(x, -shift);

    corx_internal::SvdFactors out;
    out.u = corx_internal::matrix(m, n, U);
    out.s = S;
    out.v = corx_internal::matrix(n, n, V);
    return out;
}

}  // namespace corx_test
