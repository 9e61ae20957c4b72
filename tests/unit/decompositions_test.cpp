// SPDX-License-Identifier: BSD-3-Clause
// Cholesky, QR and SVD: the worked factors bit for bit, the failures of
// Cholesky with their messages, and on random matrices of several shapes
// the defining identities, judged by residual / (n * norm * eps).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "algorithms/cholesky.h"
#include "algorithms/qr.h"
#include "algorithms/scaling.h"
#include "algorithms/svd.h"
#include "runtime/errors.h"
#include "support/bits.h"

using corx_internal::Matrix;
using corx_test::sameBits;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kEps = std::numeric_limits<double>::epsilon();

Matrix mat(std::int64_t rows, std::int64_t cols, std::vector<double> values) {
    return corx_internal::matrix(rows, cols, values);
}

Matrix randomMatrix(std::mt19937_64& rng, std::int64_t rows, std::int64_t cols) {
    Matrix m = corx_internal::initMatrix(rows, cols);
    std::uniform_real_distribution<double> d(-1, 1);
    for (double& v : m.data) v = d(rng);
    return m;
}

double maxAbs(const Matrix& m) {
    double r = 0;
    for (double v : m.data) r = std::max(r, std::fabs(v));
    return r;
}

// max |a - b| / (n * max(|a|, tiny) * eps): the LAPACK-style test ratio.
double ratio(const Matrix& a, const Matrix& b, std::int64_t n) {
    return maxAbs(a - b) / (static_cast<double>(n) * std::max(maxAbs(a), 1e-300) * kEps);
}

std::string choleskyError(const Matrix& a) {
    try {
        corx_internal::cholesky(a);
    } catch (const corx_internal::ValueError& e) {
        return e.message();
    }
    return "no error";
}

TEST(Cholesky, WorkedFactorsAndFailures) {
    EXPECT_EQ(corx_internal::cholesky(mat(1, 1, {4})).data, (std::vector<double>{2}));
    EXPECT_EQ(corx_internal::cholesky(mat(2, 2, {4, 2, 2, 5})).data, (std::vector<double>{2, 0, 1, 2}));
    EXPECT_TRUE(std::isnan(corx_internal::cholesky(mat(1, 1, {kNaN})).data[0]));

    const std::string pivot = "cholesky: matrix is not positive definite (pivot ";
    EXPECT_EQ(choleskyError(mat(1, 1, {0})), pivot + "0)");
    EXPECT_EQ(choleskyError(mat(1, 1, {-1})), pivot + "0)");
    EXPECT_EQ(choleskyError(mat(2, 2, {1, 2, 2, 1})), pivot + "1)");
    EXPECT_EQ(choleskyError(mat(2, 2, {1, 1, 1, 1})), pivot + "1)");  // last pivot exactly 0
    EXPECT_EQ(choleskyError(mat(2, 2, {4, 1, 2, 3})), "cholesky: matrix is not symmetric (a[1,0] != a[0,1])");
    EXPECT_EQ(choleskyError(mat(3, 3, {4, 1, 1, 1, -5, 2, 1, 3, 6})),  // tested before any pivot
              "cholesky: matrix is not symmetric (a[2,1] != a[1,2])");
    EXPECT_EQ(choleskyError(mat(2, 2, {4, 1, std::nextafter(1.0, 2.0), 3})),
              "cholesky: matrix is not symmetric (a[1,0] != a[0,1])");
    EXPECT_EQ(choleskyError(mat(2, 2, {4, kNaN, kNaN, 3})), "cholesky: matrix is not symmetric (a[1,0] != a[0,1])");
    EXPECT_EQ(corx_internal::cholesky(corx_internal::initMatrix(0, 0)).data.size(), 0u);
}

TEST(Cholesky, RandomSpdMatricesFactorExactly) {
    std::mt19937_64 rng(31);
    for (std::int64_t n : {1, 2, 3, 6, 12, 25}) {
        const Matrix b = randomMatrix(rng, n, n);
        Matrix a = corx_internal::transpose(b) * b;  // exactly symmetric: same products, same order
        for (std::int64_t i = 0; i < n; ++i) a(i, i) += 0.1;
        const Matrix l = corx_internal::cholesky(a);
        EXPECT_LT(ratio(a, l * corx_internal::transpose(l), n), 10.0) << n;
        for (std::int64_t i = 0; i < n; ++i) {
            EXPECT_GT(l(i, i), 0.0);
            for (std::int64_t j = i + 1; j < n; ++j) EXPECT_TRUE(sameBits(l(i, j), 0.0));
        }
    }
}

TEST(Qr, WorkedFactors) {
    corx_internal::QrFactors f = corx_internal::qrDecompose(mat(2, 2, {3, 1, 4, 2}));
    EXPECT_TRUE(sameBits(f.q.data, {-0.6000000000000001, -0.8, -0.8, 0.6}));
    EXPECT_TRUE(sameBits(f.r.data, {-5.0, -2.2, 0.0, 0.3999999999999999}));

    f = corx_internal::qrDecompose(mat(2, 1, {1, 1}));
    EXPECT_TRUE(sameBits(f.r.data, {-1.414213562373095, 0.0}));
    EXPECT_TRUE(sameBits(f.q.data, {-0.7071067811865472, -0.7071067811865475, -0.7071067811865475, 0.7071067811865475}));

    f = corx_internal::qrDecompose(mat(1, 1, {-3}));  // no reflection
    EXPECT_TRUE(sameBits(f.q.data, {1}) && sameBits(f.r.data, {-3}));

    // Zero columns are not reflected.
    f = corx_internal::qrDecompose(corx_internal::initMatrix(3, 2));
    EXPECT_TRUE(sameBits(f.q.data, corx_internal::identity(3).data));
    EXPECT_TRUE(sameBits(f.r.data, corx_internal::initMatrix(3, 2).data));
    // A column whose squares underflow is: like [[1], [1]], R scaled.
    f = corx_internal::qrDecompose(mat(2, 1, {0x1p-700, 0x1p-700}));
    EXPECT_TRUE(sameBits(f.r.data, {-1.414213562373095 * 0x1p-700, 0.0}));
    EXPECT_TRUE(sameBits(f.q.data, {-0.7071067811865472, -0.7071067811865475, -0.7071067811865475, 0.7071067811865475}));

    // Every sum starts from its first term: a column of -0.0 gives dot = -0.0.
    f = corx_internal::qrDecompose(mat(2, 2, {3, -0.0, 4, -0.0}));
    EXPECT_TRUE(sameBits(f.r.data, {-5.0, 0.0, 0.0, 0.0}));
}

TEST(Qr, RandomMatricesAreOrthogonalTimesUpper) {
    std::mt19937_64 rng(41);
    for (auto [m, n] : std::vector<std::pair<std::int64_t, std::int64_t>>{{1, 1}, {2, 2}, {3, 2}, {5, 5}, {9, 3}, {16, 16}, {20, 1}}) {
        Matrix a = randomMatrix(rng, m, n);
        if (n >= 3) {  // rank deficient: a repeated column
            for (std::int64_t i = 0; i < m; ++i) a(i, 2) = a(i, 0);
        }
        const corx_internal::QrFactors f = corx_internal::qrDecompose(a);
        ASSERT_EQ(f.q.rows, m);
        ASSERT_EQ(f.q.cols, m);
        EXPECT_LT(ratio(corx_internal::identity(m), corx_internal::transpose(f.q) * f.q, m), 10.0) << m << "x" << n;
        EXPECT_LT(ratio(a, f.q * f.r, m), 10.0) << m << "x" << n;
        for (std::int64_t i = 0; i < m; ++i)
            for (std::int64_t j = 0; j < std::min(i, n); ++j) EXPECT_TRUE(sameBits(f.r(i, j), 0.0));
    }
}

TEST(Svd, WorkedFactors) {
    corx_internal::SvdFactors f = corx_internal::svdDecompose(mat(2, 2, {3, 0, 4, 5}), 60, 1e-12);
    EXPECT_TRUE(sameBits(f.s, {6.708203932499369, 2.2360679774997894}));
    EXPECT_TRUE(sameBits(f.u.data, {0.3162277660168379, 0.9486832980505139, 0.9486832980505138, -0.31622776601683794}));
    EXPECT_TRUE(sameBits(f.v.data, {0.7071067811865475, 0.7071067811865475, 0.7071067811865475, -0.7071067811865475}));
    // It converges in the first sweep: the second rotates nothing.
    EXPECT_TRUE(sameBits(corx_internal::svdDecompose(mat(2, 2, {3, 0, 4, 5}), 1, 1e-12).u.data, f.u.data));

    // Without sweeps: column norms only, the tie keeps its order.
    f = corx_internal::svdDecompose(mat(2, 2, {3, 0, 4, 5}), 0, 1e-12);
    EXPECT_TRUE(sameBits(f.s, {5, 5}) && sameBits(f.v.data, {1, 0, 0, 1}));

    f = corx_internal::svdDecompose(mat(2, 2, {1, 0, 0, 3}), 60, 1e-12);  // no rotation; the sort swaps
    EXPECT_TRUE(sameBits(f.s, {3, 1}) && sameBits(f.u.data, {0, 1, 1, 0}) && sameBits(f.v.data, {0, 1, 1, 0}));

    f = corx_internal::svdDecompose(mat(2, 1, {3, 4}), 60, 1e-12);
    EXPECT_TRUE(sameBits(f.s, {5}) && sameBits(f.u.data, {0.6, 0.8}) && sameBits(f.v.data, {1}));
    f = corx_internal::svdDecompose(mat(2, 1, {0, 0}), 60, 1e-12);
    EXPECT_TRUE(sameBits(f.s, {0}) && sameBits(f.u.data, {0, 0}) && sameBits(f.v.data, {1}));

    // Zero columns count as orthogonal (0 >= 0): no rotation, no 0/0.
    f = corx_internal::svdDecompose(corx_internal::initMatrix(3, 2), 60, 1e-12);
    EXPECT_TRUE(sameBits(f.s, {0, 0}) && sameBits(f.u.data, corx_internal::initMatrix(3, 2).data) &&
                sameBits(f.v.data, {1, 0, 0, 1}));

    f = corx_internal::svdDecompose(mat(3, 2, {1, 2, 2, 4, 3, 6}), 60, 1e-12);  // rank 1
    EXPECT_TRUE(sameBits(f.s, {8.366600265340756, 0.0}));
    EXPECT_TRUE(f.u(0, 1) == 0.0 && f.u(1, 1) == 0.0 && f.u(2, 1) == 0.0);

    f = corx_internal::svdDecompose(corx_internal::identity(3), 60, 1e-12);
    EXPECT_TRUE(sameBits(f.s, {1, 1, 1}) && sameBits(f.u.data, corx_internal::identity(3).data) &&
                sameBits(f.v.data, corx_internal::identity(3).data));

    // A NaN singular value is never chosen by the sort nor moved from its place.
    f = corx_internal::svdDecompose(mat(1, 1, {kNaN}), 60, 1e-12);
    EXPECT_TRUE(std::isnan(f.s[0]));
}

TEST(Svd, RandomMatricesFactorWithOrthonormalColumns) {
    std::mt19937_64 rng(43);
    for (auto [m, n] : std::vector<std::pair<std::int64_t, std::int64_t>>{{1, 1}, {3, 1}, {2, 2}, {4, 3}, {6, 6}, {12, 5}, {15, 15}}) {
        Matrix a = randomMatrix(rng, m, n);
        if (n >= 3) {  // rank deficient: a repeated column
            for (std::int64_t i = 0; i < m; ++i) a(i, 1) = a(i, 2);
        }
        const corx_internal::SvdFactors f = corx_internal::svdDecompose(a, 60, 1e-12);
        Matrix us = f.u;
        for (std::int64_t i = 0; i < m; ++i)
            for (std::int64_t j = 0; j < n; ++j) us(i, j) = us(i, j) * f.s[static_cast<std::size_t>(j)];
        EXPECT_LT(ratio(a, us * corx_internal::transpose(f.v), m), 10.0) << m << "x" << n;
        EXPECT_LT(ratio(corx_internal::identity(n), corx_internal::transpose(f.v) * f.v, n), 10.0);

        // Columns of U with a positive singular value are orthonormal; the
        // stopping rule leaves them orthogonal within the tolerance 1e-12.
        const Matrix utu = corx_internal::transpose(f.u) * f.u;
        for (std::int64_t i = 0; i < n; ++i) {
            const double si = f.s[static_cast<std::size_t>(i)];
            EXPECT_GE(si, 0.0);
            if (i > 0) EXPECT_LE(si, f.s[static_cast<std::size_t>(i - 1)]);
            if (si > 0.0) EXPECT_LT(std::fabs(utu(i, i) - 1.0), 10 * m * kEps);
            for (std::int64_t j = 0; j < i; ++j)
                if (si > 0.0 && f.s[static_cast<std::size_t>(j)] > 0.0) EXPECT_LT(std::fabs(utu(i, j)), 2e-12);
        }
    }
}

// The decompositions scale by powers of two with one rounding at most, as
// the C library's ldexp does, over the whole range of both (subnormal
// results, results that overflow, shifts beyond one exponent range).
TEST(Scaling, PowersOfTwoRoundOnceLikeLdexp) {
    std::mt19937_64 rng(7);
    std::vector<double> values = corx_test::specialValues();
    for (double x : {0x1.fffffffffffffp-1, 0x1.8p-1074, 0x1.0000000000001p-1022, 0x1.3p-1060, 0x1p1023})
        values.push_back(x);
    std::uniform_real_distribution<double> unit(-1, 1);
    for (int i = 0; i < 200; ++i) values.push_back(std::ldexp(unit(rng), static_cast<int>(rng() % 2098) - 1074));
    for (double x : values)
        for (int e : {-2200, -2149, -2148, -2100, -1200, -1075, -1074, -1073, -1023, -1022, -600, -53, -1, 0, 1, 600,
                      1022, 1023, 1024, 1100, 2046, 2100, 2200}) {
            ASSERT_TRUE(sameBits(corx_internal::scaleByPowerOfTwo(x, e), std::ldexp(x, e))) << x << " * 2^" << e;
        }
}

// x * 2^k for every element, or nothing when one of them would overflow or
// leave the normal range (zeros stay zeros).
bool scaledExactly(const std::vector<double>& x, int k, std::vector<double>& out) {
    out.resize(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        out[i] = std::ldexp(x[i], k);
        if (x[i] != 0.0 && !(std::fabs(out[i]) >= std::numeric_limits<double>::min() &&
                             std::fabs(out[i]) <= std::numeric_limits<double>::max()))
            return false;
    }
    return true;
}

// On the worked inputs above, the 3 x 2 matrix whose multiples by 1e-170,
// 1e-160 and 1e200 once gave wrong factors, and random matrices (rank
// deficient from 3 columns on): scaling A by 2^k keeps Q, U and V and
// scales R and S by 2^k, bit for bit, at every k where that is exact.
TEST(Decompositions, ScalingByPowersOfTwoScalesROrSOnly) {
    std::vector<Matrix> inputs = {mat(2, 2, {3, 1, 4, 2}), mat(2, 1, {1, 1}),      mat(2, 2, {3, 0, 4, 5}),
                                  mat(2, 2, {1, 0, 0, 3}), mat(3, 2, {1, 2, 2, 4, 3, 6}), corx_internal::identity(3),
                                  mat(3, 2, {3, 1, 1, 2, 0.5, 4})};
    std::mt19937_64 rng(41);
    for (auto [m, n] : std::vector<std::pair<std::int64_t, std::int64_t>>{
             {3, 2}, {4, 3}, {5, 5}, {9, 3}, {12, 5}, {15, 15}, {16, 16}, {20, 1}}) {
        inputs.push_back(randomMatrix(rng, m, n));
        if (n >= 3)
            for (std::int64_t i = 0; i < m; ++i) inputs.back()(i, 2) = inputs.back()(i, 0);
    }
    for (const Matrix& a : inputs) {
        const corx_internal::QrFactors qr = corx_internal::qrDecompose(a);
        const corx_internal::SvdFactors svd = corx_internal::svdDecompose(a, 60, 1e-12);
        int checked = 0;
        for (int k = -1000; k <= 1000; ++k) {
            Matrix scaled = a;
            std::vector<double> r, s;
            if (!scaledExactly(a.data, k, scaled.data) || !scaledExactly(qr.r.data, k, r) ||
                !scaledExactly(svd.s, k, s))
                continue;
            const corx_internal::QrFactors f = corx_internal::qrDecompose(scaled);
            ASSERT_TRUE(sameBits(f.q.data, qr.q.data) && sameBits(f.r.data, r))
                << "QR " << a.rows << "x" << a.cols << " scaled by 2^" << k;
            const corx_internal::SvdFactors g = corx_internal::svdDecompose(scaled, 60, 1e-12);
            ASSERT_TRUE(sameBits(g.s, s) && sameBits(g.u.data, svd.u.data) && sameBits(g.v.data, svd.v.data))
                << "SVD " << a.rows << "x" << a.cols << " scaled by 2^" << k;
            ++checked;
        }
        EXPECT_GT(checked, 1900) << a.rows << "x" << a.cols;
    }
}

// Multiples of one matrix by factors that are not powers of two, beyond
// the square root of the range: orthogonal factors, R upper triangular,
// and the products back within rounding of A (judged on copies scaled by
// the same power of two back to unit size).
TEST(Decompositions, FactorsOfTinyAndHugeMatrices) {
    for (double scale : {1e-170, 1e-160, 1e200, 1e-300, 1e300}) {
        Matrix a = mat(3, 2, {3, 1, 1, 2, 0.5, 4});
        for (double& x : a.data) x = x * scale;
        const int back = -std::ilogb(scale);
        auto unit = [back](Matrix x) {
            for (double& v : x.data) v = std::ldexp(v, back);
            return x;
        };

        const corx_internal::QrFactors qr = corx_internal::qrDecompose(a);
        EXPECT_LT(ratio(corx_internal::identity(3), corx_internal::transpose(qr.q) * qr.q, 3), 10.0) << scale;
        EXPECT_LT(ratio(unit(a), qr.q * unit(qr.r), 3), 10.0) << scale;
        EXPECT_TRUE(sameBits(qr.r(1, 0), 0.0) && sameBits(qr.r(2, 0), 0.0) && sameBits(qr.r(2, 1), 0.0)) << scale;

        const corx_internal::SvdFactors svd = corx_internal::svdDecompose(a, 60, 1e-12);
        Matrix us = svd.u;
        for (std::int64_t i = 0; i < 3; ++i)
            for (std::int64_t j = 0; j < 2; ++j) us(i, j) = us(i, j) * std::ldexp(svd.s[static_cast<std::size_t>(j)], back);
        EXPECT_LT(ratio(unit(a), us * corx_internal::transpose(svd.v), 3), 10.0) << scale;
        EXPECT_LT(ratio(corx_internal::identity(2), corx_internal::transpose(svd.u) * svd.u, 3), 10.0) << scale;
        EXPECT_LT(ratio(corx_internal::identity(2), corx_internal::transpose(svd.v) * svd.v, 2), 10.0) << scale;
        EXPECT_TRUE(svd.s[0] >= svd.s[1] && svd.s[1] > 0.0) << scale;
    }

    // Columns 2^2000 apart, beyond any single scale: each column of QR is
    // still reflected and reproduced within rounding of its own size.
    const Matrix a = mat(3, 3, {0x1p-1000, 0x1p1000, 1, 0x1p-999, 0x1p1001, 2, 0x1p-1001, -0x1p999, 3});
    const corx_internal::QrFactors f = corx_internal::qrDecompose(a);
    EXPECT_LT(ratio(corx_internal::identity(3), corx_internal::transpose(f.q) * f.q, 3), 10.0);
    EXPECT_TRUE(sameBits(f.r(1, 0), 0.0) && sameBits(f.r(2, 0), 0.0) && sameBits(f.r(2, 1), 0.0));
    const Matrix qr = f.q * f.r;
    for (std::int64_t j = 0; j < 3; ++j) {
        double err = 0, size = 0;
        for (std::int64_t i = 0; i < 3; ++i) {
            err = std::max(err, std::fabs(qr(i, j) - a(i, j)));
            size = std::max(size, std::fabs(a(i, j)));
        }
        EXPECT_LT(err / (3 * size * kEps), 10.0) << "column " << j;
    }
}

}  // namespace
