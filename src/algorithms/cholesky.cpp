// SPDX-License-Identifier: BSD-3-Clause
#include "algorithms/cholesky.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "kernels/product.h"
#include "kernels/kernel_set.h"
#include "runtime/errors.h"
#include "runtime/memory.h"
#include "runtime/scratch.h"

namespace corx_internal {

namespace {

// Columns per panel of the blocked factorisation, and per sub-panel inside
// a panel.
constexpr std::int64_t kPanel = 96;
constexpr std::int64_t kSubPanel = 24;

}  // namespace

Matrix cholesky(const Matrix& a) {
    const std::int64_t n = a.rows;
    if (n <= 0) return initMatrix(n, n);

    // Symmetry, tile by tile (the mirror of a tile is read along its rows);
    // only when some pair differs is the first one searched in row order.
    bool symmetric = true;
    constexpr std::int64_t kTile = 32;
    for (std::int64_t i0 = 0; i0 < n && symmetric; i0 += kTile)
        for (std::int64_t j0 = 0; j0 <= i0 && symmetric; j0 += kTile) {
            const std::int64_t i1 = std::min(n, i0 + kTile), j1 = std::min(n, j0 + kTile);
            bool same = true;
            for (std::int64_t j = j0; j < j1; ++j)
                for (std::int64_t i = std::max(i0, j + 1); i < i1; ++i) same &= (a(i, j) == a(j, i));
            symmetric = same;
        }
    for (std::int64_t i = 1; i < n && !symmetric; ++i) {
        for (std::int64_t j = 0; j < i; ++j) {
            // No tolerance: a NaN never equals its mirror.
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
        for (std::int64_t i = 0; i < rows; ++i)
            for (std::int64_t c = 0; c < nb; ++c) w[i * nb + c] = a(j0 + i, j0 + c);
        if (j0 > 0) {
            // Read along L's rows, written down lt's columns.
            for (std::int64_t c = 0; c < nb; ++c)
                for (std::int64_t k = 0; k < j0; ++k) lt[k * nb + c] = l[(j0 + c) * n + k];
            productSubtract(kern, l + j0 * n, n, lt, nb, w, nb, rows, j0, nb);
        }
        // Inside the panel, sub-panels of kSubPanel columns: the products
        // of the panel's earlier sub-panels as one tiled product, then those
        // of the sub-panel's own earlier columns, column by column. Each
        // entry still receives its products in increasing k.
        for (std::int64_t s0 = j0; s0 < j1; s0 += kSubPanel) {
            const std::int64_t s1 = std::min(j1, s0 + kSubPanel), sb = s1 - s0, srows = n - s0;
            double* const ws = w + (s0 - j0) * nb + (s0 - j0);  // rows s0.., columns s0..s1-1
            if (s0 > j0) {
                const std::int64_t p = s0 - j0;
                for (std::int64_t c = 0; c < sb; ++c)
                    for (std::int64_t k = 0; k < p; ++k) lt[k * sb + c] = l[(s0 + c) * n + j0 + k];
                productSubtract(kern, l + s0 * n + j0, n, lt, sb, ws, nb, srows, p, sb);
            }
            // Column c of the sub-panel: wt[c * srows + (i - s0)], row i.
            for (std::int64_t i = 0; i < srows; ++i)
                for (std::int64_t c = 0; c < sb; ++c) wt[c * srows + i] = ws[i * nb + c];
            for (std::int64_t j = s0; j < s1; ++j) {
                double* sj = wt + (j - s0) * srows;
                // Rows j .. n-1 (the diagonal included) receive the products
                // of the sub-panel's earlier columns, in increasing k.
                for (std::int64_t k = s0; k < j; ++k) {
                    const double* lk = wt + (k - s0) * srows;  // L(i, k)
                    kern.subtractScaled(sj + (j - s0), lk + (j - s0), lk[j - s0], n - j);  // L(j, k)
                }
                const double d = sj[j - s0];
                if (d <= 0.0)
                    throw ValueError("cholesky: matrix is not positive definite (pivot " + std::to_string(j) + ")");
                const double pivot = std::sqrt(d);
                sj[j - s0] = pivot;
                for (std::int64_t i = j + 1; i < n; ++i) sj[i - s0] = sj[i - s0] / pivot;
            }
            // The sub-panel's columns of L into l, row by row (a column at a
            // time would be n writes a row apart).
            for (std::int64_t i = s0; i < n; ++i) {
                const std::int64_t last = std::min(s1, i + 1);
                for (std::int64_t j = s0; j < last; ++j) l[i * n + j] = wt[(j - s0) * srows + (i - s0)];
            }
        }
    }
    return L;
}

}  // namespace corx_internal
