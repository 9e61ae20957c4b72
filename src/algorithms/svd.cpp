#include "algorithms/svd.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "kernels/kernel_set.h"
#include "kernels/rotate.h"
#include "runtime/memory.h"

namespace corx_internal {

namespace {

// Rotates columns p and q of x by (c, s): with wp and wq both read first,
// x[r][p] = wp*c - wq*s and x[r][q] = wp*s + wq*c for every row r.
void rotateColumns(Matrix& x, std::int64_t p, std::int64_t q, double c, double s) {
    for (std::int64_t r = 0; r < x.rows; ++r) {
        const double wp = x(r, p), wq = x(r, q);
        const double pc = wp * c, qs = wq * s;
        const double ps = wp * s, qc = wq * c;
        x(r, p) = pc - qs;
        x(r, q) = ps + qc;
    }
}

// Fewer than kernels::kPairBatch pairs: one at a time, in plain scalar code.
void pairSumsNarrow(const double* w, std::int64_t ld, std::int64_t m, std::int64_t p, std::int64_t q0,
                    std::int64_t count, double& alpha, double* beta, double* gamma) {
    for (std::int64_t j = 0; j < count; ++j) {
        double a = 0.0, b = 0.0, g = 0.0;
        for (std::int64_t r = 0; r < m; ++r) {
            const double wp = w[r * ld + p], wq = w[r * ld + q0 + j];
            const double pp = wp * wp;
            const double qq = wq * wq;
            const double pq = wp * wq;
            a = a + pp;
            b = b + qq;
            g = g + pq;
        }
        alpha = a;
        beta[j] = b;
        gamma[j] = g;
    }
}

void swapColumns(Matrix& x, std::int64_t i, std::int64_t k) {
    for (std::int64_t r = 0; r < x.rows; ++r) std::swap(x(r, i), x(r, k));
}

}  // namespace

SvdFactors svdDecompose(const Matrix& a, std::int64_t maxSweeps, double tol) {
    const std::int64_t m = a.rows, n = a.cols;
    Matrix w = a;
    SvdFactors out;
    out.v = identity(n);

    // v is built transposed (vt(j, r) = v(r, j)), so that its rotations
    // run along contiguous rows; the identity is its own transpose.
    Matrix vt = std::move(out.v);
    const KernelSet& kern = activeKernels();
    double* W = w.data.data();
    if (maxSweeps >= 1 && n >= 2) {
        for (std::int64_t sweep = 1; sweep <= maxSweeps; ++sweep) {
            bool rotated = false;
            for (std::int64_t p = 0; p < n - 1; ++p) {
                // The sums of several pairs (p, q) are computed ahead from
                // the current column p. They stay valid while no rotation
                // changes column p; after a rotation the following pairs'
                // sums are taken again, in the same pass as the rotation.
                std::int64_t q = p + 1;
                bool ready = false;
                double alpha = 0.0, beta[kernels::kPairBatch], gamma[kernels::kPairBatch];
                while (q < n) {
                    const std::int64_t count = std::min<std::int64_t>(kernels::kPairBatch, n - q);
                    if (!ready) {
                        if (count == kernels::kPairBatch) kern.pairSums(W, n, m, p, q, alpha, beta, gamma);
                        else pairSumsNarrow(W, n, m, p, q, count, alpha, beta, gamma);
                    }
                    ready = false;
                    std::int64_t next = q + count;
                    for (std::int64_t j = 0; j < count; ++j) {
                        const double b = beta[j], g = gamma[j];
                        // Orthogonal within tol: no rotation. A NaN makes the
                        // comparison false, so the rotation is made.
                        const double bound = (std::sqrt(alpha) * tol) * std::sqrt(b);
                        if (bound >= std::fabs(g)) continue;

                        const double zeta = (b - alpha) / (g + g);
                        double t;
                        if (zeta >= 0.0) {
                            t = 1.0 / (zeta + std::sqrt(zeta * zeta + 1.0));
                        } else {
                            t = -1.0 / (std::sqrt(zeta * zeta + 1.0) - zeta);
                        }
                        const double c = 1.0 / std::sqrt(t * t + 1.0);
                        const double s = t * c;
                        next = q + j + 1;  // column p changes: the rest are stale
                        if (n - next >= kernels::kPairBatch) {
                            kern.rotatePairSums(W, n, m, p, q + j, c, s, next, alpha, beta, gamma);
                            ready = true;
                        } else {
                            rotateColumns(w, p, q + j, c, s);
                        }
                        kern.rotateRows(vt.data.data(), n, n, p, q + j, c, s);
                        rotated = true;
                        break;
                    }
                    q = next;
                }
            }
            if (!rotated) break;
        }
    }

    out.v = transpose(vt);
    Matrix& v = out.v;

    out.s.assign(elementCount(n, 1), 0.0);
    out.u = initMatrix(m, n);
    std::vector<double>& S = out.s;
    Matrix& u = out.u;
    for (std::int64_t j = 0; j < n; ++j) {
        double sumSquares = 0.0;
        for (std::int64_t r = 0; r < m; ++r) {
            const double square = w(r, j) * w(r, j);
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
            swapColumns(u, i, k);
            swapColumns(v, i, k);
        }
    }
    return out;
}

}  // namespace corx_internal
