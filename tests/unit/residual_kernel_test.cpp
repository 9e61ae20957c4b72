// SPDX-License-Identifier: BSD-3-Clause
// The exact residual kernel against the plain one-accumulator form, bit for
// bit: random shapes, every scale from subnormal to near overflow, special
// values, exact cancellation and rows long enough to need carries.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "algorithms/exactsum.h"
#include "support/bits.h"
#include "support/random_operands.h"
#include "support/reference_residual.h"

using corx_internal::Matrix;
using corx_test::randomOperand;
using corx_test::sameBits;

namespace {

void expectSame(const Matrix& a, const std::vector<double>& b, const std::vector<double>& x,
                const std::string& what) {
    const auto want = corx_test::referenceResidual(a, b, x);
    const auto got = corx_internal::residual(a, b, x);
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < want.size(); ++i)
        ASSERT_TRUE(sameBits(got[i], want[i])) << what << " row " << i << ": got " << got[i] << " want " << want[i];
}

// Values spread over many binades, so the products land in every chunk
// range, including below the accumulator's lowest chunk.
std::vector<double> wideScale(std::mt19937_64& rng, std::int64_t count, double specialRate) {
    auto v = randomOperand(rng, count, specialRate);
    std::uniform_int_distribution<int> exponent(-560, 500);
    for (double& x : v)
        if (std::isfinite(x) && x != 0.0) x = std::ldexp(x, exponent(rng));
    return v;
}

TEST(ResidualKernel, RandomShapesScalesAndSpecials) {
    std::mt19937_64 rng(44);
    struct Shape {
        std::int64_t rows, cols;
    };
    for (const Shape& s : {Shape{1, 1}, Shape{1, 3}, Shape{3, 1}, Shape{7, 5}, Shape{40, 9}, Shape{5, 67},
                           Shape{33, 33}}) {
        for (double rate : {0.0, 0.01, 0.1}) {
            const std::string what = std::to_string(s.rows) + "x" + std::to_string(s.cols) + " rate " +
                                     std::to_string(rate);
            expectSame(corx_internal::matrix(s.rows, s.cols, randomOperand(rng, s.rows * s.cols, rate)),
                       randomOperand(rng, s.rows, rate), randomOperand(rng, s.cols, rate), what);
            expectSame(corx_internal::matrix(s.rows, s.cols, wideScale(rng, s.rows * s.cols, rate)),
                       wideScale(rng, s.rows, rate), wideScale(rng, s.cols, rate), what + " wide");
        }
    }
}

TEST(ResidualKernel, ExactCancellationInfinitiesAndLongRows) {
    const double inf = std::numeric_limits<double>::infinity();
    // b equal to the exact dot product: the residual is exactly zero (-0.0).
    Matrix a = corx_internal::matrix(2, 4, std::vector<double>{1, 2, 3, 4, 0.5, -0.25, 8, -1});
    const std::vector<double> x = {1, 1, 1, 1};
    expectSame(a, {10, 7.25}, x, "exact");
    EXPECT_EQ(corx_test::bitsOf(corx_internal::residual(a, std::vector<double>{10, 7.25}, x)[0]),
              corx_test::bitsOf(-0.0));

    // Infinite products of one sign, of both signs, and 0 * Inf, spread over
    // the four interleaved positions.
    Matrix s = corx_internal::matrix(3, 5, std::vector<double>{inf, 1, 1, 1, 1, inf, 1, 1, -inf, 1, 0, 1, inf, 1, 1});
    expectSame(s, {0, 0, 0}, {1, 1, 1, 1, 1}, "infinities");
    expectSame(s, {0, 0, 0}, {1, 0, 1, 1, 1}, "zero times infinity");

    // Rows long enough that each accumulator propagates carries several
    // times, with large products that cancel to a small remainder.
    std::mt19937_64 rng(9);
    const std::int64_t n = 9001;
    auto row = randomOperand(rng, 2 * n, 0.0, 1e300);
    auto xs = randomOperand(rng, n, 0.0, 1.0);
    for (std::int64_t j = 1; j < n; j += 2) {
        row[j] = -row[j - 1];
        xs[j] = xs[j - 1];
    }
    expectSame(corx_internal::matrix(2, n, row), {1e-300, -3.0}, xs, "long rows");
}

}  // namespace
