// SPDX-License-Identifier: BSD-3-Clause
// Dense arithmetic through the C interface: shapes, failure results and the
// exact IEEE semantics of each element.
#include <corx/corx.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "support/bits.h"
#include "support/handle.h"
#include "support/reference.h"

using corx_test::Handle;
using corx_test::sameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(DenseShapes, MismatchesAndNullsGiveNull) {
    Handle a23(2, 3, {1, 2, 3, 4, 5, 6});
    Handle a32(3, 2, {1, 2, 3, 4, 5, 6});
    Handle a34(3, 4, std::vector<double>(12, 1.0));
    EXPECT_EQ(corx_matrix_add(a23.h, a32.h), nullptr);  // six elements each, still a mismatch
    EXPECT_EQ(corx_matrix_sub(a23.h, a32.h), nullptr);
    EXPECT_EQ(corx_matrix_mul(a23.h, a23.h), nullptr);
    EXPECT_EQ(corx_matrix_add(nullptr, a23.h), nullptr);
    EXPECT_EQ(corx_matrix_sub(a23.h, nullptr), nullptr);
    EXPECT_EQ(corx_matrix_mul(nullptr, nullptr), nullptr);
    EXPECT_EQ(corx_matrix_scale(nullptr, 2.0), nullptr);
    EXPECT_EQ(corx_matrix_transpose(nullptr), nullptr);
    EXPECT_FALSE(corx_matrix_almost_equal(nullptr, a23.h, 1.0));
    EXPECT_FALSE(corx_matrix_almost_equal(a23.h, nullptr, 1.0));

    Handle product(corx_matrix_mul(a23.h, a34.h));
    ASSERT_NE(product.h, nullptr);
    EXPECT_EQ(corx_matrix_rows(product.h), 2);
    EXPECT_EQ(corx_matrix_cols(product.h), 4);
}

TEST(DenseArithmetic, WorkedValuesAndOperandOrder) {
    Handle a(2, 2, {1, 2, 3, 4});
    Handle b(2, 2, {5, 6, 7, 8});
    EXPECT_EQ(Handle(corx_matrix_mul(a.h, b.h)).data(), (std::vector<double>{19, 22, 43, 50}));
    EXPECT_EQ(Handle(corx_matrix_add(a.h, b.h)).data(), (std::vector<double>{6, 8, 10, 12}));
    EXPECT_EQ(Handle(corx_matrix_sub(a.h, b.h)).data(), (std::vector<double>{-4, -4, -4, -4}));
    EXPECT_EQ(Handle(corx_matrix_sub(b.h, a.h)).data(), (std::vector<double>{4, 4, 4, 4}));
    // Operands are not changed.
    EXPECT_EQ(a.data(), (std::vector<double>{1, 2, 3, 4}));
}

TEST(DenseArithmetic, ZerosAreNotSkippedAndSignsFollowIeee) {
    Handle a(1, 1, {0.0});
    Handle b(1, 1, {kInf});
    EXPECT_TRUE(std::isnan(Handle(corx_matrix_mul(a.h, b.h)).data()[0]));

    Handle m(1, 3, {-3.0, kInf, 2.0});
    auto byZero = Handle(corx_matrix_scale(m.h, 0.0)).data();
    EXPECT_TRUE(sameBits(byZero[0], -0.0));
    EXPECT_TRUE(std::isnan(byZero[1]));
    EXPECT_TRUE(sameBits(byZero[2], 0.0));
    for (double x : Handle(corx_matrix_scale(m.h, kNaN)).data()) EXPECT_TRUE(std::isnan(x));

    // A product accumulates from +0.0: a row of -0.0 products sums to +0.0.
    Handle negZero(1, 2, {-0.0, -0.0});
    Handle ones(2, 1, {1.0, 1.0});
    EXPECT_TRUE(sameBits(Handle(corx_matrix_mul(negZero.h, ones.h)).data()[0], 0.0));

    // Subtracting a handle from itself: zeros, NaN where it holds NaN or Inf.
    Handle s(1, 4, {1.5, kInf, kNaN, -0.0});
    auto self = Handle(corx_matrix_sub(s.h, s.h)).data();
    EXPECT_TRUE(sameBits(self[0], 0.0));
    EXPECT_TRUE(std::isnan(self[1]));
    EXPECT_TRUE(std::isnan(self[2]));
    EXPECT_TRUE(sameBits(self[3], 0.0));
}

TEST(DenseArithmetic, ProductMatchesReferenceBitForBitWithSpecials) {
    std::mt19937_64 rng(20261207);
    const auto& specials = corx_test::specialValues();
    std::uniform_real_distribution<double> uniform(-1e3, 1e3);
    for (int trial = 0; trial < 60; ++trial) {
        const int m = 1 + static_cast<int>(rng() % 9), p = 1 + static_cast<int>(rng() % 9),
                  n = 1 + static_cast<int>(rng() % 9);
        auto draw = [&](int count) {
            std::vector<double> v(count);
            for (double& x : v) x = (rng() % 5 == 0) ? specials[rng() % specials.size()] : uniform(rng);
            return v;
        };
        auto av = draw(m * p), bv = draw(p * n);
        Handle a(m, p, av), b(p, n, bv);
        auto got = Handle(corx_matrix_mul(a.h, b.h)).data();
        EXPECT_TRUE(sameBits(got, corx_test::referenceProduct(av, bv, m, p, n))) << "trial " << trial;
    }
}

TEST(DenseTranspose, SwapsShapeAndKeepsBits) {
    Handle row(1, 4, {-0.0, kNaN, 1e-310, kInf});
    Handle col(corx_matrix_transpose(row.h));
    EXPECT_EQ(corx_matrix_rows(col.h), 4);
    EXPECT_EQ(corx_matrix_cols(col.h), 1);
    EXPECT_TRUE(sameBits(col.data(), row.data()));
    Handle rect(2, 3, {1, 2, 3, 4, 5, 6});
    Handle t(corx_matrix_transpose(rect.h));
    EXPECT_EQ(t.data(), (std::vector<double>{1, 4, 2, 5, 3, 6}));
    Handle back(corx_matrix_transpose(t.h));
    EXPECT_TRUE(sameBits(back.data(), rect.data()));
}

TEST(DenseAlmostEqual, ToleranceRules) {
    Handle a(1, 3, {1.0, -0.0, 5.0});
    Handle b(1, 3, {1.0, 0.0, 5.25});
    EXPECT_TRUE(corx_matrix_almost_equal(a.h, a.h, 0.0));
    EXPECT_FALSE(corx_matrix_almost_equal(a.h, b.h, 0.0));
    EXPECT_TRUE(corx_matrix_almost_equal(a.h, b.h, 0.25));  // inclusive bound
    EXPECT_FALSE(corx_matrix_almost_equal(a.h, b.h, 0.2499999));
    for (double bad : {-1e-300, kNaN, kInf})
        EXPECT_FALSE(corx_matrix_almost_equal(a.h, a.h, bad)) << bad;
    EXPECT_TRUE(corx_matrix_almost_equal(a.h, a.h, std::numeric_limits<double>::max()));

    Handle inf(1, 1, {kInf});
    Handle nan(1, 1, {kNaN});
    EXPECT_FALSE(corx_matrix_almost_equal(inf.h, inf.h, 1.0));
    EXPECT_FALSE(corx_matrix_almost_equal(nan.h, nan.h, 1.0));
    Handle c(3, 1, {1.0, -0.0, 5.0});
    EXPECT_FALSE(corx_matrix_almost_equal(a.h, c.h, 1.0));  // same elements, other shape
}

}  // namespace
