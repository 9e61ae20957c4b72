// SPDX-License-Identifier: BSD-3-Clause
// LU factorisation, determinant and LU solving with one refinement step.
// Properties are judged by scaled residual ratios; the refined solution is
// compared with the exact rational solution computed by GMP.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "algorithms/lu.h"
#include "algorithms/refine.h"
#include "runtime/errors.h"
#include "support/bits.h"
#include "support/reference_lu.h"

using corx_internal::Matrix;
using corx_test::bitsOf;
using corx_test::sameBits;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kEps = std::numeric_limits<double>::epsilon();

Matrix square(std::int64_t n, std::vector<double> values) { return corx_internal::matrix(n, n, values); }

Matrix randomMatrix(std::mt19937_64& rng, std::int64_t rows, std::int64_t cols, double lo = -1, double hi = 1) {
    Matrix m = corx_internal::initMatrix(rows, cols);
    std::uniform_real_distribution<double> d(lo, hi);
    for (double& v : m.data) v = d(rng);
    return m;
}

TEST(LuDecompose, WorkedFactorsAndDeterminants) {
    // Equal magnitudes keep the upper row.
    const corx_internal::LuFactors tie = corx_internal::luDecompose(square(2, {2, 1, -2, 3}));
    EXPECT_EQ(tie.factors.data, (std::vector<double>{2, 1, -1, 4}));
    EXPECT_EQ(tie.perm, (std::vector<std::int64_t>{0, 1}));
    EXPECT_EQ(tie.sign, 1);
    EXPECT_TRUE(sameBits(corx_internal::det(square(2, {2, 1, -2, 3})), 8.0));

    // Singular in exact arithmetic, not in doubles.
    const Matrix near = square(2, {0.1, 0.3, 0.3, 0.9});
    const corx_internal::LuFactors f = corx_internal::luDecompose(near);
    EXPECT_EQ(f.perm, (std::vector<std::int64_t>{1, 0}));
    EXPECT_EQ(f.sign, -1);
    EXPECT_TRUE(sameBits(f.factors(1, 1), -5.551115123125783e-17));
    EXPECT_TRUE(sameBits(corx_internal::det(near), 1.6653345369377347e-17));

    EXPECT_TRUE(sameBits(corx_internal::det(square(2, {0, 1, 1, 0})), -1.0));
    EXPECT_TRUE(sameBits(corx_internal::det(square(1, {-7.5})), -7.5));
    EXPECT_TRUE(sameBits(corx_internal::det(square(2, {1e-300, 0, 0, 1e-300})), 0.0));  // underflow, no error
    EXPECT_TRUE(sameBits(corx_internal::det(square(2, {-1e300, 0, 0, 1e300})), -kInf));
}

// Partial products that leave the range while the determinant does not: the
// pivots taken in turn, each multiplied in with one rounding, scaled once.
TEST(LuDecompose, DeterminantOfPivotsBeyondTheRange) {
    const auto diagonal = [](std::vector<double> d) {
        Matrix m = corx_internal::initMatrix(static_cast<std::int64_t>(d.size()), static_cast<std::int64_t>(d.size()));
        for (std::size_t i = 0; i < d.size(); ++i) m(static_cast<std::int64_t>(i), static_cast<std::int64_t>(i)) = d[i];
        return m;
    };
    EXPECT_NEAR(corx_internal::det(diagonal({1e200, 1e200, 1e-200, 1e-200})), 1.0, 4e-16);  // was +inf
    EXPECT_NEAR(corx_internal::det(diagonal({1e-200, 1e-200, 1e200, 1e200})), 1.0, 4e-16);  // was +0.0
    // A subnormal partial product lost bits the later pivots would restore.
    EXPECT_TRUE(sameBits(corx_internal::det(diagonal({0x1.0000000000001p0, 0x1p-1070, 0x1p1000})), 0x1.0000000000001p-70));
    // Powers of two: exact whatever the order, and beyond the range only at the end.
    EXPECT_TRUE(sameBits(corx_internal::det(diagonal({0x1p1000, 0x1p1000, 0x1p-1000, -0x1p-990})), -0x1p10));
    EXPECT_TRUE(sameBits(corx_internal::det(diagonal({0x1p600, 0x1p600, 0x1p-100})), kInf));
    EXPECT_TRUE(sameBits(corx_internal::det(diagonal({0x1p-600, 0x1p-600, 0x1p100})), 0.0));
    // Rows of widely spread magnitudes: the reference form, bit for bit.
    std::mt19937_64 spread(9);
    std::uniform_int_distribution<int> exponent(-700, 700);
    for (int trial = 0; trial < 200; ++trial) {
        Matrix a = randomMatrix(spread, 5, 5, -2, 2);
        for (std::int64_t i = 0; i < 5; ++i) {
            const int e = exponent(spread);
            for (std::int64_t j = 0; j < 5; ++j) a(i, j) = std::ldexp(a(i, j), e);
        }
        EXPECT_TRUE(sameBits(corx_internal::det(a), corx_test::referenceDeterminant(corx_test::referenceLuDecompose(a))));
    }
    // Where the plain product stays normal, its bits, whatever the magnitudes.
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 50; ++trial) {
        const Matrix a = randomMatrix(rng, 6, 6, -3, 3);
        const corx_internal::LuFactors f = corx_internal::luDecompose(a);
        volatile double plain = static_cast<double>(f.sign);
        for (std::int64_t i = 0; i < 6; ++i) plain = plain * f.factors(i, i);
        EXPECT_TRUE(sameBits(corx_internal::det(a), plain));
    }
    EXPECT_TRUE(sameBits(corx_internal::det(corx_internal::initMatrix(0, 0)), 1.0));
}

TEST(LuDecompose, SingularAndNaNColumns) {
    for (const Matrix& m : {square(1, {0.0}), square(1, {-0.0}), square(2, {1, 2, 1, 2}),
                            square(2, {0, 1, kNaN, 2}), square(3, {1, 0, 2, 3, 0, 4, 5, -0.0, 6})}) {
        try {
            corx_internal::luDecompose(m);
            ADD_FAILURE() << "no error raised";
        } catch (const corx_internal::ValueError& e) {
            EXPECT_EQ(e.message(), "luDecompose: singular matrix");
        }
        EXPECT_EQ(bitsOf(corx_internal::det(m)), bitsOf(0.0));  // positive zero
    }
    // A NaN on the diagonal stays the pivot: no error, a NaN determinant.
    EXPECT_TRUE(std::isnan(corx_internal::det(square(2, {kNaN, 1, 5, 2}))));
    EXPECT_EQ(corx_internal::luDecompose(square(2, {kNaN, 1, 5, 2})).perm, (std::vector<std::int64_t>{0, 1}));
}

// P*A = L*U with |multipliers| <= 1 and sign the parity of perm.
TEST(LuDecompose, RandomMatricesSatisfyPermutedFactorisation) {
    std::mt19937_64 rng(17);
    for (std::int64_t n : {1, 2, 3, 5, 8, 21}) {
        for (int trial = 0; trial < 8; ++trial) {
            const Matrix a = randomMatrix(rng, n, n, -4, 4);
            const corx_internal::LuFactors f = corx_internal::luDecompose(a);
            Matrix lower = corx_internal::identity(n), upper = corx_internal::initMatrix(n, n);
            for (std::int64_t i = 0; i < n; ++i)
                for (std::int64_t j = 0; j < n; ++j) (j < i ? lower : upper)(i, j) = f.factors(i, j);
            const Matrix lu = lower * upper;
            double worst = 0, normA = 0;
            std::vector<bool> seen(static_cast<std::size_t>(n), false);
            std::int64_t inversions = 0;
            for (std::int64_t i = 0; i < n; ++i) {
                const std::int64_t src = f.perm[static_cast<std::size_t>(i)];
                seen[static_cast<std::size_t>(src)] = true;
                for (std::int64_t k = i + 1; k < n; ++k) inversions += f.perm[static_cast<std::size_t>(k)] < src;
                for (std::int64_t j = 0; j < n; ++j) {
                    worst = std::max(worst, std::fabs(a(src, j) - lu(i, j)));
                    normA = std::max(normA, std::fabs(a(i, j)));
                    if (j < i) EXPECT_LE(std::fabs(f.factors(i, j)), 1.0);
                }
            }
            EXPECT_LT(worst / (static_cast<double>(n) * normA * kEps), 10.0) << n;
            EXPECT_EQ(std::count(seen.begin(), seen.end(), true), n);
            EXPECT_EQ(f.sign, inversions % 2 ? -1 : 1);
        }
    }
}

TEST(LuSolve, WorkedSolutions) {
    for (bool refine : {false, true})
        EXPECT_EQ(corx_internal::solve(square(1, {2}), std::vector<double>{1}, refine), (std::vector<double>{0.5}));
    const Matrix a = square(2, {3, 1, 1, 3});
    const std::vector<double> b = {1, 2};
    EXPECT_TRUE(sameBits(corx_internal::solve(a, b, false), {0.12499999999999996, 0.6250000000000001}));
    EXPECT_TRUE(sameBits(corx_internal::solve(a, b, true), {0.125, 0.625}));
    EXPECT_EQ(corx_internal::solve(square(2, {0, 1, 1, 0}), std::vector<double>{3, 4}, false), (std::vector<double>{4, 3}));
    EXPECT_THROW(corx_internal::solve(square(2, {0, 1, 0, 1}), b, true), corx_internal::ValueError);
    // A solution that satisfies every row exactly is left as it is.
    EXPECT_EQ(corx_internal::solve(square(2, {2, 0, 0, 4}), std::vector<double>{1, 1}, true), (std::vector<double>{0.5, 0.25}));
}

// Both substitutions subtract one product at a time in increasing column
// order: here that order keeps the 1 that (1 + 2^53) - 2^53 would lose, and
// yields the exact solution.
TEST(LuSolve, SubstitutionsSubtractInIncreasingColumnOrder) {
    const double big = 9007199254740992.0;  // 2^53
    EXPECT_EQ(corx_internal::solve(square(3, {1, 1, 1, 0, 1, 0, 0, 0, 1}), std::vector<double>{1, big, -big}, false),
              (std::vector<double>{1, big, -big}));
    EXPECT_EQ(corx_internal::solve(square(3, {1, 0, 0, 0, 1, 0, 1, 1, 1}), std::vector<double>{big, -big, 1}, false),
              (std::vector<double>{big, -big, 1}));
}

// The exact solution of a*x = b by rational Gaussian elimination.
std::vector<mpq_class> exactSolution(const Matrix& a, const std::vector<double>& b) {
    const std::size_t n = static_cast<std::size_t>(a.rows);
    std::vector<std::vector<mpq_class>> m(n, std::vector<mpq_class>(n + 1));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) m[i][j] = a(static_cast<std::int64_t>(i), static_cast<std::int64_t>(j));
        m[i][n] = b[i];
    }
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t p = k;
        while (m[p][k] == 0) ++p;
        std::swap(m[p], m[k]);
        for (std::size_t i = 0; i < n; ++i) {
            if (i == k) continue;
            const mpq_class factor = m[i][k] / m[k][k];
            for (std::size_t j = k; j <= n; ++j) m[i][j] -= factor * m[k][j];
        }
    }
    std::vector<mpq_class> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = m[i][n] / m[i][i];
    return x;
}

double maxError(const std::vector<double>& x, const std::vector<mpq_class>& exact) {
    double worst = 0;
    for (std::size_t i = 0; i < x.size(); ++i) worst = std::max(worst, std::fabs(mpq_class(mpq_class(x[i]) - exact[i]).get_d()));
    return worst;
}

// On well-conditioned systems one step on the exact residual never makes
// the solution worse by more than one rounding and brings it to within one
// unit of the exact solution; it strictly helps in a good share of cases.
TEST(Refinement, DoesNotWorsenWellConditionedSolutions) {
    std::mt19937_64 rng(23);
    int improved = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const std::int64_t n = 2 + trial % 6;
        Matrix a = randomMatrix(rng, n, n);
        for (std::int64_t i = 0; i < n; ++i) a(i, i) += static_cast<double>(n);  // diagonally dominant
        const Matrix bm = randomMatrix(rng, n, 1, -100, 100);
        const std::vector<mpq_class> exact = exactSolution(a, bm.data);
        double scale = 0;
        for (const mpq_class& v : exact) scale = std::max(scale, std::fabs(v.get_d()));
        const double e0 = maxError(corx_internal::solve(a, bm.data, false), exact);
        const double e1 = maxError(corx_internal::solve(a, bm.data, true), exact);
        EXPECT_LE(e1, e0 + kEps * scale);
        EXPECT_LE(e1, kEps * scale);
        improved += e1 < e0;
    }
    EXPECT_GT(improved, 100);
}

}  // namespace
