// Plain one-sided Jacobi SVD, one pair at a time, exactly in the
// prescribed loop order. The library routine (which computes the sums of
// several pairs ahead) must agree with it bit for bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "algorithms/svd.h"
#include "runtime/memory.h"

namespace corx_test {

using corx_internal::Matrix;
using corx_internal::identity;
using corx_internal::initMatrix;

// Rotates columns p and q of x by (c, s): with wp and wq both read first,
// x[r][p] = wp*c - wq*s and x[r][q] = wp*s + wq*c for every row r.
inline void referenceRotateColumns(Matrix& x, std::int64_t p, std::int64_t q, double c, double s) {
    for (std::int64_t r = 0; r < x.rows; ++r) {
        const double wp = x(r, p), wq = x(r, q);
        const double pc = wp * c, qs = wq * s;
        const double ps = wp * s, qc = wq * c;
        x(r, p) = pc - qs;
        x(r, q) = ps + qc;
    }
}

inline void referenceSwapColumns(Matrix& x, std::int64_t i, std::int64_t k) {
    for (std::int64_t r = 0; r < x.rows; ++r) std::swap(x(r, i), x(r, k));
}

inline corx_internal::SvdFactors referenceSvdDecompose(const Matrix& a, std::int64_t maxSweeps, double tol) {
    const std::int64_t m = a.rows, n = a.cols;
    Matrix w = a;
    corx_internal::SvdFactors out;
    out.v = identity(n);
    Matrix& v = out.v;

    if (maxSweeps >= 1 && n >= 2) {
        for (std::int64_t sweep = 1; sweep <= maxSweeps; ++sweep) {
            bool rotated = false;
            for (std::int64_t p = 0; p < n - 1; ++p) {
                for (std::int64_t q = p + 1; q < n; ++q) {
                    double alpha = 0.0, beta = 0.0, gamma = 0.0;
                    for (std::int64_t r = 0; r < m; ++r) {
                        volatile double pp = w(r, p) * w(r, p);
                        volatile double qq = w(r, q) * w(r, q);
                        volatile double pq = w(r, p) * w(r, q);
                        alpha = alpha + pp;
                        beta = beta + qq;
                        gamma = gamma + pq;
                    }
                    // Orthogonal within tol: no rotation. A NaN makes the
                    // comparison false, so the rotation is made.
                    const double bound = (std::sqrt(alpha) * tol) * std::sqrt(beta);
                    if (bound >= std::fabs(gamma)) continue;

                    const double zeta = (beta - alpha) / (gamma + gamma);
                    double t;
                    if (zeta >= 0.0) {
                        t = 1.0 / (zeta + std::sqrt(zeta * zeta + 1.0));
                    } else {
                        t = -1.0 / (std::sqrt(zeta * zeta + 1.0) - zeta);
                    }
                    const double c = 1.0 / std::sqrt(t * t + 1.0);
                    const double s = t * c;
                    referenceRotateColumns(w, p, q, c, s);
                    referenceRotateColumns(v, p, q, c, s);
                    rotated = true;
                }
            }
            if (!rotated) break;
        }
    }

    out.s.assign(corx_internal::elementCount(n, 1), 0.0);
    out.u = initMatrix(m, n);
    std::vector<double>& S = out.s;
    Matrix& u = out.u;
    for (std::int64_t j = 0; j < n; ++j) {
        double sumSquares = 0.0;
        for (std::int64_t r = 0; r < m; ++r) {
            volatile double square = w(r, j) * w(r, j);
            sumSquares = sumSquares + square;
        }
        const double sj = std::sqrt(sumSquares);
        S[static_cast<std::size_t>(j)] = sj;
        if (sj > 0.0) {
            for (std::int64_t r = 0; r < m; ++r) u(r, j) = w(r, j) / sj;
        }
    }

    // Selection sort, descending: only a strictly greater value moves the
    // choice, so ties keep their order and a NaN is never chosen.
    for (std::int64_t i = 0; i + 1 < n; ++i) {
        std::int64_t k = i;
        double best = S[static_cast<std::size_t>(i)];
        for (std::int64_t l = i + 1; l < n; ++l) {
            if (S[static_cast<std::size_t>(l)] > best) {
                k = l;
                best = S[static_cast<std::size_t>(l)];
            }
        }
        if (k != i) {
            std::swap(S[static_cast<std::size_t>(i)], S[static_cast<std::size_t>(k)]);
            referenceSwapColumns(u, i, k);
            referenceSwapColumns(v, i, k);
        }
    }
    return out;
}

}  // namespace corx_test
