// SPDX-License-Identifier: BSD-3-Clause
#include "algorithms/refine.h"

#include <algorithm>

#include "algorithms/exactsum.h"
#include "kernels/kernel_set.h"
#include "kernels/substitute.h"
#include "kernels/vector_ops.h"
#include "runtime/errors.h"
#include "runtime/memory.h"
#include "runtime/parallel.h"
#include "runtime/scratch.h"

namespace corx_internal {

namespace {

// Rows of the forward substitution taken per step when it is split.
constexpr std::int64_t kLowerStep = 128;

// y[i] = y[i] - F(i, k) * y[k] for k = c0 .. c1-1, one at a time.
void rowProducts(const Matrix& F, double* y, std::int64_t i, std::int64_t c0, std::int64_t c1) {
    double v = y[i];
    for (std::int64_t k = c0; k < c1; ++k) {
        const double product = F(i, k) * y[k];
        v = v - product;
    }
    y[i] = v;
}

// Rows [r0, r1) take the products of columns [c0, c1) (their unknowns
// final): v = v - F(i, k) * y[k] for k = c0 .. c1-1 in this order, each row
// carrying its running value in y[i]; kSubstRows rows at a time through the
// kernel, the rest one by one.
void lowerRows(const KernelSet& kern, const Matrix& F, double* y, std::int64_t r0, std::int64_t r1, std::int64_t c0,
               std::int64_t c1) {
    constexpr std::int64_t R = kernels::kSubstRows;
    const std::int64_t n = F.cols;
    std::int64_t i0 = r0;
    for (; i0 + R <= r1; i0 += R) {
        double v[R];
        for (std::int64_t r = 0; r < R; ++r) v[r] = y[i0 + r];
        kern.subtractRowProducts(v, &F.data[static_cast<std::size_t>(i0 * n + c0)], n, y + c0, c1 - c0);
        for (std::int64_t r = 0; r < R; ++r) y[i0 + r] = v[r];
    }
    for (std::int64_t i = i0; i < r1; ++i) rowProducts(F, y, i, c0, c1);
}

// Rows [r0, r1), which have every product of the columns before r0, take
// those of the columns r0 .. i-1: blocks of kSubstRows rows first take the
// columns before the block side by side, then each row those of the
// block's earlier rows, in turn.
void lowerTriangle(const KernelSet& kern, const Matrix& F, double* y, std::int64_t r0, std::int64_t r1) {
    constexpr std::int64_t R = kernels::kSubstRows;
    for (std::int64_t i0 = r0; i0 < r1; i0 += R) {
        const std::int64_t i1 = std::min(i0 + R, r1);
        lowerRows(kern, F, y, i0, i1, r0, i0);
        for (std::int64_t i = i0; i < i1; ++i) rowProducts(F, y, i, i0, i);
    }
}

}  // namespace

std::vector<double> luSolve(const LuFactors& f, std::span<const double> b) {
    const Matrix& F = f.factors;
    const std::int64_t n = F.rows;
    std::vector<double> y(elementCount(n, 1), 0.0);

    for (std::int64_t i = 0; i < n; ++i)
        y[static_cast<std::size_t>(i)] = b[static_cast<std::size_t>(f.perm[static_cast<std::size_t>(i)])];

    // Unit lower factor: no division. Row i subtracts F(i, k) * y[k] for
    // k = 0 .. i-1 in this order. Rows go in blocks of kSubstRows: first the
    // kernel gives every row of the block the products of the columns
    // before the block (their unknowns are final), side by side; then each
    // row, in turn, takes those of the block's earlier rows. Each row's
    // products thus still arrive one at a time in increasing column order.
    //
    // Split across threads, the rows go in steps of kLowerStep: the step's
    // rows finish on the calling thread, then every row below takes the
    // step's columns, the rows shared among the threads. A row still takes
    // its products one at a time in increasing column order.
    const KernelSet& kern = activeKernels();
    if (partsFor(static_cast<double>(n) * static_cast<double>(n) / 2.0, double(1 << 16)) > 1) {
        for (std::int64_t s0 = 0; s0 < n; s0 += kLowerStep) {
            const std::int64_t s1 = std::min(s0 + kLowerStep, n), below = n - s1;
            lowerTriangle(kern, F, y.data(), s0, s1);
            const std::int64_t parts = std::min<std::int64_t>(
                (below + kernels::kSubstRows - 1) / kernels::kSubstRows,
                partsFor(static_cast<double>(below) * static_cast<double>(s1 - s0), double(1 << 15)));
            parallelFor(parts, [&](std::int64_t part) {
                std::int64_t begin = 0, end = 0;
                partRange(below, kernels::kSubstRows, parts, part, begin, end);
                lowerRows(kern, F, y.data(), s1 + begin, s1 + end, s0, s1);
            });
        }
    } else {
        lowerTriangle(kern, F, y.data(), 0, n);
    }

    // Upper factor: each row's first product needs the unknown of the row
    // below, finished only after all of that row's products, so the rows
    // form one chain and run one after the other.
    for (std::int64_t i = n - 1; i >= 0; --i) {
        double v = y[static_cast<std::size_t>(i)];
        for (std::int64_t k = i + 1; k < n; ++k) {
            const double product = F(i, k) * y[static_cast<std::size_t>(k)];
            v = v - product;
        }
        y[static_cast<std::size_t>(i)] = v / F(i, i);
    }
    return y;
}

namespace {

// out[i] = x[i] + d[i]: the refined solution. Where both terms are NaN the
// processor returns one of them, and which one depends on the order the
// compiler gave the commutative operands; one copy of this loop, kept
// scalar and out of line, serves the single solve and every column of
// solveMany, so a column's NaN is the single solve's.
#if defined(__clang__)
[[gnu::noinline]] void addCorrection(const double* x, const double* d, double* out, std::int64_t n) {
#pragma clang loop vectorize(disable) interleave(disable)
    for (std::int64_t i = 0; i < n; ++i) out[i] = x[i] + d[i];
}
#else
[[gnu::noinline, gnu::optimize("no-tree-vectorize")]] void addCorrection(const double* x, const double* d,
                                                                         double* out, std::int64_t n) {
    for (std::int64_t i = 0; i < n; ++i) out[i] = x[i] + d[i];
}
#endif

}  // namespace

std::vector<double> refineOnce(const Matrix& a, const LuFactors& f, std::span<const double> b,
                               std::span<const double> x) {
    const std::vector<double> r = residual(a, b, x);
    const std::vector<double> d = luSolve(f, r);
    std::vector<double> refined(elementCount(a.rows, 1), 0.0);
    addCorrection(x.data(), d.data(), refined.data(), a.rows);
    return refined;
}

std::vector<double> solve(const Matrix& a, std::span<const double> b, bool doRefine) {
    const LuFactors f = luDecompose(a);
    std::vector<double> x = luSolve(f, b);
    if (doRefine) x = refineOnce(a, f, b, x);
    return x;
}

namespace {

// Right-hand sides a part of solveMany takes side by side: rows of 64
// doubles keep a block of y for n in the thousands within a core's own
// cache while every row of it is read again by the rows below.
constexpr std::int64_t kManyColumns = 64;
// Columns whose exact residuals are computed together (exactsum.h).
constexpr std::int64_t kResidualGroup = 8;

// luSolve's substitutions for one right-hand side each of `count` systems
// at once (a stack of small systems), y[t] solved with the factors F[t]:
// each takes exactly luSolve's operations, without a kernel call per row.
// The systems' chains of dependent subtractions and divisions are
// independent of each other, so they go side by side, row by row, where
// the processor overlaps them. Kept scalar: vectorised, each row read two
// unknowns with one load just after the previous rows stored them one by
// one, which the processor cannot forward from its stores and waits on
// (twice the time at order 4).
constexpr std::int64_t kSideMost = 16;
#if defined(__clang__)
#define CORX_SCALAR_FUNCTION
#define CORX_SCALAR_LOOP _Pragma("clang loop vectorize(disable)")
#else
#define CORX_SCALAR_FUNCTION [[gnu::optimize("no-tree-vectorize")]]
#define CORX_SCALAR_LOOP
#endif
CORX_SCALAR_FUNCTION void substituteSide(const Matrix* const* F, double* const* y, std::int64_t count) {
    const std::int64_t n = F[0]->rows;
    const double* f[kSideMost];
    for (std::int64_t t = 0; t < count; ++t) f[t] = F[t]->data.data();
    double v[kSideMost];
    for (std::int64_t i = 1; i < n; ++i) {
        for (std::int64_t t = 0; t < count; ++t) v[t] = y[t][i];
        for (std::int64_t k = 0; k < i; ++k) {
            CORX_SCALAR_LOOP
            for (std::int64_t t = 0; t < count; ++t) {
                const double product = f[t][i * n + k] * y[t][k];
                v[t] = v[t] - product;
            }
        }
        for (std::int64_t t = 0; t < count; ++t) y[t][i] = v[t];
    }
    for (std::int64_t i = n - 1; i >= 0; --i) {
        for (std::int64_t t = 0; t < count; ++t) v[t] = y[t][i];
        for (std::int64_t k = i + 1; k < n; ++k) {
            CORX_SCALAR_LOOP
            for (std::int64_t t = 0; t < count; ++t) {
                const double product = f[t][i * n + k] * y[t][k];
                v[t] = v[t] - product;
            }
        }
        for (std::int64_t t = 0; t < count; ++t) y[t][i] = v[t] / f[t][i * n + i];
    }
}
#undef CORX_SCALAR_FUNCTION
#undef CORX_SCALAR_LOOP

// luSolve for w right-hand sides at once, y (n x w, row-major) holding
// P*b on entry and the solution on return. Element (i, j) takes exactly
// luSolve's operations on column j, in its order: F(i, k) * y(k, j)
// rounded, then subtracted, for k in increasing order below the diagonal
// and then above it, and the quotient by F(i, i) last. Only the columns
// run side by side, as whole rows of y.
void substituteMany(const KernelSet& kern, const Matrix& F, double* y, std::int64_t w) {
    const std::int64_t n = F.rows;
    const double* const f = F.data.data();
    if (w == 1) {
        const Matrix* const factors = &F;
        substituteSide(&factors, &y, 1);
        return;
    }
    // Forward: blocks of kRowBlock rows take the products of the rows
    // above the block together, then each row those of the block's rows
    // above it, in turn: every element still takes its products in
    // increasing k.
    constexpr std::int64_t R = kernels::kRowBlock;
    std::int64_t i0 = 1;
    for (; i0 + R <= n; i0 += R) {
        kern.subtractScaledRowBlock(y + i0 * w, w, y, w, f + i0 * n, n, i0, w);
        for (std::int64_t r = 1; r < R; ++r)
            kern.subtractScaledRows(y + (i0 + r) * w, y + i0 * w, w, f + (i0 + r) * n + i0, r, w);
    }
    for (std::int64_t i = i0; i < n; ++i) kern.subtractScaledRows(y + i * w, y, w, f + i * n, i, w);
    for (std::int64_t i = n - 1; i >= 0; --i) {
        double* const yi = y + i * w;
        kern.subtractScaledRows(yi, yi + w, w, f + i * n + i + 1, n - 1 - i, w);
        const double d = f[i * n + i];
        for (std::int64_t j = 0; j < w; ++j) yi[j] = yi[j] / d;
    }
}

}  // namespace

std::vector<double> solveMany(const Matrix& a, std::span<const double> b, std::int64_t nrhs, bool doRefine) {
    std::vector<double> x(elementCount(a.rows, nrhs), 0.0);
    solveManyInto(a, b, nrhs, doRefine, x.data());
    return x;
}

void solveManyInto(const Matrix& a, std::span<const double> b, std::int64_t nrhs, bool doRefine, double* x) {
    const LuFactors f = luDecompose(a);
    const std::int64_t n = a.rows;
    // The columns share only the factors, which no column changes, so each
    // may go to any thread: a column gets exactly the operations of the
    // single solve. About n^2 products a column (twice that and an exact
    // residual when refining): parts of at least 2^16 products, whole
    // vectors of columns.
    const std::int64_t parts = std::min<std::int64_t>(
        (nrhs + 7) / 8, partsFor(static_cast<double>(n) * static_cast<double>(n) * static_cast<double>(nrhs),
                                 double(1 << 16)));
    const KernelSet& kern = activeKernels();
    parallelFor(parts, [&](std::int64_t part) {
        std::int64_t begin = 0, end = 0;
        partRange(nrhs, 8, parts, part, begin, end);
        // y, then for refining, kResidualGroup columns each of b, x and
        // their residuals, each contiguous: the thread's kept buffer, as a
        // stack of small systems would otherwise allocate them for every
        // one.
        const std::int64_t ySize = elementCount(n, std::min(kManyColumns, end - begin));
        const std::int64_t groupSize = elementCount(n, kResidualGroup);
        const Scratch work(ScratchSlot::Work1, ySize + (doRefine ? 3 * groupSize : 0));
        double* const y = work.data();
        double* const bColumns = y + ySize;
        double* const xColumns = bColumns + groupSize;
        double* const rColumns = xColumns + groupSize;
        const std::size_t len = static_cast<std::size_t>(n);
        ResidualSystem systems[kResidualGroup];
        for (std::int64_t j0 = begin; j0 < end; j0 += kManyColumns) {
            const std::int64_t w = std::min(kManyColumns, end - j0);
            for (std::int64_t i = 0; i < n; ++i) {
                const double* const bi = b.data() + f.perm[static_cast<std::size_t>(i)] * nrhs + j0;
                std::copy(bi, bi + w, y + i * w);
            }
            substituteMany(kern, f.factors, y, w);
            for (std::int64_t i = 0; i < n; ++i) std::copy(y + i * w, y + (i + 1) * w, x + i * nrhs + j0);
            if (!doRefine) continue;
            // refineOnce: the exact residuals kResidualGroup columns
            // together (each row of a meets their x while in cache), the
            // corrections side by side again, then the final sums column by
            // column: x + luSolve(f, b - a*x).
            for (std::int64_t g0 = 0; g0 < w; g0 += kResidualGroup) {
                const std::int64_t members = std::min(kResidualGroup, w - g0);
                for (std::int64_t j = 0; j < members; ++j) {
                    double* const bj = bColumns + j * n;
                    double* const xj = xColumns + j * n;
                    for (std::int64_t i = 0; i < n; ++i) {
                        bj[i] = b[static_cast<std::size_t>(i * nrhs + j0 + g0 + j)];
                        xj[i] = x[static_cast<std::size_t>(i * nrhs + j0 + g0 + j)];
                    }
                    systems[j] = {&a, std::span<const double>(bj, len), std::span<const double>(xj, len),
                                  std::span<double>(rColumns + j * n, len)};
                }
                residualsInto(std::span<const ResidualSystem>(systems, static_cast<std::size_t>(members)));
                for (std::int64_t j = 0; j < members; ++j)
                    for (std::int64_t i = 0; i < n; ++i)
                        y[i * w + g0 + j] = rColumns[j * n + f.perm[static_cast<std::size_t>(i)]];
            }
            substituteMany(kern, f.factors, y, w);
            double* const xj = xColumns;
            double* const dj = bColumns;
            for (std::int64_t j = 0; j < w; ++j) {
                for (std::int64_t i = 0; i < n; ++i) {
                    xj[i] = x[static_cast<std::size_t>(i * nrhs + j0 + j)];
                    dj[i] = y[i * w + j];
                }
                addCorrection(xj, dj, xj, n);
                for (std::int64_t i = 0; i < n; ++i) x[static_cast<std::size_t>(i * nrhs + j0 + j)] = xj[i];
            }
        }
    });
}

namespace {

// Small systems with few right-hand sides go through a stack kSmallGroup
// at a time, step by step: the factorisations of the group, then its
// substitutions, its residuals, its corrections. Each column takes exactly
// solveMany's operations; what changes is that the steps of neighbouring
// systems, independent of each other, stand side by side in the
// instruction stream, where the processor overlaps their latencies (one
// column's substitution alone is a chain of dependent divisions and
// subtractions). The storage is the part's own, reused for every group.
constexpr std::int64_t kSmallOrder = 64;
constexpr std::int64_t kSmallRhs = 4;
constexpr std::int64_t kSmallGroup = 4;

// Systems [begin, end) of solveStack for n <= kSmallOrder and
// nrhs <= kSmallRhs; returns -1, or the first singular system, whose
// solution and those after it are not written. Column t = k*nrhs + j of a
// group is system k's column j; its values (of b, of the solution, of the
// residual, of the correction) are kept apart, n from t*n on.
std::int64_t solveSmallSystems(std::int64_t n, std::int64_t nrhs, const double* a, const double* b, double* x,
                               std::int64_t begin, std::int64_t end, bool doRefine) {
    const std::int64_t nn = n * n, nb = n * nrhs, most = kSmallGroup * nrhs;
    const std::size_t len = static_cast<std::size_t>(n);
    Matrix m[kSmallGroup];
    LuFactors f[kSmallGroup];
    for (Matrix& mk : m) mk = initMatrix(n, n);
    // One block for the whole part, off the stack (a host's executor may
    // run this on a small one).
    std::vector<double> work(elementCount(4 * most, n));
    double* const bc = work.data();
    double* const r = bc + most * n;
    static_assert(kSmallGroup * kSmallRhs <= kSideMost, "a group's columns side by side");
    const Matrix* factors[kSmallGroup * kSmallRhs];
    double* y[kSmallGroup * kSmallRhs];
    double* d[kSmallGroup * kSmallRhs];
    ResidualSystem group[kSmallGroup * kSmallRhs];
    for (std::int64_t t = 0; t < most; ++t) {
        factors[t] = &f[t / nrhs].factors;
        y[t] = r + (most + t) * n;
        d[t] = r + (2 * most + t) * n;
        group[t] = ResidualSystem{&m[t / nrhs], std::span<const double>(bc + t * n, len),
                                  std::span<const double>(y[t], len), std::span<double>(r + t * n, len)};
    }
    for (std::int64_t s0 = begin; s0 < end; s0 += kSmallGroup) {
        std::int64_t g = std::min(kSmallGroup, end - s0), singular = -1;
        for (std::int64_t k = 0; k < g; ++k) {
            std::copy(a + (s0 + k) * nn, a + (s0 + k + 1) * nn, m[k].data.begin());
            try {
                luDecomposeInto(m[k], f[k]);
            } catch (const ValueError&) {
                singular = s0 + k;
                g = k;
                break;
            }
        }
        const std::int64_t columns = g * nrhs;
        for (std::int64_t t = 0; t < columns; ++t) {
            const double* const bk = b + s0 * nb + t / nrhs * nb + t % nrhs;
            const std::vector<std::int64_t>& perm = f[t / nrhs].perm;
            for (std::int64_t i = 0; i < n; ++i) {
                bc[t * n + i] = bk[i * nrhs];
                y[t][i] = bk[perm[static_cast<std::size_t>(i)] * nrhs];
            }
        }
        if (columns > 0) substituteSide(factors, y, columns);
        if (doRefine && columns > 0) {
            residualsInto(std::span<const ResidualSystem>(group, static_cast<std::size_t>(columns)));
            for (std::int64_t t = 0; t < columns; ++t) {
                const std::vector<std::int64_t>& perm = f[t / nrhs].perm;
                for (std::int64_t i = 0; i < n; ++i) d[t][i] = r[t * n + perm[static_cast<std::size_t>(i)]];
            }
            substituteSide(factors, d, columns);
            for (std::int64_t t = 0; t < columns; ++t) addCorrection(y[t], d[t], y[t], n);
        }
        for (std::int64_t t = 0; t < columns; ++t)
            for (std::int64_t i = 0; i < n; ++i) x[s0 * nb + t / nrhs * nb + i * nrhs + t % nrhs] = y[t][i];
        if (singular >= 0) return singular;
    }
    return -1;
}

}  // namespace

std::int64_t solveStack(std::int64_t n, std::int64_t count, const double* a, const double* b, std::int64_t nrhs,
                        double* x, bool doRefine) {
    // About n^3 operations a system (twice that when refining): parts of
    // at least 2^16, whole systems. A part stops at its first singular
    // system; the lowest over the parts is then the lowest of all, however
    // the systems were shared out.
    const std::int64_t nn = n * n, nb = n * nrhs;
    const double work = static_cast<double>(count) * static_cast<double>(nn) * static_cast<double>(n + nrhs) *
                        (doRefine ? 2.0 : 1.0);
    const std::int64_t parts = std::min<std::int64_t>(count, partsFor(work, double(1 << 16)));
    std::vector<std::int64_t> failed(static_cast<std::size_t>(parts < 1 ? 1 : parts), -1);
    parallelFor(parts, [&](std::int64_t part) {
        std::int64_t begin = 0, end = 0;
        partRange(count, 1, parts, part, begin, end);
        if (n <= kSmallOrder && nrhs <= kSmallRhs) {
            failed[static_cast<std::size_t>(part)] = solveSmallSystems(n, nrhs, a, b, x, begin, end, doRefine);
            return;
        }
        Matrix m = initMatrix(n, n);
        for (std::int64_t s = begin; s < end; ++s) {
            std::copy(a + s * nn, a + (s + 1) * nn, m.data.begin());
            std::vector<double> solution;
            try {
                solution = solveMany(m, std::span<const double>(b + s * nb, static_cast<std::size_t>(nb)), nrhs,
                                     doRefine);
            } catch (const ValueError&) {
                failed[static_cast<std::size_t>(part)] = s;
                return;
            }
            std::copy(solution.begin(), solution.end(), x + s * nb);
        }
    });
    for (const std::int64_t s : failed)
        if (s >= 0) return s;
    return -1;
}

}  // namespace corx_internal
