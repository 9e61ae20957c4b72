// SPDX-License-Identifier: BSD-3-Clause
// The CSR product (products formed in pairs, one chain per row) against the
// plain per-row reference, bit for bit, and the in-place use of the operands
// by corx_sparse_matvec.
#include <gtest/gtest.h>

#include <corx/corx.h>

#include <cstdint>
#include <random>
#include <vector>

#include "support/bits.h"
#include "support/random_operands.h"
#include "support/reference.h"
#include "types/sparse.h"

using corx_test::randomOperand;
using corx_test::referenceSparseProduct;
using corx_test::sameBits;

namespace {

// Dense rows x cols with a random number of entries per row (0 up to
// maxPerRow, so neighbouring rows differ in length), specials mixed in.
std::vector<double> randomSparseDense(std::mt19937_64& rng, std::int64_t rows, std::int64_t cols, int maxPerRow,
                                      double specialRate) {
    std::vector<double> d(static_cast<std::size_t>(rows * cols), 0.0);
    std::uniform_int_distribution<int> count(0, maxPerRow);
    std::uniform_int_distribution<std::int64_t> col(0, cols - 1);
    for (std::int64_t i = 0; i < rows; ++i) {
        const int c = count(rng);
        const auto vals = randomOperand(rng, c, specialRate);
        for (int t = 0; t < c; ++t) d[static_cast<std::size_t>(i * cols + col(rng))] = vals[t];
    }
    return d;
}

TEST(SparseKernel, MatchesReferenceOnRandomShapesWithSpecials) {
    std::mt19937_64 rng(2024);
    struct Shape {
        std::int64_t rows, cols;
        int maxPerRow;
    };
    for (const Shape& s : {Shape{1, 1, 1}, Shape{1, 300, 40}, Shape{300, 1, 1}, Shape{3, 7, 5}, Shape{5, 9, 9},
                           Shape{7, 5, 3}, Shape{37, 41, 12}, Shape{129, 17, 17}, Shape{1001, 333, 25},
                           Shape{2000, 50, 3}}) {
        for (double rate : {0.0, 0.01, 0.2}) {
            const auto dense = randomSparseDense(rng, s.rows, s.cols, s.maxPerRow, rate);
            const auto x = randomOperand(rng, s.cols, rate);
            const corx_internal::CsrMatrix csr = corx_internal::toCsr(corx_internal::matrix(s.rows, s.cols, dense));
            const auto want = referenceSparseProduct(dense, s.rows, s.cols, x);
            std::vector<double> got(static_cast<std::size_t>(s.rows), 12345.0);
            corx_internal::csrProduct(csr, x.data(), got.data());
            for (std::size_t i = 0; i < want.size(); ++i)
                ASSERT_TRUE(sameBits(got[i], want[i])) << s.rows << "x" << s.cols << " rate " << rate << " row " << i
                                                       << ": got " << got[i] << " want " << want[i];
        }
    }
}

TEST(SparseKernel, EmptyRowsGivePositiveZeroAndNegativeZeroSumsBecomePositive) {
    // Row 0 empty, row 1 sums -0.0 products onto +0.0, rows 2..5 of
    // different lengths, odd and even.
    const std::vector<double> dense = {0, 0, 0,  -1, 0,  0, 1, 2, 3, 4, 0, 0,
                                       0, 0, 5, 1e-300, 1e-300, 0, 7, 0, 0};
    const corx_internal::CsrMatrix csr = corx_internal::toCsr(corx_internal::matrix(7, 3, dense));
    const std::vector<double> x = {0.0, -0.0, 1e-20};
    const auto want = referenceSparseProduct(dense, 7, 3, x);
    std::vector<double> got(7, 99.0);
    corx_internal::csrProduct(csr, x.data(), got.data());
    EXPECT_EQ(corx_test::bitsOf(got[0]), 0u);
    EXPECT_EQ(corx_test::bitsOf(got[1]), 0u);  // +0.0 + (-0.0) = +0.0
    EXPECT_TRUE(sameBits(got, want));
}

TEST(SparseKernel, MatvecUsesOperandsInPlaceButHonoursOverlap) {
    ASSERT_GE(corx_init(), 0);
    std::mt19937_64 rng(5);
    const std::int64_t n = 23;
    const auto dense = randomSparseDense(rng, n, n, 6, 0.0);
    const auto x = randomOperand(rng, n, 0.0);
    const auto want = referenceSparseProduct(dense, n, n, x);
    CorxMatrix m = corx_matrix_create_from_buffer(n, n, dense.data(), n * n);
    CorxSparse s = corx_sparse_from_dense(m);
    ASSERT_NE(s, nullptr);

    // The same product twice through one handle gives the same bits.
    std::vector<double> y1(n), y2(n);
    ASSERT_EQ(corx_sparse_matvec(s, x.data(), n, y1.data(), n), n);
    ASSERT_EQ(corx_sparse_matvec(s, x.data(), n, y2.data(), n), n);
    EXPECT_TRUE(sameBits(y1, want));
    EXPECT_TRUE(sameBits(y2, want));

    // y is x itself, and y shifted by a few elements into x: the result is
    // the product of x as it was before the call.
    std::vector<double> same = x;
    ASSERT_EQ(corx_sparse_matvec(s, same.data(), n, same.data(), n), n);
    EXPECT_TRUE(sameBits(same, want));
    std::vector<double> shifted(static_cast<std::size_t>(n + 3), 0.0);
    std::copy(x.begin(), x.end(), shifted.begin());
    ASSERT_EQ(corx_sparse_matvec(s, shifted.data(), n, shifted.data() + 3, n), n);
    EXPECT_TRUE(sameBits(std::vector<double>(shifted.begin() + 3, shifted.end()), want));

    corx_sparse_destroy(s);
    corx_matrix_destroy(m);
}

}  // namespace
