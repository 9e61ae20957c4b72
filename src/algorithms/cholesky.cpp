// SPDX-License-Identifier: BSD-3-Clause
#include "algorithms/cholesky.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>

#include "kernels/product.h"
#include "kernels/kernel_set.h"
#include "runtime/errors.h"
#include "runtime/memory.h"
#include "runtime/parallel.h"
#include "runtime/scratch.h"

namespace corx_internal {

namespace {

// Columns per panel of the blocked factorisation, and per sub-panel inside
// a panel. A panel's rows of running sums (n x kPanel doubles) stay in L2
// up to n of about 2500; with panels of 96 they did not past 1300, and
// n = 1000 and 2000 ran 7% and 2-4% slower on a Zen 3 core. 48 is a multiple
// of every kernel set's tile width.
constexpr std::int64_t kPanel = 48;
constexpr std::int64_t kSubPanel = 16;

// Multiply-adds a part of a sub-panel's rows must have to repay handing it
// to another thread.
constexpr double kPartWork = double(1 << 15);

}  // namespace

namespace {

Matrix factorise(const Matrix& a, bool checkSymmetric) {
    const std::int64_t n = a.rows;
    if (n <= 0) return initMatrix(n, n);

    // Symmetry, tile by tile: the mirror tile is copied transposed (read
    // along its rows) and compared row against row; only when some pair
    // differs is the first one searched in row order.
    bool symmetric = true;
    if (checkSymmetric) {
        constexpr std::int64_t kTile = 32;
        const double* const ad = a.data.data();
        const std::int64_t tileRows = (n + kTile - 1) / kTile;
        // Tile row t holds t + 1 tiles: parts take every parts-th one, so
        // that each gets about the same number.
        const std::int64_t parts = std::min(tileRows, partsFor(static_cast<double>(n) * n / 2, kPartWork * 4));
        std::atomic<bool> differs{false};
        parallelFor(parts, [&](std::int64_t part) {
            double mirror[kTile * kTile];
            for (std::int64_t t = part; t < tileRows && !differs.load(std::memory_order_relaxed); t += parts) {
                const std::int64_t i0 = t * kTile;
                for (std::int64_t j0 = 0; j0 <= i0; j0 += kTile) {
                    const std::int64_t i1 = std::min(n, i0 + kTile), j1 = std::min(n, j0 + kTile);
                    transposeInto(ad + j0 * n + i0, n, mirror, kTile, j1 - j0, i1 - i0);  // mirror[i][j] = a(j, i)
                    // The next mirror tile lies kTile rows further down the
                    // same columns: short runs a whole row apart, which the
                    // hardware prefetchers do not follow. Asked for now, it
                    // arrives while this tile is compared (3-5% of a
                    // factorisation of order 2000 on a Zen 5 core).
                    if (j0 + kTile <= i0)
                        for (std::int64_t r = j0 + kTile; r < std::min(n, j0 + 2 * kTile); ++r)
                            for (std::int64_t c = i0; c < i1; c += 8) __builtin_prefetch(ad + r * n + c);
                    int same = 1;
                    for (std::int64_t i = i0; i < i1; ++i) {
                        const double* row = ad + i * n;
                        const double* m = mirror + (i - i0) * kTile;
                        // No tolerance: a NaN never equals its mirror.
                        for (std::int64_t j = j0, last = std::min(j1, i); j < last; ++j) same &= (row[j] == m[j - j0]);
                    }
                    if (!same) {
                        differs.store(true, std::memory_order_relaxed);
                        return;
                    }
                }
            }
        });
        symmetric = !differs.load();
    }
    for (std::int64_t i = 1; i < n && !symmetric; ++i) {
        for (std::int64_t j = 0; j < i; ++j) {
            if (!(a(i, j) == a(j, i))) {
                const std::string si = std::to_string(i), sj = std::to_string(j);
                throw ValueError("cholesky: matrix is not symmetric (a[" + si + "," + sj + "] != a[" + sj +
                                 "," + si + "])");
            }
        }
    }

    // Blocked by panels of columns [j0, j1). Every entry is still a(i,j)
    // minus the products L(j,k)*L(i,k) subtracted one by one in increasing
    // k, then divided by (or, on the diagonal, square-rooted into) the
    // pivot: the products with k < j0 are subtracted for the whole panel as
    // one tiled product; the rest follow in sub-panels (below), each k
    // applied to all rows of a column at once (the rows are independent).
    Matrix L = initMatrix(n, n);
    double* l = L.data.data();
    const KernelSet& kern = activeKernels();
    const std::int64_t nbMax = std::min(kPanel, n);
    // Every element of these is written before it is read.
    const std::int64_t panelSize = static_cast<std::int64_t>(elementCount(n, nbMax));
    const Scratch wBuffer(ScratchSlot::Work0, panelSize), wtBuffer(ScratchSlot::Work1, panelSize),
        ltBuffer(ScratchSlot::Work2, panelSize);
    double* const w = wBuffer.data();    // the panel's running sums, row-major
    double* const wt = wtBuffer.data();  // the same transposed; then L's panel columns
    double* const lt = ltBuffer.data();  // L(j0..j1-1, 0..j0-1), transposed
    for (std::int64_t j0 = 0; j0 < n; j0 += kPanel) {
        const std::int64_t j1 = std::min(n, j0 + kPanel), nb = j1 - j0, rows = n - j0;
        {
            const std::int64_t parts = std::min((rows + 7) / 8, partsFor(static_cast<double>(rows) * nb, kPartWork));
            parallelFor(parts, [&](std::int64_t part) {
                std::int64_t begin = 0, end = 0;
                partRange(rows, 8, parts, part, begin, end);
                for (std::int64_t i = begin; i < end; ++i)
                    for (std::int64_t c = 0; c < nb; ++c) w[i * nb + c] = a(j0 + i, j0 + c);
            });
        }
        if (j0 > 0) {
            transposeInto(l + j0 * n, n, lt, nb, nb, j0);
            productSubtract(kern, l + j0 * n, n, lt, nb, w, nb, rows, j0, nb);
        }
        // Inside the panel, sub-panels of kSubPanel columns: the products
        // of the panel's earlier sub-panels as one tiled product, then those
        // of the sub-panel's own earlier columns, column by column. Each
        // entry still receives its products in increasing k.
        //
        // The sub-panel's diagonal block (rows s0 .. s1-1) goes first and
        // gives the pivots. The rows below need the pivots and nothing of
        // one another: parts of them, on any thread, take the tiled product,
        // then row i of column j the products of the sub-panel's earlier
        // columns in increasing k, then the division by column j's pivot.
        for (std::int64_t s0 = j0; s0 < j1; s0 += kSubPanel) {
            const std::int64_t s1 = std::min(j1, s0 + kSubPanel), sb = s1 - s0, srows = n - s0;
            double* const ws = w + (s0 - j0) * nb + (s0 - j0);  // rows s0.., columns s0..s1-1
            const std::int64_t p = s0 - j0;
            if (p > 0) transposeInto(l + s0 * n + j0, n, lt, sb, sb, p);
            // Rows [r0, r1) of the sub-panel (counted from s0): the tiled
            // product, then into wt, column c of the sub-panel at
            // wt[c * srows + (i - s0)] for row i.
            auto prepare = [&](std::int64_t r0, std::int64_t r1) {
                if (p > 0) productSubtract(kern, l + (s0 + r0) * n + j0, n, lt, sb, ws + r0 * nb, nb, r1 - r0, p, sb);
                transposeInto(ws + r0 * nb, nb, wt + r0, srows, r1 - r0, sb);
            };
            prepare(0, sb);
            for (std::int64_t j = s0; j < s1; ++j) {
                double* sj = wt + (j - s0) * srows;
                for (std::int64_t k = s0; k < j; ++k) {
                    const double* lk = wt + (k - s0) * srows;  // L(i, k)
                    kern.subtractScaled(sj + (j - s0), lk + (j - s0), lk[j - s0], s1 - j);  // L(j, k)
                }
                const double d = sj[j - s0];
                if (d <= 0.0)
                    throw ValueError("cholesky: matrix is not positive definite (pivot " + std::to_string(j) + ")");
                const double pivot = std::sqrt(d);
                sj[j - s0] = pivot;
                for (std::int64_t i = j + 1; i < s1; ++i) sj[i - s0] = sj[i - s0] / pivot;
            }
            // The diagonal block's triangle of L into l.
            for (std::int64_t i = s0; i < s1; ++i)
                for (std::int64_t j = s0; j <= i; ++j) l[i * n + j] = wt[(j - s0) * srows + (i - s0)];

            const std::int64_t below = n - s1;
            const double work = static_cast<double>(below) * sb * (static_cast<double>(p) + sb / 2.0 + 2.0);
            const std::int64_t parts = std::min<std::int64_t>((below + 7) / 8, partsFor(work, kPartWork));
            parallelFor(parts, [&](std::int64_t part) {
                std::int64_t begin = 0, end = 0;
                partRange(below, 8, parts, part, begin, end);
                if (end <= begin) return;
                const std::int64_t i0 = sb + begin, len = end - begin;  // offset in a column of wt
                prepare(i0, i0 + len);
                for (std::int64_t j = s0; j < s1; ++j) {
                    double* sj = wt + (j - s0) * srows;
                    for (std::int64_t k = s0; k < j; ++k) {
                        const double* lk = wt + (k - s0) * srows;
                        kern.subtractScaled(sj + i0, lk + i0, lk[j - s0], len);
                    }
                    const double pivot = sj[j - s0];
                    for (std::int64_t i = i0; i < i0 + len; ++i) sj[i] = sj[i] / pivot;
                }
                // These rows of the sub-panel's columns of L into l.
                transposeInto(wt + i0, srows, l + (s0 + i0) * n + s0, n, sb, len);
            });
        }
    }
    return L;
}

}  // namespace

Matrix cholesky(const Matrix& a) { return factorise(a, true); }

Matrix choleskyLower(const Matrix& a) { return factorise(a, false); }

}  // namespace corx_internal
