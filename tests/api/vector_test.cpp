// SPDX-License-Identifier: BSD-3-Clause
// Fixed-size vectors: worked values and IEEE corner cases.
#include <corx/corx.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/bits.h"

using corx_test::sameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Vec3, CrossProductOrientation) {
    CorxVec3 k = corx_vec3_cross({1, 0, 0}, {0, 1, 0});
    EXPECT_TRUE(sameBits(k.x, 0.0) && sameBits(k.y, 0.0) && k.z == 1.0);
    CorxVec3 m = corx_vec3_cross({0, 1, 0}, {1, 0, 0});
    EXPECT_EQ(m.z, -1.0);
    CorxVec3 c = corx_vec3_cross({1, 2, 3}, {4, 5, 6});
    EXPECT_EQ(c.x, -3);
    EXPECT_EQ(c.y, 6);
    EXPECT_EQ(c.z, -3);
}

TEST(Vec2, PerpendicularsFlipTheSignBitOnly) {
    CorxVec2 p = corx_vec2_perp({1, 0});
    EXPECT_TRUE(sameBits(p.x, -0.0));
    EXPECT_EQ(p.y, 1.0);
    CorxVec2 q = corx_vec2_perp_cw({1, 0});
    EXPECT_TRUE(sameBits(q.x, 0.0));
    EXPECT_EQ(q.y, -1.0);
    CorxVec2 z = corx_vec2_perp({0, 0});
    EXPECT_TRUE(sameBits(z.x, -0.0) && sameBits(z.y, 0.0));
    CorxVec2 w = corx_vec2_perp_cw({-0.0, 0});
    EXPECT_TRUE(sameBits(w.x, 0.0) && sameBits(w.y, 0.0));
    EXPECT_EQ(corx_vec2_cross2d({1, 0}, {0, 1}), 1.0);
    EXPECT_EQ(corx_vec2_cross2d({0, 1}, {1, 0}), -1.0);
}

TEST(Vec2, NormalizeWithoutScaling) {
    CorxVec2 u = corx_vec2_normalize({3, 4});
    EXPECT_EQ(u.x, 0.6);
    EXPECT_EQ(u.y, 0.8);
    CorxVec2 zero = corx_vec2_normalize({0, 0});
    EXPECT_TRUE(sameBits(zero.x, 0.0) && sameBits(zero.y, 0.0));
    CorxVec2 negZero = corx_vec2_normalize({-0.0, -0.0});
    EXPECT_TRUE(sameBits(negZero.x, 0.0) && sameBits(negZero.y, 0.0));
    CorxVec2 tiny = corx_vec2_normalize({1e-162, 0});  // square underflows to zero
    EXPECT_TRUE(sameBits(tiny.x, 0.0));
    CorxVec2 sub = corx_vec2_normalize({1e-160, 0});  // square is subnormal
    EXPECT_EQ(sub.x, 1.0000055664551362);
    EXPECT_TRUE(sameBits(sub.y, 0.0));
    CorxVec2 huge = corx_vec2_normalize({2e154, 0});  // length overflows: x / inf
    EXPECT_TRUE(sameBits(huge.x, 0.0) && sameBits(huge.y, 0.0));
}

TEST(Vec3, NaNAndOverflowFlowThrough) {
    CorxVec3 n = corx_vec3_normalize({1, kNaN, 2});
    EXPECT_TRUE(std::isnan(n.x) && std::isnan(n.y) && std::isnan(n.z));
    EXPECT_EQ(corx_vec3_length({1e200, 0, 0}), kInf);
    EXPECT_EQ(corx_vec3_length({2, 3, 6}), 7.0);
    EXPECT_EQ(corx_vec4_length({1, 1, 1, 1}), 2.0);
    CorxVec4 u = corx_vec4_normalize({0, 0, 0, -2});
    EXPECT_EQ(u.w, -1.0);
    EXPECT_TRUE(sameBits(u.x, 0.0));
}

TEST(VecDot, AccumulatesFromPositiveZeroInOrder) {
    EXPECT_TRUE(sameBits(corx_vec2_dot({-0.0, -0.0}, {1, 1}), 0.0));
    EXPECT_TRUE(sameBits(corx_vec3_dot({-0.0, -0.0, -0.0}, {1, 1, 1}), 0.0));
    EXPECT_EQ(corx_vec4_dot({1, 2, 3, 4}, {5, 6, 7, 8}), 70.0);
    // Order matters: (1e16 + 1) + -1e16 loses the 1 in this order.
    EXPECT_EQ(corx_vec3_dot({1e16, 1, -1e16}, {1, 1, 1}), 0.0);
    EXPECT_EQ(corx_vec3_dot({1e16, -1e16, 1}, {1, 1, 1}), 1.0);
}

TEST(VecArithmetic, ComponentWise) {
    CorxVec4 s = corx_vec4_add({1, 2, 3, 4}, {10, 20, 30, 40});
    EXPECT_EQ(s.w, 44);
    CorxVec4 d = corx_vec4_sub({1, 2, 3, 4}, {10, 20, 30, 40});
    EXPECT_EQ(d.z, -27);
    CorxVec3 sc = corx_vec3_scale({-3, kInf, 1}, 0.0);
    EXPECT_TRUE(sameBits(sc.x, -0.0));
    EXPECT_TRUE(std::isnan(sc.y));
    CorxVec2 v = corx_vec2_sub(corx_vec2_add({1, 2}, {3, 4}), {4, 6});
    EXPECT_TRUE(sameBits(v.x, 0.0) && sameBits(v.y, 0.0));
}

TEST(VecAlmostEqual, StrictBoundAndNaN) {
    EXPECT_FALSE(corx_vec2_almost_equal({1, 1}, {1, 1}, 0.0));
    EXPECT_TRUE(corx_vec2_almost_equal({1, 1}, {1, 1}, 1e-12));
    EXPECT_FALSE(corx_vec2_almost_equal({1, 1}, {1.5, 1}, 0.5));  // strict
    EXPECT_FALSE(corx_vec2_almost_equal({1, 1}, {1, 1}, -1.0));
    EXPECT_FALSE(corx_vec2_almost_equal({1, 1}, {1, 1}, kNaN));
    EXPECT_TRUE(corx_vec3_almost_equal({1, 2, 3}, {4, 5, 6}, kInf));
    EXPECT_FALSE(corx_vec3_almost_equal({kInf, 2, 3}, {kInf, 2, 3}, kInf));
    EXPECT_FALSE(corx_vec3_almost_equal({1, 2, kNaN}, {1, 2, 3}, kInf));
}

}  // namespace
