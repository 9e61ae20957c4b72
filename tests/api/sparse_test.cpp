// SPDX-License-Identifier: BSD-3-Clause
// CSR sparse matrices through the C interface.
#include <corx/corx.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "support/bits.h"
#include "support/reference.h"

using corx_test::sameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> denseContents(CorxMatrix m) {
    std::vector<double> out(static_cast<std::size_t>(corx_matrix_rows(m)) * corx_matrix_cols(m));
    corx_matrix_get_buffer(m, out.data(), static_cast<int64_t>(out.size()));
    return out;
}

CorxSparse sparseOf(int32_t rows, int32_t cols, const std::vector<double>& data) {
    CorxMatrix d = corx_matrix_create_from_buffer(rows, cols, data.data(), static_cast<int64_t>(data.size()));
    CorxSparse s = corx_sparse_from_dense(d);
    corx_matrix_destroy(d);  // the sparse handle is independent of it
    return s;
}

TEST(SparseConversion, DropsBothZerosKeepsNaNAndRoundTrips) {
    CorxSparse id = sparseOf(3, 3, {1, 0, 0, 0, 1, 0, 0, 0, 1});
    EXPECT_EQ(corx_sparse_nnz(id), 3);
    CorxMatrix back = corx_sparse_to_dense(id);
    EXPECT_EQ(denseContents(back), (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
    corx_matrix_destroy(back);
    corx_sparse_destroy(id);

    CorxSparse zeros = sparseOf(2, 2, {0, -0.0, 0, 0});
    EXPECT_EQ(corx_sparse_nnz(zeros), 0);
    back = corx_sparse_to_dense(zeros);
    for (double x : denseContents(back)) EXPECT_TRUE(sameBits(x, 0.0));  // -0.0 comes back as +0.0
    corx_matrix_destroy(back);
    corx_sparse_destroy(zeros);

    CorxSparse special = sparseOf(2, 3, {kNaN, 0, -kInf, 0, 1e-320, -0.0});
    EXPECT_EQ(corx_sparse_nnz(special), 3);
    back = corx_sparse_to_dense(special);
    auto d = denseContents(back);
    EXPECT_EQ(corx_matrix_rows(back), 2);
    EXPECT_EQ(corx_matrix_cols(back), 3);
    EXPECT_TRUE(std::isnan(d[0]));
    EXPECT_EQ(d[2], -kInf);
    EXPECT_TRUE(sameBits(d[4], 1e-320));
    EXPECT_TRUE(sameBits(d[5], 0.0));
    corx_matrix_destroy(back);
    corx_sparse_destroy(special);
}

TEST(SparseMatvec, WorkedValueAndEmptyRows) {
    CorxSparse s = sparseOf(2, 2, {0, 2, 3, 0});
    const double x[2] = {1, 1};
    double y[2] = {9, 9};
    EXPECT_EQ(corx_sparse_matvec(s, x, 2, y, 2), 2);
    EXPECT_EQ(y[0], 2);
    EXPECT_EQ(y[1], 3);
    corx_sparse_destroy(s);

    // Only stored entries read x: an empty row stays +0.0 even against NaN.
    CorxSparse e = sparseOf(2, 2, {0, 0, 1, 0});
    const double bad[2] = {2, kNaN};
    double out[2] = {9, 9};
    EXPECT_EQ(corx_sparse_matvec(e, bad, 2, out, 2), 2);
    EXPECT_TRUE(sameBits(out[0], 0.0));
    EXPECT_EQ(out[1], 2);
    corx_sparse_destroy(e);
}

TEST(SparseMatvec, EveryFailureIsMinusOneAndWritesNothing) {
    CorxSparse s = sparseOf(2, 3, {1, 0, 2, 0, 3, 0});
    const double x[4] = {1, 2, 3, 4};
    double y[3] = {7, 7, 7};
    EXPECT_EQ(corx_sparse_matvec(s, x, 3, nullptr, 2), -1);
    EXPECT_EQ(corx_sparse_matvec(s, nullptr, 3, y, 2), -1);
    EXPECT_EQ(corx_sparse_matvec(nullptr, x, 3, y, 2), -1);
    EXPECT_EQ(corx_sparse_matvec(s, x, 4, y, 2), -1);  // one more than cols
    EXPECT_EQ(corx_sparse_matvec(s, x, 2, y, 2), -1);  // one less
    EXPECT_EQ(corx_sparse_matvec(s, x, 3, y, 1), -1);  // rows - 1
    EXPECT_EQ(corx_sparse_matvec(s, x, -3, y, 2), -1);
    for (double v : y) EXPECT_EQ(v, 7);
    EXPECT_EQ(corx_sparse_matvec(s, x, 3, y, 3), 2);  // a longer y: only rows written
    EXPECT_EQ(y[0], 7);
    EXPECT_EQ(y[1], 6);
    EXPECT_EQ(y[2], 7);
    corx_sparse_destroy(s);
}

TEST(SparseMatvec, NullHandles) {
    EXPECT_EQ(corx_sparse_nnz(nullptr), 0);
    EXPECT_EQ(corx_sparse_to_dense(nullptr), nullptr);
    EXPECT_EQ(corx_sparse_from_dense(nullptr), nullptr);
    corx_sparse_destroy(nullptr);
}

TEST(SparseMatvec, MatchesReferenceBitForBitWithSpecials) {
    std::mt19937_64 rng(7);
    const auto& specials = corx_test::specialValues();
    for (int trial = 0; trial < 60; ++trial) {
        const int rows = 1 + static_cast<int>(rng() % 12), cols = 1 + static_cast<int>(rng() % 12);
        std::vector<double> dense(static_cast<std::size_t>(rows) * cols), x(cols);
        for (double& v : dense) {
            unsigned pick = rng() % 6;
            v = pick < 3 ? 0.0 : pick == 3 ? specials[rng() % specials.size()]
                                           : static_cast<double>(static_cast<int64_t>(rng() % 2001) - 1000) / 7.0;
        }
        for (double& v : x) v = (rng() % 4 == 0) ? specials[rng() % specials.size()] : 1.0 / (1 + rng() % 13);
        CorxSparse s = sparseOf(rows, cols, dense);
        std::vector<double> y(rows);
        ASSERT_EQ(corx_sparse_matvec(s, x.data(), cols, y.data(), rows), rows);
        EXPECT_TRUE(sameBits(y, corx_test::referenceSparseProduct(dense, rows, cols, x))) << trial;
        corx_sparse_destroy(s);
    }
}

}  // namespace

namespace {

// The entries of csr, in order, as the dense handle the library gives back.
std::vector<double> fromCsr(int32_t rows, int32_t cols, const std::vector<int64_t>& indptr,
                            const std::vector<int32_t>& indices, const std::vector<double>& data,
                            int32_t* fault) {
    CorxSparse s = nullptr;
    const CorxStatus st = corx_sparse_from_csr(rows, cols, indptr.data(), static_cast<int64_t>(indptr.size()),
                                               indices.data(), data.data(), static_cast<int64_t>(data.size()),
                                               &s, fault);
    if (st != CORX_SUCCESS) {
        EXPECT_EQ(s, nullptr);
        return {};
    }
    CorxMatrix d = corx_sparse_to_dense(s);
    std::vector<double> out = denseContents(d);
    corx_matrix_destroy(d);
    corx_sparse_destroy(s);
    return out;
}

}  // namespace

TEST(SparseFromCsr, SameMatrixAsFromDenseAndEachFaultNamed) {
    int32_t fault = -1;
    // Explicit zeros of both signs are dropped, NaN kept, empty rows allowed.
    EXPECT_EQ(fromCsr(3, 3, {0, 3, 3, 4}, {0, 1, 2, 1}, {1, 0.0, -0.0, 2}, &fault),
              (std::vector<double>{1, 0, 0, 0, 0, 0, 0, 2, 0}));
    EXPECT_EQ(fault, CORX_CSR_VALID);
    const std::vector<double> nan = fromCsr(1, 2, {0, 1}, {1}, {kNaN}, nullptr);
    ASSERT_EQ(nan.size(), 2u);
    EXPECT_TRUE(std::isnan(nan[1]));

    struct Case {
        std::vector<int64_t> indptr;
        std::vector<int32_t> indices;
        int32_t want;
    } cases[] = {
        {{0, 1}, {0}, CORX_CSR_LENGTH},                    // three rows need four pointers
        {{1, 1, 1, 2}, {0, 1}, CORX_CSR_ROW_START},
        {{0, 2, 1, 2}, {0, 1}, CORX_CSR_ROW_ORDER},
        {{0, 1, 1, 1}, {0, 1}, CORX_CSR_ROW_END},
        {{0, 1, 1, 2}, {0, 3}, CORX_CSR_COLUMN_RANGE},
        {{0, 1, 1, 2}, {-1, 0}, CORX_CSR_COLUMN_RANGE},
        {{0, 2, 2, 2}, {1, 1}, CORX_CSR_COLUMN_ORDER},     // a duplicate
        {{0, 2, 2, 2}, {2, 0}, CORX_CSR_COLUMN_ORDER},     // unsorted
        {{0, 1, 2, 2}, {2, 0}, CORX_CSR_VALID},            // columns restart in each row
    };
    for (const Case& c : cases) {
        fault = -1;
        fromCsr(3, 3, c.indptr, c.indices, {1, 2}, &fault);
        EXPECT_EQ(fault, c.want) << c.indptr[1] << " " << c.indices[0];
    }
    // A NULL out writes nothing at all; a NULL fault is allowed.
    const int64_t p[] = {0, 0};
    fault = -1;
    EXPECT_EQ(corx_sparse_from_csr(1, 1, p, 2, nullptr, nullptr, 0, nullptr, &fault), CORX_NULL_HANDLE);
    EXPECT_EQ(fault, -1);
    CorxSparse s = nullptr;
    EXPECT_EQ(corx_sparse_from_csr(1, 1, p, 2, nullptr, nullptr, 1, &s, &fault), CORX_NULL_HANDLE);
    EXPECT_EQ(fault, CORX_CSR_POINTER);
    EXPECT_EQ(corx_sparse_from_csr(1, 1, p, 2, nullptr, nullptr, 0, &s, nullptr), CORX_SUCCESS);
    EXPECT_EQ(corx_sparse_nnz(s), 0);
    corx_sparse_destroy(s);
}

TEST(SparseFromCsr, LargerThanAnyDenseHandle) {
    // 65536 x 65536 has more elements than a dense handle may hold: the
    // product works, the dense copy is refused instead of attempted.
    const int32_t n = 65536;
    std::vector<int64_t> indptr(static_cast<std::size_t>(n) + 1);
    std::vector<int32_t> indices(static_cast<std::size_t>(n));
    std::vector<double> data(static_cast<std::size_t>(n)), x(static_cast<std::size_t>(n)), y(x.size());
    for (int32_t i = 0; i < n; ++i) {
        indptr[static_cast<std::size_t>(i) + 1] = i + 1;
        indices[static_cast<std::size_t>(i)] = n - 1 - i;  // the anti-diagonal
        data[static_cast<std::size_t>(i)] = i + 1;
        x[static_cast<std::size_t>(i)] = 0.5 * i;
    }
    CorxSparse s = nullptr;
    ASSERT_EQ(corx_sparse_from_csr(n, n, indptr.data(), n + 1, indices.data(), data.data(), n, &s, nullptr),
              CORX_SUCCESS);
    EXPECT_EQ(corx_sparse_nnz(s), n);
    EXPECT_EQ(corx_sparse_to_dense(s), nullptr);
    EXPECT_EQ(corx_sparse_matvec(s, x.data(), n, y.data(), n), n);
    for (int32_t i = 0; i < n; i += 4099) EXPECT_EQ(y[static_cast<std::size_t>(i)], (i + 1) * 0.5 * (n - 1 - i));
    corx_sparse_destroy(s);
}
