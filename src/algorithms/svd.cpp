#include "algorithms/svd.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "runtime/cpu.h"
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

constexpr int kBatch = 8;

// kBatch pairs in vectors of L doubles: the products and sums of each lane
// are those of one pair, in the same order. When rotate is set, columns p
// and q of w are first rotated by (c, s) row by row, exactly as
// rotateColumns does, and the sums are taken over the rotated column p
// (q < q0, so the other columns are not touched): the rotation and the next
// pairs' sums share one pass over w.
template <class V, int L, bool rotate>
[[gnu::always_inline]] inline void pairSumsVec(double* w, std::int64_t ld, std::int64_t m, std::int64_t p,
                                               std::int64_t q, double c, double s, std::int64_t q0, double& alpha,
                                               double* beta, double* gamma) {
    constexpr int NV = kBatch / L;
    V be[NV] = {}, ga[NV] = {};
    double a = 0.0;
    for (std::int64_t r = 0; r < m; ++r) {
        double* row = w + r * ld;
        double wp = row[p];
        if constexpr (rotate) {
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
            std::memcpy(&wq, row + q0 + i * L, sizeof wq);
            const V qq = wq * wq;
            const V pq = wp * wq;  // the scalar is splat, not converted
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

// Rotates rows p and q of x (n columns, contiguous) by (c, s), the same
// operations as rotateColumns on the transpose; the loop vectorises.
[[gnu::always_inline]] inline void rotateRowsInline(double* x, std::int64_t ld, std::int64_t n, std::int64_t p,
                                                    std::int64_t q, double c, double s) {
    double* __restrict xp = x + p * ld;
    double* __restrict xq = x + q * ld;
    for (std::int64_t r = 0; r < n; ++r) {
        const double wp = xp[r], wq = xq[r];
        const double pc = wp * c, qs = wq * s;
        const double ps = wp * s, qc = wq * c;
        xp[r] = pc - qs;
        xq[r] = ps + qc;
    }
}

typedef double Vec2 __attribute__((vector_size(16)));
typedef double Vec4 __attribute__((vector_size(32)));
typedef double Vec8 __attribute__((vector_size(64)));

// One instruction set's kernels.
struct SvdKernels {
    void (*sums)(double*, std::int64_t, std::int64_t, std::int64_t, std::int64_t, double&, double*, double*);
    void (*rotateSums)(double*, std::int64_t, std::int64_t, std::int64_t, std::int64_t, double, double,
                       std::int64_t, double&, double*, double*);
    void (*rotateRows)(double*, std::int64_t, std::int64_t, std::int64_t, std::int64_t, double, double);
};

#define CORX_SVD_KERNELS(SUFFIX, TARGET, VEC, L)                                                                 \
    TARGET void sums##SUFFIX(double* w, std::int64_t ld, std::int64_t m, std::int64_t p, std::int64_t q0,      \
                             double& alpha, double* beta, double* gamma) {                                     \
        pairSumsVec<VEC, L, false>(w, ld, m, p, 0, 0.0, 0.0, q0, alpha, beta, gamma);                          \
    }                                                                                                          \
    TARGET void rotateSums##SUFFIX(double* w, std::int64_t ld, std::int64_t m, std::int64_t p, std::int64_t q, \
                                   double c, double s, std::int64_t q0, double& alpha, double* beta,           \
                                   double* gamma) {                                                            \
        pairSumsVec<VEC, L, true>(w, ld, m, p, q, c, s, q0, alpha, beta, gamma);                               \
    }                                                                                                          \
    TARGET void rotateRows##SUFFIX(double* x, std::int64_t ld, std::int64_t n, std::int64_t p, std::int64_t q, \
                                   double c, double s) {                                                       \
        rotateRowsInline(x, ld, n, p, q, c, s);                                                                \
    }

CORX_SVD_KERNELS(Baseline, , Vec2, 2)
CORX_SVD_KERNELS(Avx2, __attribute__((target("avx2"))), Vec4, 4)
CORX_SVD_KERNELS(Avx512, __attribute__((target("avx512f"))), Vec8, 8)

SvdKernels svdKernels(Isa isa) {
    switch (isa) {
        case Isa::Avx512: return {sumsAvx512, rotateSumsAvx512, rotateRowsAvx512};
        case Isa::Avx2: return {sumsAvx2, rotateSumsAvx2, rotateRowsAvx2};
        default: return {sumsBaseline, rotateSumsBaseline, rotateRowsBaseline};
    }
}

// Fewer than kBatch pairs: one at a time, in plain scalar code.
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
    const SvdKernels kern = svdKernels(activeIsa());
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
                double alpha = 0.0, beta[kBatch], gamma[kBatch];
                while (q < n) {
                    const std::int64_t count = std::min<std::int64_t>(kBatch, n - q);
                    if (!ready) {
                        if (count == kBatch) kern.sums(W, n, m, p, q, alpha, beta, gamma);
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
                        if (n - next >= kBatch) {
                            kern.rotateSums(W, n, m, p, q + j, c, s, next, alpha, beta, gamma);
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
