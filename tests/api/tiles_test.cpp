// SPDX-License-Identifier: BSD-3-Clause
// The tile steps through the shared library: a product, a Cholesky
// factorisation and a Cholesky solve assembled from tiles of random sizes
// must give the single call's bits, special values included, on shapes
// that cross the product's cache blocks and tiles and Cholesky's panels
// and sub-panels. The single solve itself against plain loops in its
// documented order.
#include <corx/corx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "support/bits.h"
#include "support/handle.h"
#include "support/random_operands.h"

using corx_test::Handle;
using corx_test::randomOperand;
using corx_test::sameBits;

namespace {

using Dense = std::vector<double>;

// Boundaries 0 = c0 < c1 < ... = n of pieces of 1 .. maxPiece.
std::vector<int32_t> randomCuts(std::mt19937_64& rng, int32_t n, int32_t maxPiece) {
    std::uniform_int_distribution<int32_t> piece(1, std::max(1, maxPiece));
    std::vector<int32_t> cuts = {0};
    while (cuts.back() < n) cuts.push_back(std::min(n, cuts.back() + piece(rng)));
    return cuts;
}

Dense block(const Dense& a, int32_t cols, int32_t r0, int32_t r1, int32_t c0, int32_t c1) {
    Dense out;
    for (int32_t i = r0; i < r1; ++i)
        for (int32_t j = c0; j < c1; ++j) out.push_back(a[static_cast<std::size_t>(i) * cols + j]);
    return out;
}

void place(Dense& a, int32_t cols, int32_t r0, int32_t c0, int32_t c1, const Dense& tile) {
    const int32_t w = c1 - c0;
    for (std::size_t k = 0; k < tile.size(); ++k)
        a[(r0 + k / w) * cols + c0 + k % w] = tile[k];
}

Dense transposed(const Dense& a, int32_t rows, int32_t cols) {
    Dense t(a.size());
    for (int32_t i = 0; i < rows; ++i)
        for (int32_t j = 0; j < cols; ++j) t[static_cast<std::size_t>(j) * rows + i] = a[static_cast<std::size_t>(i) * cols + j];
    return t;
}

// Takes over a new handle from a step; ASSERTs it is not NULL.
Dense taken(CorxMatrix h) {
    EXPECT_NE(h, nullptr);
    Handle owner(h);
    return owner.data();
}

TEST(TileSteps, ProductChainedOverTilesOfKIsTheProduct) {
    std::mt19937_64 rng(71);
    // Around the 512-deep cache blocks of k, the 96-row blocks, the width
    // from which rows are packed (256) and the micro-tiles.
    const std::vector<int32_t> sizes = {1, 3, 7, 25, 97, 255, 256, 513, 600};
    for (int round = 0; round < 24; ++round) {
        std::uniform_int_distribution<std::size_t> pick(0, sizes.size() - 1);
        // Every eighth result is wider than the product's 3072-column blocks.
        const int32_t m = sizes[pick(rng)], p = sizes[pick(rng)],
                      n = round % 8 == 7 ? 3100 : round % 3 ? sizes[pick(rng)] % 130 + 1 : 300;
        const Dense a = randomOperand(rng, int64_t{m} * p, 0.02), b = randomOperand(rng, int64_t{p} * n, 0.02);
        Handle ha(m, p, a), hb(p, n, b);
        const Dense want = taken(corx_matrix_mul(ha.h, hb.h));
        Dense acc(static_cast<std::size_t>(m) * n, 0.0);
        const auto cuts = randomCuts(rng, p, round % 2 ? p : 97);
        for (std::size_t t = 0; t + 1 < cuts.size(); ++t) {
            Handle c(m, n, acc), at(m, cuts[t + 1] - cuts[t], block(a, p, 0, m, cuts[t], cuts[t + 1])),
                bt(cuts[t + 1] - cuts[t], n, block(b, n, cuts[t], cuts[t + 1], 0, n));
            acc = taken(corx_matrix_mul_add(c.h, at.h, bt.h));
        }
        ASSERT_TRUE(sameBits(acc, want)) << m << "x" << p << "x" << n << " in " << cuts.size() - 1 << " tiles";
    }
    // A chain that starts with -0.0 * 1: +0.0 + -0.0 is +0.0 in both.
    Handle z(1, 1, {0.0}), a(1, 1, {-0.0}), one(1, 1, {1.0});
    EXPECT_TRUE(sameBits(taken(corx_matrix_mul_add(z.h, a.h, one.h)), taken(corx_matrix_mul(a.h, one.h))));
}

// A symmetric matrix, positive definite unless specials break it: G*G^T/n
// plus a diagonal, with G's specials mirrored. NaN never sits off the
// diagonal (the single call would refuse it as not symmetric before any
// arithmetic, which the tiled caller tests itself).
Dense symmetric(std::mt19937_64& rng, int32_t n, double rate) {
    Dense g = randomOperand(rng, int64_t{n} * n, rate);
    Dense a(static_cast<std::size_t>(n) * n);
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j <= i; ++j) {
            double s = 0.0;
            for (int32_t k = 0; k < n; ++k) s += g[i * n + k] * g[j * n + k];
            s = s / n + (i == j ? 1.0 : 0.0);
            if (i != j && std::isnan(s)) s = INFINITY;
            a[i * n + j] = a[j * n + i] = s;
        }
    return a;
}

// The factor tile by tile: for each tile (I, J) at or below the diagonal,
// the updates of the column tiles K < J in increasing order, then the
// diagonal tile's factor or the solve against it. Empty when a pivot fails.
Dense tiledCholesky(const Dense& a, int32_t n, const std::vector<int32_t>& cuts) {
    const std::size_t t = cuts.size() - 1;
    std::vector<std::vector<Dense>> l(t, std::vector<Dense>(t));
    auto rows = [&](std::size_t i) { return cuts[i + 1] - cuts[i]; };
    for (std::size_t j = 0; j < t; ++j)
        for (std::size_t i = j; i < t; ++i) {
            Dense c = block(a, n, cuts[i], cuts[i + 1], cuts[j], cuts[j + 1]);
            for (std::size_t k = 0; k < j; ++k) {
                Handle hc(rows(i), rows(j), c), li(rows(i), rows(k), l[i][k]), lj(rows(j), rows(k), l[j][k]);
                c = taken(corx_matrix_mul_sub_t(hc.h, li.h, lj.h));
            }
            Handle hc(rows(i), rows(j), c);
            if (i == j) {
                Handle f(corx_matrix_cholesky_lower(hc.h));
                if (f.h == nullptr) return {};
                l[j][j] = f.data();
            } else {
                Handle d(rows(j), rows(j), l[j][j]);
                l[i][j] = taken(corx_matrix_cholesky_below(hc.h, d.h));
            }
        }
    Dense out(static_cast<std::size_t>(n) * n, 0.0);
    for (std::size_t j = 0; j < t; ++j)
        for (std::size_t i = j; i < t; ++i) place(out, n, cuts[i], cuts[j], cuts[j + 1], l[i][j]);
    return out;
}

TEST(TileSteps, TiledCholeskyIsTheSingleFactorisation) {
    std::mt19937_64 rng(72);
    // Across the 16-column sub-panels, the 48-column panels, the product's
    // tiles and its packing of rows (tiles of 256 columns and more);
    // tilings from one element wide to the whole matrix.
    const std::vector<int32_t> sizes = {1, 2, 15, 16, 17, 47, 49, 96, 131, 300};
    int failures = 0;
    for (int round = 0; round < 40; ++round) {
        // Each size once per kind: plain, specials mixed in, a pivot that
        // fails half-way, NaN on the last pivot.
        const int32_t n = sizes[static_cast<std::size_t>(round) % sizes.size()];
        const int kind = round / 10;
        Dense a = symmetric(rng, n, kind == 1 ? 0.002 : 0.0);
        if (kind == 2) a[(n / 2) * n + n / 2] = -a[(n / 2) * n + n / 2];
        if (kind == 3) a[(n - 1) * n + n - 1] = std::numeric_limits<double>::quiet_NaN();
        Handle ha(n, n, a);
        Handle single(corx_matrix_cholesky(ha.h));
        const auto cuts = randomCuts(rng, n, round % 3 == 0 ? 8 : round % 3 == 1 ? 40 : n);
        const Dense tiled = tiledCholesky(a, n, cuts);
        ASSERT_EQ(single.h == nullptr, tiled.empty()) << "n " << n << " round " << round;
        if (single.h == nullptr) {
            ++failures;
            continue;
        }
        ASSERT_TRUE(sameBits(tiled, single.data())) << "n " << n << " round " << round;
    }
    EXPECT_GT(failures, 0);  // the failing pivots were met through the tiles too
    EXPECT_LT(failures, 40);
}

// Forward substitution y(i) = (b(i) - sum_{k<i} L(i,k) y(k)) / L(i,i) with k
// increasing, back x(i) = (y(i) - sum_{k>i} L(k,i) x(k)) / L(i,i) with k
// decreasing, per column: the order the header documents.
Dense plainSolve(const Dense& l, int32_t n, const Dense& b, int32_t nrhs) {
    Dense x = b;
    for (int32_t c = 0; c < nrhs; ++c) {
        for (int32_t i = 0; i < n; ++i) {
            double v = x[i * nrhs + c];
            for (int32_t k = 0; k < i; ++k) {
                const double p = l[i * n + k] * x[k * nrhs + c];
                v = v - p;
            }
            x[i * nrhs + c] = v / l[i * n + i];
        }
        for (int32_t i = n - 1; i >= 0; --i) {
            double v = x[i * nrhs + c];
            for (int32_t k = n - 1; k > i; --k) {
                const double p = l[k * n + i] * x[k * nrhs + c];
                v = v - p;
            }
            x[i * nrhs + c] = v / l[i * n + i];
        }
    }
    return x;
}

// The panel solve of the tiled factorisation applied to the rows of bt
// (rhs x n): tile (R, J) takes the updates of the tiles K < J, then the
// solve against the diagonal tile J of l.
Dense tiledForward(const Dense& bt, int32_t rhs, const Dense& l, int32_t n, const std::vector<int32_t>& rcuts,
                   const std::vector<int32_t>& cuts) {
    Dense y = bt;
    for (std::size_t r = 0; r + 1 < rcuts.size(); ++r) {
        const int32_t h = rcuts[r + 1] - rcuts[r];
        for (std::size_t j = 0; j + 1 < cuts.size(); ++j) {
            const int32_t w = cuts[j + 1] - cuts[j];
            Dense c = block(y, n, rcuts[r], rcuts[r + 1], cuts[j], cuts[j + 1]);
            for (std::size_t k = 0; k < j; ++k) {
                const int32_t d = cuts[k + 1] - cuts[k];
                Handle hc(h, w, c), yk(h, d, block(y, n, rcuts[r], rcuts[r + 1], cuts[k], cuts[k + 1])),
                    ljk(w, d, block(l, n, cuts[j], cuts[j + 1], cuts[k], cuts[k + 1]));
                c = taken(corx_matrix_mul_sub_t(hc.h, yk.h, ljk.h));
            }
            Handle hc(h, w, c), ljj(w, w, block(l, n, cuts[j], cuts[j + 1], cuts[j], cuts[j + 1]));
            place(y, n, rcuts[r], cuts[j], cuts[j + 1], taken(corx_matrix_cholesky_below(hc.h, ljj.h)));
        }
    }
    (void)rhs;
    return y;
}

TEST(TileSteps, TiledCholeskySolveIsTheSingleSolve) {
    std::mt19937_64 rng(73);
    const std::vector<int32_t> sizes = {1, 5, 16, 48, 49, 97, 150};
    for (int round = 0; round < 21; ++round) {
        const int32_t n = sizes[static_cast<std::size_t>(round) % sizes.size()], nrhs = 1 + round % 4 * 3;
        const Dense a = symmetric(rng, n, 0.0);
        const Dense b = randomOperand(rng, int64_t{n} * nrhs, 0.05);
        Handle ha(n, n, a);
        const Dense l = taken(corx_matrix_cholesky(ha.h));
        Dense x(b.size(), -1.0);
        ASSERT_EQ(corx_matrix_cholesky_solve(ha.h, b.data(), static_cast<int64_t>(b.size()), nrhs, x.data(),
                                             static_cast<int64_t>(x.size())),
                  n);
        ASSERT_TRUE(sameBits(x, plainSolve(l, n, b, nrhs))) << "n " << n;

        // Tiled: forward on b^T, then the back substitution as a forward one
        // on the reversed unknowns with l transposed and turned half a turn.
        const auto cuts = randomCuts(rng, n, round % 2 ? 20 : n), rcuts = randomCuts(rng, nrhs, 2);
        Dense y = tiledForward(transposed(b, n, nrhs), nrhs, l, n, rcuts, cuts);
        Dense m(l.size());
        for (int32_t i = 0; i < n; ++i)
            for (int32_t k = 0; k < n; ++k) m[i * n + k] = l[(n - 1 - k) * n + (n - 1 - i)];
        for (int32_t c = 0; c < nrhs; ++c) std::reverse(y.begin() + c * n, y.begin() + (c + 1) * n);
        std::vector<int32_t> back;
        for (auto it = cuts.rbegin(); it != cuts.rend(); ++it) back.push_back(n - *it);
        Dense z = tiledForward(y, nrhs, m, n, rcuts, back);
        for (int32_t c = 0; c < nrhs; ++c) std::reverse(z.begin() + c * n, z.begin() + (c + 1) * n);
        ASSERT_TRUE(sameBits(transposed(z, nrhs, n), x)) << "n " << n << " in " << cuts.size() - 1 << " tiles";
    }
}

TEST(TileSteps, FailuresInTheirOrderAndNothingWritten) {
    Handle sq(2, 2, {4, 1, 1, 3}), wide(2, 3, {1, 2, 3, 4, 5, 6}), col(2, 1, {1, 2});
    EXPECT_EQ(corx_matrix_mul_add(nullptr, sq.h, sq.h), nullptr);
    EXPECT_EQ(corx_matrix_mul_add(sq.h, sq.h, wide.h), nullptr);  // c is not 2x3
    EXPECT_EQ(corx_matrix_mul_sub_t(sq.h, sq.h, nullptr), nullptr);
    EXPECT_EQ(corx_matrix_mul_sub_t(sq.h, sq.h, wide.h), nullptr);  // columns differ
    EXPECT_EQ(corx_matrix_cholesky_lower(nullptr), nullptr);
    EXPECT_EQ(corx_matrix_cholesky_lower(wide.h), nullptr);
    EXPECT_EQ(corx_matrix_cholesky_below(col.h, nullptr), nullptr);
    EXPECT_EQ(corx_matrix_cholesky_below(wide.h, sq.h), nullptr);  // 3 columns against order 2
    EXPECT_EQ(corx_matrix_cholesky_below(sq.h, wide.h), nullptr);   // l not square
    Handle upperJunk(2, 2, {4, NAN, 1, 3});  // only the lower triangle is read
    EXPECT_TRUE(sameBits(taken(corx_matrix_cholesky_lower(upperJunk.h)), taken(corx_matrix_cholesky_lower(sq.h))));

    const double b[2] = {1, 2};
    double x[2] = {-7, -7};
    EXPECT_EQ(corx_matrix_cholesky_solve(sq.h, nullptr, 2, 1, x, 2), -CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_cholesky_solve(wide.h, b, 2, 1, nullptr, 2), -CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_cholesky_solve(wide.h, b, 2, 1, x, 1), -CORX_SHAPE_MISMATCH);
    EXPECT_EQ(corx_matrix_cholesky_solve(sq.h, b, 2, 0, x, 2), -CORX_SHAPE_MISMATCH);
    EXPECT_EQ(corx_matrix_cholesky_solve(sq.h, b, 2, 1, x, 1), -CORX_BUFFER_TOO_SMALL);
    Handle notSym(2, 2, {4, 1, 1.5, 3}), notPd(2, 2, {1, 2, 2, 1});
    EXPECT_EQ(corx_matrix_cholesky_solve(notSym.h, b, 2, 1, x, 2), -CORX_NOT_SPD);
    EXPECT_EQ(corx_matrix_cholesky_solve(notPd.h, b, 2, 1, x, 2), -CORX_NOT_SPD);
    EXPECT_TRUE(sameBits(Dense(x, x + 2), Dense{-7, -7}));
    EXPECT_TRUE(sameBits(sq.data(), {4, 1, 1, 3}));  // operands unchanged
}

}  // namespace
