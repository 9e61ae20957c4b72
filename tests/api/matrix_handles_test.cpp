// SPDX-License-Identifier: BSD-3-Clause
// Dense matrix handles through the C interface: creation limits, copy-in,
// element access, buffer copy-out and the failure results.
#include <corx/corx.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support/bits.h"

using corx_test::sameBits;

namespace {

std::vector<double> contents(CorxMatrix m) {
    std::vector<double> out(static_cast<std::size_t>(corx_matrix_rows(m)) * corx_matrix_cols(m));
    EXPECT_EQ(corx_matrix_get_buffer(m, out.data(), static_cast<int64_t>(out.size())),
              static_cast<int32_t>(out.size()));
    return out;
}

TEST(MatrixCreate, RefusesNonPositiveAndOversizedDimensions) {
    EXPECT_EQ(corx_matrix_create(0, 5), nullptr);
    EXPECT_EQ(corx_matrix_create(5, 0), nullptr);
    EXPECT_EQ(corx_matrix_create(-1, 3), nullptr);
    EXPECT_EQ(corx_matrix_create(3, std::numeric_limits<int32_t>::min()), nullptr);
    // 46341^2 exceeds the int32 range: refused before any allocation.
    EXPECT_EQ(corx_matrix_create(46341, 46341), nullptr);
    EXPECT_EQ(corx_matrix_create(std::numeric_limits<int32_t>::max(), 2), nullptr);
}

TEST(MatrixCreate, GivesPositiveZeros) {
    CorxMatrix m = corx_matrix_create(2, 3);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(corx_matrix_rows(m), 2);
    EXPECT_EQ(corx_matrix_cols(m), 3);
    for (double x : contents(m)) EXPECT_TRUE(sameBits(x, 0.0));
    corx_matrix_destroy(m);
}

TEST(MatrixCreate, LargestAllowedShapeIsAcceptedByTheCheck) {
    // 2147483647 x 1 passes the size test; don't allocate it, but a one-row
    // matrix at the int32 column limit must not be refused by wrapped math.
    CorxMatrix m = corx_matrix_create(1, 1 << 20);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(corx_matrix_cols(m), 1 << 20);
    corx_matrix_destroy(m);
}

TEST(MatrixFromBuffer, LengthMustMatchExactly) {
    const double data[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(corx_matrix_create_from_buffer(2, 2, data, 5), nullptr);
    EXPECT_EQ(corx_matrix_create_from_buffer(2, 2, data, 3), nullptr);
    EXPECT_EQ(corx_matrix_create_from_buffer(2, 2, nullptr, 4), nullptr);
    EXPECT_EQ(corx_matrix_create_from_buffer(0, 2, data, 0), nullptr);
    EXPECT_EQ(corx_matrix_create_from_buffer(2, -2, data, -4), nullptr);
    EXPECT_EQ(corx_matrix_create_from_buffer(46341, 46341, data, 2147488281LL), nullptr);
}

TEST(MatrixFromBuffer, CopiesRowMajorAndOwnsItsCopy) {
    std::vector<double> data = {1, -0.0, std::numeric_limits<double>::quiet_NaN(),
                                std::numeric_limits<double>::denorm_min()};
    CorxMatrix m = corx_matrix_create_from_buffer(2, 2, data.data(), 4);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(sameBits(corx_matrix_get(m, 0, 1), -0.0));
    EXPECT_TRUE(std::isnan(corx_matrix_get(m, 1, 0)));
    EXPECT_TRUE(sameBits(corx_matrix_get(m, 1, 1), std::numeric_limits<double>::denorm_min()));
    std::vector<double> before = contents(m);
    data[0] = 99;  // the caller's buffer is not referenced after the call
    EXPECT_TRUE(sameBits(contents(m), before));
    EXPECT_EQ(corx_matrix_get(m, 0, 0), 1.0);
    corx_matrix_destroy(m);
}

TEST(MatrixAccess, OutOfRangeAndNullGiveZeroAndIgnoreWrites) {
    const double data[6] = {1, 2, 3, 4, 5, 6};
    CorxMatrix m = corx_matrix_create_from_buffer(2, 3, data, 6);
    EXPECT_EQ(corx_matrix_get(m, 2, 0), 0.0);
    EXPECT_EQ(corx_matrix_get(m, 0, 3), 0.0);
    EXPECT_EQ(corx_matrix_get(m, -1, 0), 0.0);
    EXPECT_EQ(corx_matrix_get(m, 0, -1), 0.0);
    EXPECT_EQ(corx_matrix_get(m, std::numeric_limits<int32_t>::min(), 0), 0.0);
    EXPECT_EQ(corx_matrix_get(nullptr, 0, 0), 0.0);
    EXPECT_EQ(corx_matrix_rows(nullptr), 0);
    EXPECT_EQ(corx_matrix_cols(nullptr), 0);

    std::vector<double> before = contents(m);
    corx_matrix_set(m, 2, 0, 7);
    corx_matrix_set(m, 0, 3, 7);
    corx_matrix_set(m, -1, -1, 7);
    corx_matrix_set(nullptr, 0, 0, 7);
    EXPECT_TRUE(sameBits(contents(m), before));

    corx_matrix_set(m, 1, 2, -0.0);  // the last element of the buffer
    std::vector<double> after = contents(m);
    EXPECT_TRUE(sameBits(after[5], -0.0));
    corx_matrix_set(m, 0, 0, -std::numeric_limits<double>::infinity());
    EXPECT_EQ(corx_matrix_get(m, 0, 0), -std::numeric_limits<double>::infinity());
    corx_matrix_destroy(m);
    corx_matrix_destroy(nullptr);  // ignored
}

TEST(MatrixGetBuffer, ChecksPointersThenCapacityAndWritesNothingOnFailure) {
    const double data[6] = {1, 2, 3, 4, 5, 6};
    CorxMatrix m = corx_matrix_create_from_buffer(2, 3, data, 6);
    double out[8];
    for (double& x : out) x = 42;
    EXPECT_EQ(corx_matrix_get_buffer(m, nullptr, 8), -1);
    EXPECT_EQ(corx_matrix_get_buffer(nullptr, out, 8), -1);
    EXPECT_EQ(corx_matrix_get_buffer(nullptr, out, 0), -1);  // null before capacity
    EXPECT_EQ(corx_matrix_get_buffer(m, out, 5), -5);
    EXPECT_EQ(corx_matrix_get_buffer(m, out, -1), -5);
    for (double x : out) EXPECT_EQ(x, 42);
    EXPECT_EQ(corx_matrix_get_buffer(m, out, 8), 6);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(out[k], data[k]);
    EXPECT_EQ(out[6], 42);
    EXPECT_EQ(out[7], 42);
    corx_matrix_destroy(m);
}

}  // namespace
