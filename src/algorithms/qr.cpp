// SPDX-License-Identifier: BSD-3-Clause
#include "algorithms/qr.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "kernels/kernel_set.h"
#include "runtime/memory.h"

namespace corx_internal {

namespace {

// Reflections found per panel, and columns per block when they are applied.
// Each block of columns is brought into cache once per panel: with 96
// reflections rather than 32 a QR with Q of 1000 x 1000 and of 2000 x 2000
// ran 5-8% and 5-9% faster on a Zen 3 core.
constexpr std::int64_t kPanel = 96;
constexpr std::int64_t kBlock = 64;

// Rows of r and of q transposed, as the reflections see them: in the
// result itself, or in a copy with a longer row stride. Each reflection
// walks a block of columns down its rows; rows a multiple of 2 KiB apart
// fall into a few cache sets, and at 4 KiB the walk ran six times slower
// (QR of 1024 x 1024: 462 ms against 74 ms for 1000 x 1000).
struct Rows {
    double* data;
    std::int64_t ld;
    std::vector<double> padded;  // empty when data is the result's own storage

    double& operator()(std::int64_t i, std::int64_t j) { return data[i * ld + j]; }
};

bool conflictingStride(std::int64_t cols) { return cols % 256 == 0; }

Rows rowsOf(Matrix& x) {
    if (!conflictingStride(x.cols)) return {x.data.data(), x.cols, {}};
    const std::int64_t ld = x.cols + 8;
    Rows r{nullptr, ld, std::vector<double>(elementCount(x.rows, ld))};
    r.data = r.padded.data();
    for (std::int64_t i = 0; i < x.rows; ++i)
        std::copy_n(&x(i, 0), x.cols, r.data + i * ld);
    return r;
}

}  // namespace

QrFactors qrDecompose(const Matrix& a) {
    const std::int64_t m = a.rows, n = a.cols;
    QrFactors out{identity(m), a};

    // A square matrix's last column needs no reflection.
    const std::int64_t steps = m > n ? n : m - 1;
    if (steps <= 0) return out;

    // q transposed: qt(j, i) = q(i, j). The identity is its own transpose.
    Rows r = rowsOf(out.r);
    Rows qt = rowsOf(out.q);
    const KernelSet& kern = activeKernels();

    // Every sum below starts from its first term (never from +0.0), so a
    // sum of negative zeros stays -0.0.
    //
    // Reflections are found in panels of kPanel columns. A reflection is
    // applied at once to the rest of its panel (the next reflection is
    // taken from there); the columns right of the panel and the columns of
    // qt then receive the panel's reflections block by block, in increasing
    // order, while the block stays in cache, the update by one reflection
    // sharing its pass over the rows with the next one's dot product. Every
    // column still sees every reflection in order, each as one dot product
    // and one update.
    struct Reflection {
        std::int64_t k;
        std::vector<double> v;
        double vv;
    };
    std::vector<Reflection> panel;
    for (std::int64_t k0 = 0; k0 < steps; k0 += kPanel) {
        const std::int64_t k1 = std::min(steps, k0 + kPanel);
        panel.clear();
        for (std::int64_t k = k0; k < k1; ++k) {
            const std::int64_t len = m - k;

            double sumSquares = r(k, k) * r(k, k);
            for (std::int64_t i = k + 1; i < m; ++i) {
                const double square = r(i, k) * r(i, k);
                sumSquares = sumSquares + square;
            }
            const double norm = std::sqrt(sumSquares);
            if (norm == 0.0) continue;

            std::vector<double> v(elementCount(len, 1), 0.0);
            for (std::int64_t t = 0; t < len; ++t) v[static_cast<std::size_t>(t)] = r(k + t, k);
            // Adding the norm with the sign of v[0] avoids cancellation; -0.0
            // counts as non-negative.
            if (v[0] < 0.0) {
                v[0] = v[0] - norm;
            } else {
                v[0] = v[0] + norm;
            }
            double vv = v[0] * v[0];
            for (std::int64_t t = 1; t < len; ++t) {
                const double square = v[static_cast<std::size_t>(t)] * v[static_cast<std::size_t>(t)];
                vv = vv + square;
            }
            if (vv == 0.0) continue;

            // r = (I - 2 v v^T / vv) r, every column c >= k on its own: here
            // the panel's columns, the others below.
            kern.reflectColumns(&r(k, k), r.ld, len, k1 - k, v.data(), vv);
            for (std::int64_t i = k + 1; i < m; ++i) r(i, k) = 0.0;
            panel.push_back({k, std::move(v), vv});
        }
        if (panel.empty()) continue;
        std::vector<kernels::PanelReflection> hs;
        hs.reserve(panel.size());
        for (const Reflection& h : panel) hs.push_back({h.k, h.v.data(), h.vv});
        const std::int64_t count = static_cast<std::int64_t>(hs.size());
        for (std::int64_t c0 = k1; c0 < n; c0 += kBlock)
            kern.reflectPanel(&r(0, c0), r.ld, m, std::min(kBlock, n - c0), hs.data(), count);
        // q = q (I - 2 v v^T / vv), every row of q on its own: q is kept
        // transposed, so these too are reflections of independent columns.
        for (std::int64_t c0 = 0; c0 < m; c0 += kBlock)
            kern.reflectPanel(&qt(0, c0), qt.ld, m, std::min(kBlock, m - c0), hs.data(), count);
    }
    if (!r.padded.empty())
        for (std::int64_t i = 0; i < m; ++i) std::copy_n(r.data + i * r.ld, n, &out.r(i, 0));
    // qt is square: transposed into q from the copy, or in place, tile by
    // tile, when it is q's own storage (no second matrix).
    Matrix& q = out.q;
    if (!qt.padded.empty()) {
        transposeInto(qt.data, qt.ld, q.data.data(), m, m, m);
    } else {
        constexpr std::int64_t kTile = 32;
        for (std::int64_t i0 = 0; i0 < m; i0 += kTile)
            for (std::int64_t j0 = i0; j0 < m; j0 += kTile) {
                const std::int64_t i1 = std::min(m, i0 + kTile), j1 = std::min(m, j0 + kTile);
                for (std::int64_t i = i0; i < i1; ++i)
                    for (std::int64_t j = std::max(j0, i + 1); j < j1; ++j) std::swap(q(i, j), q(j, i));
            }
    }
    return out;
}

}  // namespace corx_internal
