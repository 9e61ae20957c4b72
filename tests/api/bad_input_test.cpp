// SPDX-License-Identifier: BSD-3-Clause
// Every exported function with every argument at its worst: NULL, negative,
// zero, oversized, mismatched, NaN. Each call must return its documented
// failure result, leave caller buffers and out-parameters untouched and
// leave argument handles unchanged.
#include <gtest/gtest.h>

#include <corx/corx.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int32_t kI32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kI32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
constexpr double kCanary = -7.25e-201;

std::uint64_t bitsOf(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// A caller buffer filled with a canary, with a check that it still is.
struct Canary {
    std::vector<double> v;
    explicit Canary(std::size_t n) : v(n, kCanary) {}
    double* data() { return v.data(); }
    bool untouched() const {
        for (double x : v)
            if (bitsOf(x) != bitsOf(kCanary)) return false;
        return true;
    }
};

// The bits of a handle's matrix, for checking that failures change nothing.
std::vector<std::uint64_t> snapshot(CorxMatrix m) {
    std::vector<double> out(static_cast<std::size_t>(corx_matrix_rows(m)) * corx_matrix_cols(m));
    corx_matrix_get_buffer(m, out.data(), static_cast<std::int64_t>(out.size()));
    std::vector<std::uint64_t> bits{static_cast<std::uint64_t>(corx_matrix_rows(m)),
                                    static_cast<std::uint64_t>(corx_matrix_cols(m))};
    for (double x : out) bits.push_back(bitsOf(x));
    return bits;
}

CorxMatrix fromRows(std::int32_t rows, std::int32_t cols, std::vector<double> values) {
    return corx_matrix_create_from_buffer(rows, cols, values.data(), static_cast<std::int64_t>(values.size()));
}

class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        square = fromRows(2, 2, {4, 1, 1, 3});
        wide = fromRows(2, 3, {1, 2, 3, 4, 5, 6});
        tall = fromRows(3, 2, {1, 2, 3, 4, 5, 6});
        singular = fromRows(2, 2, {1, 2, 2, 4});
        withNaN = fromRows(2, 2, {kNaN, 1, 1, 3});
        sparse = corx_sparse_from_dense(wide);
        ASSERT_TRUE(square && wide && tall && singular && withNaN && sparse);
        before = {snapshot(square), snapshot(wide), snapshot(tall), snapshot(singular), snapshot(withNaN)};
        sparseBefore = corx_sparse_nnz(sparse);
    }
    void TearDown() override {
        // No failed call may have changed an argument handle.
        EXPECT_EQ(snapshot(square), before[0]);
        EXPECT_EQ(snapshot(wide), before[1]);
        EXPECT_EQ(snapshot(tall), before[2]);
        EXPECT_EQ(snapshot(singular), before[3]);
        EXPECT_EQ(snapshot(withNaN), before[4]);
        EXPECT_EQ(corx_sparse_nnz(sparse), sparseBefore);
        for (CorxMatrix m : {square, wide, tall, singular, withNaN}) corx_matrix_destroy(m);
        corx_sparse_destroy(sparse);
    }

    CorxMatrix square = nullptr, wide = nullptr, tall = nullptr, singular = nullptr, withNaN = nullptr;
    CorxSparse sparse = nullptr;
    std::vector<std::vector<std::uint64_t>> before;
    std::int32_t sparseBefore = 0;
};

TEST_F(BadInput, CreationRejectsEveryBadShapeAndBuffer) {
    for (std::int32_t bad : {0, -1, kI32Min}) {
        EXPECT_EQ(corx_matrix_create(bad, 3), nullptr);
        EXPECT_EQ(corx_matrix_create(3, bad), nullptr);
        EXPECT_EQ(corx_matrix_create(bad, bad), nullptr);
    }
    // Products past 2^31 - 1 elements, including ones that wrap in 32 bits.
    EXPECT_EQ(corx_matrix_create(kI32Max, 2), nullptr);
    EXPECT_EQ(corx_matrix_create(65536, 65536), nullptr);
    EXPECT_EQ(corx_matrix_create(46341, 46341), nullptr);

    const double data[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(corx_matrix_create_from_buffer(2, 3, nullptr, 6), nullptr);
    for (std::int64_t len : {std::int64_t{5}, std::int64_t{7}, std::int64_t{0}, std::int64_t{-6}, kI64Max, kI64Min})
        EXPECT_EQ(corx_matrix_create_from_buffer(2, 3, data, len), nullptr) << len;
    for (std::int32_t bad : {0, -2, kI32Min}) {
        EXPECT_EQ(corx_matrix_create_from_buffer(bad, 3, data, 6), nullptr);
        EXPECT_EQ(corx_matrix_create_from_buffer(bad, -3, data, 6), nullptr);  // -2*-3 == 6
        EXPECT_EQ(corx_matrix_create_from_buffer(3, bad, data, 6), nullptr);
    }
    // A shape whose element count wraps to 0 in 32 bits.
    EXPECT_EQ(corx_matrix_create_from_buffer(65536, 65536, data, 0), nullptr);
    EXPECT_EQ(corx_matrix_create_from_buffer(kI32Max, kI32Max, data, 1), nullptr);
    // NaN and infinities are data, not errors.
    const double specials[2] = {kNaN, -kInf};
    CorxMatrix m = corx_matrix_create_from_buffer(1, 2, specials, 2);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(std::isnan(corx_matrix_get(m, 0, 0)));
    corx_matrix_destroy(m);
}

TEST_F(BadInput, QueriesOnNullAndOutOfRange) {
    corx_matrix_destroy(nullptr);
    corx_sparse_destroy(nullptr);
    EXPECT_EQ(corx_matrix_rows(nullptr), 0);
    EXPECT_EQ(corx_matrix_cols(nullptr), 0);
    EXPECT_EQ(bitsOf(corx_matrix_get(nullptr, 0, 0)), bitsOf(0.0));
    for (auto [r, c] : {std::pair{-1, 0}, {0, -1}, {2, 0}, {0, 3}, {kI32Max, kI32Max}, {kI32Min, 0}})
        EXPECT_EQ(bitsOf(corx_matrix_get(wide, r, c)), bitsOf(0.0)) << r << "," << c;
    // set out of range or on NULL is ignored (TearDown checks wide is unchanged).
    for (auto [r, c] : {std::pair{-1, 0}, {0, -1}, {2, 0}, {0, 3}, {kI32Max, 1}, {kI32Min, kI32Min}})
        corx_matrix_set(wide, r, c, kNaN);
    corx_matrix_set(nullptr, 0, 0, 1.0);
    EXPECT_EQ(corx_sparse_nnz(nullptr), 0);
}

TEST_F(BadInput, GetBufferNeverWritesOnFailure) {
    Canary out(8);
    EXPECT_EQ(corx_matrix_get_buffer(nullptr, out.data(), 8), -1);
    EXPECT_EQ(corx_matrix_get_buffer(wide, nullptr, 8), -1);
    EXPECT_EQ(corx_matrix_get_buffer(nullptr, nullptr, -1), -1);  // NULL is tested before the length
    for (std::int64_t len : {std::int64_t{5}, std::int64_t{0}, std::int64_t{-1}, kI64Min})
        EXPECT_EQ(corx_matrix_get_buffer(wide, out.data(), len), -5) << len;
    EXPECT_TRUE(out.untouched());
    // One long: exactly six written, the rest untouched.
    EXPECT_EQ(corx_matrix_get_buffer(wide, out.data(), 7), 6);
    EXPECT_EQ(bitsOf(out.v[6]), bitsOf(kCanary));
    EXPECT_EQ(bitsOf(out.v[7]), bitsOf(kCanary));
}

TEST_F(BadInput, ArithmeticOnNullAndMismatchedShapes) {
    EXPECT_EQ(corx_matrix_add(nullptr, square), nullptr);
    EXPECT_EQ(corx_matrix_add(square, nullptr), nullptr);
    EXPECT_EQ(corx_matrix_add(square, wide), nullptr);
    EXPECT_EQ(corx_matrix_add(wide, tall), nullptr);  // same element count, other shape
    EXPECT_EQ(corx_matrix_sub(nullptr, nullptr), nullptr);
    EXPECT_EQ(corx_matrix_sub(wide, tall), nullptr);
    EXPECT_EQ(corx_matrix_mul(nullptr, square), nullptr);
    EXPECT_EQ(corx_matrix_mul(square, nullptr), nullptr);
    EXPECT_EQ(corx_matrix_mul(wide, wide), nullptr);
    EXPECT_EQ(corx_matrix_mul(square, tall), nullptr);
    EXPECT_EQ(corx_matrix_scale(nullptr, 2.0), nullptr);
    EXPECT_EQ(corx_matrix_transpose(nullptr), nullptr);
    // NaN factors and NaN elements are data.
    CorxMatrix s = corx_matrix_scale(square, kNaN);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(std::isnan(corx_matrix_get(s, 1, 1)));
    corx_matrix_destroy(s);

    EXPECT_FALSE(corx_matrix_almost_equal(nullptr, square, 1.0));
    EXPECT_FALSE(corx_matrix_almost_equal(square, nullptr, 1.0));
    EXPECT_FALSE(corx_matrix_almost_equal(wide, tall, 1e300));
    for (double tol : {-1.0, -0.0 - 1e-300, kNaN, kInf, -kInf})
        EXPECT_FALSE(corx_matrix_almost_equal(square, square, tol)) << tol;
    EXPECT_TRUE(corx_matrix_almost_equal(square, square, 0.0));
    EXPECT_FALSE(corx_matrix_almost_equal(withNaN, withNaN, 1e300));  // a NaN difference fails
}

TEST_F(BadInput, DeterminantReportsThroughTheFlag) {
    for (CorxMatrix m : {static_cast<CorxMatrix>(nullptr), wide, tall}) {
        std::int32_t ok = 77;
        EXPECT_EQ(bitsOf(corx_matrix_determinant(m, &ok)), bitsOf(0.0));
        EXPECT_EQ(ok, 0);
        EXPECT_EQ(bitsOf(corx_matrix_determinant(m, nullptr)), bitsOf(0.0));
    }
    std::int32_t ok = 77;
    EXPECT_EQ(corx_matrix_determinant(singular, &ok), 0.0);
    EXPECT_EQ(ok, 1);  // singular is a result, not a failure
    ok = 77;
    EXPECT_TRUE(std::isnan(corx_matrix_determinant(withNaN, &ok)));
    EXPECT_EQ(ok, 1);
}

TEST_F(BadInput, LuSolveFailuresInTheirOrder) {
    const double b[3] = {1, 2, 3};
    Canary x(4);
    // -1: any NULL, even with every other argument also bad.
    EXPECT_EQ(corx_matrix_lu_solve(nullptr, b, 2, x.data(), 2, false), -1);
    EXPECT_EQ(corx_matrix_lu_solve(square, nullptr, 2, x.data(), 2, false), -1);
    EXPECT_EQ(corx_matrix_lu_solve(square, b, 2, nullptr, 2, false), -1);
    EXPECT_EQ(corx_matrix_lu_solve(wide, nullptr, -1, x.data(), -1, true), -1);
    // -2: not square, or b_length != rows (before any x_length test).
    EXPECT_EQ(corx_matrix_lu_solve(wide, b, 2, x.data(), 2, false), -2);
    EXPECT_EQ(corx_matrix_lu_solve(tall, b, 3, x.data(), 3, false), -2);
    for (std::int64_t len : {std::int64_t{1}, std::int64_t{3}, std::int64_t{0}, std::int64_t{-2}, kI64Max, kI64Min})
        EXPECT_EQ(corx_matrix_lu_solve(square, b, len, x.data(), -1, false), -2) << len;
    // -5: x shorter than b.
    for (std::int64_t len : {std::int64_t{1}, std::int64_t{0}, std::int64_t{-1}, kI64Min})
        EXPECT_EQ(corx_matrix_lu_solve(square, b, 2, x.data(), len, true), -5) << len;
    // -3: an exactly zero pivot column, with or without refinement.
    EXPECT_EQ(corx_matrix_lu_solve(singular, b, 2, x.data(), 2, false), -3);
    EXPECT_EQ(corx_matrix_lu_solve(singular, b, 2, x.data(), 4, true), -3);
    EXPECT_TRUE(x.untouched());
    // NaN propagates and still counts as solved.
    EXPECT_EQ(corx_matrix_lu_solve(withNaN, b, 2, x.data(), 2, true), 2);
    EXPECT_TRUE(std::isnan(x.v[0]) || std::isnan(x.v[1]));
    EXPECT_EQ(bitsOf(x.v[2]), bitsOf(kCanary));
}

TEST_F(BadInput, CholeskyRejectsWhatItCannotFactor) {
    EXPECT_EQ(corx_matrix_cholesky(nullptr), nullptr);
    EXPECT_EQ(corx_matrix_cholesky(wide), nullptr);
    EXPECT_EQ(corx_matrix_cholesky(tall), nullptr);
    EXPECT_EQ(corx_matrix_cholesky(singular), nullptr);  // positive semi-definite only
    CorxMatrix asym = fromRows(2, 2, {4, 1, 1.0000001, 3});
    CorxMatrix negative = fromRows(2, 2, {-4, 1, 1, 3});
    CorxMatrix inf = fromRows(2, 2, {kInf, 1, 1, 3});
    EXPECT_EQ(corx_matrix_cholesky(asym), nullptr);
    EXPECT_EQ(corx_matrix_cholesky(negative), nullptr);
    CorxMatrix offDiagonalNaN = fromRows(2, 2, {4, kNaN, kNaN, 3});
    EXPECT_EQ(corx_matrix_cholesky(offDiagonalNaN), nullptr);  // NaN never equals its mirror
    // A NaN pivot is not "<= 0": the factor comes back and carries the NaN.
    CorxMatrix l = corx_matrix_cholesky(withNaN);
    ASSERT_NE(l, nullptr);
    EXPECT_TRUE(std::isnan(corx_matrix_get(l, 0, 0)));
    EXPECT_EQ(bitsOf(corx_matrix_get(l, 0, 1)), bitsOf(0.0));
    corx_matrix_destroy(l);
    l = corx_matrix_cholesky(inf);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(corx_matrix_get(l, 0, 0), kInf);
    corx_matrix_destroy(l);
    for (CorxMatrix m : {asym, negative, inf, offDiagonalNaN}) corx_matrix_destroy(m);
}

TEST_F(BadInput, QrAndSvdLeaveOutParametersAlone) {
    const CorxMatrix sentinel = reinterpret_cast<CorxMatrix>(std::uintptr_t{0x5a5a5a5a});
    CorxMatrix q = sentinel, r = sentinel;
    EXPECT_EQ(corx_matrix_qr(nullptr, &q, &r), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_qr(square, nullptr, &r), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_qr(square, &q, nullptr), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_qr(wide, nullptr, nullptr), CORX_NULL_HANDLE);  // NULL before shape
    EXPECT_EQ(corx_matrix_qr(wide, &q, &r), CORX_SHAPE_MISMATCH);
    // One pointer for both outputs is refused like NULL, before the shape.
    EXPECT_EQ(corx_matrix_qr(square, &q, &q), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_qr(wide, &r, &r), CORX_NULL_HANDLE);
    EXPECT_EQ(q, sentinel);
    EXPECT_EQ(r, sentinel);

    CorxMatrix u = sentinel, v = sentinel;
    Canary s(4);
    EXPECT_EQ(corx_matrix_svd(nullptr, &u, s.data(), 2, &v), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_svd(tall, nullptr, s.data(), 2, &v), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_svd(tall, &u, nullptr, 2, &v), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_svd(tall, &u, s.data(), 2, nullptr), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_svd(wide, &u, nullptr, -1, &v), CORX_NULL_HANDLE);  // NULL before shape
    EXPECT_EQ(corx_matrix_svd(wide, &u, s.data(), -1, &v), CORX_SHAPE_MISMATCH);  // shape before length
    for (std::int64_t len : {std::int64_t{1}, std::int64_t{0}, std::int64_t{-1}, kI64Min})
        EXPECT_EQ(corx_matrix_svd(tall, &u, s.data(), len, &v), CORX_BUFFER_TOO_SMALL) << len;
    EXPECT_EQ(corx_matrix_svd(tall, &u, s.data(), 2, &u), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_svd(wide, &v, s.data(), -1, &v), CORX_NULL_HANDLE);  // before shape and length
    EXPECT_EQ(u, sentinel);
    EXPECT_EQ(v, sentinel);
    EXPECT_TRUE(s.untouched());

    // NaN elements are data: both decompositions return and leave handles.
    q = r = u = v = nullptr;
    EXPECT_EQ(corx_matrix_qr(withNaN, &q, &r), CORX_SUCCESS);
    EXPECT_EQ(corx_matrix_svd(withNaN, &u, s.data(), 4, &v), CORX_SUCCESS);
    EXPECT_EQ(bitsOf(s.v[2]), bitsOf(kCanary));
    for (CorxMatrix m : {q, r, u, v}) {
        EXPECT_NE(m, nullptr);
        corx_matrix_destroy(m);
    }
}

// Valid operands whose result would hold more elements than a handle may
// (2^31 - 1) are refused through the failure result, never by ending the
// process; results within the limit from the same operands are made.
TEST_F(BadInput, ResultsPastTheElementLimitAreRefused) {
    const std::vector<double> ones(65536, 1.0);
    CorxMatrix column = corx_matrix_create_from_buffer(65536, 1, ones.data(), 65536);
    CorxMatrix row = corx_matrix_create_from_buffer(1, 65536, ones.data(), 65536);
    CorxMatrix justOver = corx_matrix_create_from_buffer(46341, 1, ones.data(), 46341);
    ASSERT_TRUE(column && row && justOver);

    EXPECT_EQ(corx_matrix_mul(column, row), nullptr);  // 2^32 elements
    CorxMatrix justOverT = corx_matrix_transpose(justOver);
    ASSERT_NE(justOverT, nullptr);
    EXPECT_EQ(corx_matrix_mul(justOver, justOverT), nullptr);  // 46341^2 = 2^31 + 4633
    CorxMatrix inner = corx_matrix_mul(row, column);
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(corx_matrix_get(inner, 0, 0), 65536.0);

    const CorxMatrix sentinel = reinterpret_cast<CorxMatrix>(std::uintptr_t{0x5a5a5a5a});
    CorxMatrix q = sentinel, r = sentinel;
    EXPECT_EQ(corx_matrix_qr(column, &q, &r), CORX_SHAPE_MISMATCH);  // Q would be 65536 x 65536
    EXPECT_EQ(corx_matrix_qr(justOver, &q, &r), CORX_SHAPE_MISMATCH);
    EXPECT_EQ(corx_matrix_qr(column, &q, &q), CORX_NULL_HANDLE);  // pointers before the size
    EXPECT_EQ(q, sentinel);
    EXPECT_EQ(r, sentinel);

    // The SVD's factors are never larger than the operand: made.
    CorxMatrix u = nullptr, v = nullptr;
    double s = 0.0;
    ASSERT_EQ(corx_matrix_svd(column, &u, &s, 1, &v), CORX_SUCCESS);
    EXPECT_EQ(corx_matrix_rows(u), 65536);
    EXPECT_EQ(corx_matrix_rows(v), 1);
    EXPECT_EQ(s, 256.0);
    CorxSparse sparseColumn = corx_sparse_from_dense(column);
    CorxMatrix dense = corx_sparse_to_dense(sparseColumn);
    EXPECT_EQ(corx_matrix_rows(dense), 65536);
    for (CorxMatrix m : {column, row, justOver, justOverT, inner, u, v, dense}) corx_matrix_destroy(m);
    corx_sparse_destroy(sparseColumn);
}

TEST_F(BadInput, SparseFailuresAllReturnMinusOne) {
    EXPECT_EQ(corx_sparse_from_dense(nullptr), nullptr);
    EXPECT_EQ(corx_sparse_to_dense(nullptr), nullptr);
    const double x[4] = {1, 2, 3, 4};
    Canary y(4);
    EXPECT_EQ(corx_sparse_matvec(nullptr, x, 3, y.data(), 2), -1);
    EXPECT_EQ(corx_sparse_matvec(sparse, nullptr, 3, y.data(), 2), -1);
    EXPECT_EQ(corx_sparse_matvec(sparse, x, 3, nullptr, 2), -1);
    for (std::int64_t len : {std::int64_t{2}, std::int64_t{4}, std::int64_t{0}, std::int64_t{-3}, kI64Max, kI64Min})
        EXPECT_EQ(corx_sparse_matvec(sparse, x, len, y.data(), 2), -1) << len;
    for (std::int64_t len : {std::int64_t{1}, std::int64_t{0}, std::int64_t{-1}, kI64Min})
        EXPECT_EQ(corx_sparse_matvec(sparse, x, 3, y.data(), len), -1) << len;
    EXPECT_TRUE(y.untouched());
    EXPECT_EQ(corx_sparse_matvec(sparse, x, 3, y.data(), kI64Max), 2);
    EXPECT_EQ(bitsOf(y.v[2]), bitsOf(kCanary));
}

TEST_F(BadInput, TotalFunctionsTakeAnything) {
    for (std::int32_t code : {-5, -1, 6, 7, kI32Max, kI32Min})
        EXPECT_STREQ(corx_get_error_string(code), "Unknown error") << code;
    EXPECT_STREQ(corx_get_error_string(5), "Output buffer too small");
    EXPECT_EQ(corx_init(), 1);
    EXPECT_EQ(corx_init(), 1);
    corx_cleanup();
    corx_cleanup();
    EXPECT_STREQ(corx_version(), "1.0.0");

    std::uint64_t q = 1, r = 2;
    corvane_udiv128(5, 7, 0, &q, &r);  // divisor 0 does not trap
    EXPECT_EQ(q, UINT64_MAX);
    EXPECT_EQ(r, 7u);
    corvane_udiv128(UINT64_MAX, UINT64_MAX, 1, nullptr, nullptr);
    corvane_udiv128(UINT64_MAX, UINT64_MAX, 3, nullptr, &r);  // hi >= divisor: no overflow trap
    EXPECT_EQ(r, 0u);  // 2^128 - 1 is divisible by 3
    EXPECT_EQ(corvane_clz64(0), 64);

    // Vectors: NaN, infinities and the zero vector are values.
    const CorxVec3 zero{0, 0, 0}, nan3{kNaN, 1, 2};
    const CorxVec3 n = corx_vec3_normalize(zero);
    EXPECT_EQ(bitsOf(n.x) | bitsOf(n.y) | bitsOf(n.z), 0u);
    EXPECT_TRUE(std::isnan(corx_vec3_length(nan3)));
    EXPECT_FALSE(corx_vec3_almost_equal(nan3, nan3, kInf));
    EXPECT_FALSE(corx_vec2_almost_equal(CorxVec2{1, 1}, CorxVec2{1, 1}, kNaN));
    const CorxVec4 big{1e300, 1e300, 0, 0};
    EXPECT_EQ(corx_vec4_length(big), kInf);  // no scaling: overflow is the answer
    const CorxVec2 n2 = corx_vec2_normalize(CorxVec2{kInf, 1});
    EXPECT_TRUE(std::isnan(n2.x));
}

}  // namespace
