// SPDX-License-Identifier: BSD-3-Clause
// The exported solvers through the shared library: worked results bit for
// bit and the failure conventions (order of checks, untouched outputs).
#include <corx/corx.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "support/bits.h"
#include "support/handle.h"
#include "support/random_operands.h"

using corx_test::bitsOf;
using corx_test::Handle;
using corx_test::sameBits;

namespace {

const double kSentinel = -12345.0;
CorxMatrix const kUntouched = reinterpret_cast<CorxMatrix>(0x1);

TEST(DeterminantApi, ResultsAndOkFlag) {
    Handle near(2, 2, {0.1, 0.3, 0.3, 0.9});
    int32_t ok = 7;
    EXPECT_TRUE(sameBits(corx_matrix_determinant(near.h, &ok), 1.6653345369377347e-17));
    EXPECT_EQ(ok, 1);
    EXPECT_TRUE(sameBits(near.data(), {0.1, 0.3, 0.3, 0.9}));  // the handle is not changed

    Handle singular(2, 2, {1, 2, 1, 2});
    ok = 7;
    EXPECT_EQ(bitsOf(corx_matrix_determinant(singular.h, &ok)), bitsOf(0.0));
    EXPECT_EQ(ok, 1);  // singular is a result, not a failure

    Handle wide(2, 3, {1, 2, 3, 4, 5, 6});
    ok = 7;
    EXPECT_EQ(corx_matrix_determinant(wide.h, &ok), 0.0);
    EXPECT_EQ(ok, 0);
    ok = 7;
    EXPECT_EQ(corx_matrix_determinant(nullptr, &ok), 0.0);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(corx_matrix_determinant(nullptr, nullptr), 0.0);
    EXPECT_EQ(corx_matrix_determinant(wide.h, nullptr), 0.0);
    EXPECT_TRUE(sameBits(corx_matrix_determinant(Handle(2, 2, {0, 1, 1, 0}).h, nullptr), -1.0));
}

TEST(LuSolveApi, FailureCodesInOrderAndUntouchedOutput) {
    Handle a(2, 2, {3, 1, 1, 3});
    Handle wide(2, 3, {1, 2, 3, 4, 5, 6});
    const double b[3] = {1, 2, 3};
    double x[3] = {kSentinel, kSentinel, kSentinel};
    EXPECT_EQ(corx_matrix_lu_solve(nullptr, nullptr, -1, nullptr, -1, true), -1);  // null first
    EXPECT_EQ(corx_matrix_lu_solve(a.h, b, 2, nullptr, 2, true), -1);
    EXPECT_EQ(corx_matrix_lu_solve(a.h, nullptr, 2, x, 2, true), -1);
    EXPECT_EQ(corx_matrix_lu_solve(nullptr, b, 2, x, 2, true), -1);
    EXPECT_EQ(corx_matrix_lu_solve(wide.h, b, 2, x, 0, true), -2);  // shape before buffer
    EXPECT_EQ(corx_matrix_lu_solve(wide.h, b, 3, x, 3, true), -2);
    EXPECT_EQ(corx_matrix_lu_solve(Handle(3, 3, std::vector<double>(9, 1)).h, b, 2, x, 3, true), -2);
    EXPECT_EQ(corx_matrix_lu_solve(a.h, b, 2, x, 1, true), -5);
    EXPECT_EQ(corx_matrix_lu_solve(Handle(2, 2, {0, 1, 0, 2}).h, b, 2, x, 2, true), -3);
    for (double v : x) EXPECT_EQ(v, kSentinel);

    // After a singular system the next call starts clean.
    EXPECT_EQ(corx_matrix_lu_solve(a.h, b, 2, x, 3, false), 2);
    EXPECT_TRUE(sameBits(std::vector<double>(x, x + 3), {0.12499999999999996, 0.6250000000000001, kSentinel}));
    EXPECT_EQ(corx_matrix_lu_solve(a.h, b, 2, x, 2, true), 2);
    EXPECT_TRUE(sameBits(std::vector<double>(x, x + 2), {0.125, 0.625}));
    EXPECT_TRUE(sameBits(a.data(), {3, 1, 1, 3}));

    Handle four(4, 4, {4, 1, 0, 0, 1, 4, 1, 0, 0, 1, 4, 1, 0, 0, 1, 4});
    const double b4[4] = {1, 1, 1, 1};
    double x4[4];
    EXPECT_EQ(corx_matrix_lu_solve(four.h, b4, 4, x4, 4, false), 4);  // the size, not 0
}

TEST(LuSolveManyApi, FailureCodesInOrderAndUntouchedOutput) {
    Handle a(2, 2, {3, 1, 1, 3});
    Handle wide(2, 3, {1, 2, 3, 4, 5, 6});
    const double b[6] = {1, 2, 3, 4, 5, 6};
    std::vector<double> x(6, kSentinel);
    double* xp = x.data();
    constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
    constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(corx_matrix_lu_solve_many(nullptr, nullptr, -1, 0, nullptr, -1, true), -1);  // null first
    EXPECT_EQ(corx_matrix_lu_solve_many(a.h, b, 6, 3, nullptr, 6, true), -1);
    EXPECT_EQ(corx_matrix_lu_solve_many(a.h, nullptr, 6, 3, xp, 6, true), -1);
    EXPECT_EQ(corx_matrix_lu_solve_many(nullptr, b, 6, 3, xp, 6, true), -1);
    EXPECT_EQ(corx_matrix_lu_solve_many(wide.h, b, 6, 3, xp, 0, true), -2);  // shape before buffer
    for (std::int32_t nrhs : {0, -1, kMin32})
        EXPECT_EQ(corx_matrix_lu_solve_many(a.h, b, 2 * std::int64_t{nrhs}, nrhs, xp, 0, true), -2) << nrhs;
    for (std::int64_t len : {std::int64_t{0}, std::int64_t{5}, std::int64_t{3}, kMin64,
                             std::numeric_limits<std::int64_t>::max()})
        EXPECT_EQ(corx_matrix_lu_solve_many(a.h, b, len, 3, xp, 6, false), -2) << len;
    // The largest count whose size fits: the shape holds, the buffer decides
    // before b is read.
    EXPECT_EQ(corx_matrix_lu_solve_many(a.h, b, 2 * std::int64_t{kMax32}, kMax32, xp, 6, true), -5);
    for (std::int64_t len : {std::int64_t{5}, std::int64_t{0}, std::int64_t{-1}, kMin64})
        EXPECT_EQ(corx_matrix_lu_solve_many(a.h, b, 6, 3, xp, len, true), -5) << len;
    EXPECT_EQ(corx_matrix_lu_solve_many(Handle(2, 2, {0, 1, 0, 2}).h, b, 6, 3, xp, 6, true), -3);
    EXPECT_EQ(corx_matrix_lu_solve_many(Handle(2, 2, {0, 1, 0, 2}).h, b, 6, 3, xp, 6, false), -3);
    for (double v : x) EXPECT_EQ(v, kSentinel);

    // Two columns: the worked single solves side by side; x beyond stays.
    const double b2[4] = {1, 2, 2, 4};
    EXPECT_EQ(corx_matrix_lu_solve_many(a.h, b2, 4, 2, xp, 6, true), 2);
    EXPECT_TRUE(sameBits(x, {0.125, 0.25, 0.625, 1.25, kSentinel, kSentinel}));
}

// Column j of the many-column solve is the single solve of column j, bit
// for bit, with special values in b, refined or not, on 1 and 3 threads,
// also when x is b; 150 columns cross the blocks of columns taken side by
// side.
TEST(LuSolveManyApi, EveryColumnIsTheSingleSolve) {
    std::mt19937_64 rng(20240611);
    for (std::int32_t threads : {1, 3}) {
        ASSERT_EQ(corx_set_threads(threads), threads);
        for (std::int32_t n : {1, 2, 7, 64, 200}) {
            std::vector<double> data = corx_test::randomOperand(rng, std::int64_t{n} * n, 0.0);
            for (std::int32_t i = 0; i < n; ++i) data[static_cast<std::size_t>(i) * (n + 1)] += n;
            Handle a(n, n, data);
            for (std::int32_t nrhs : {1, 3, 17, 150}) {
                const std::int64_t len = std::int64_t{n} * nrhs;
                const std::vector<double> b = corx_test::randomOperand(rng, len, 0.15, 4.0);
                for (bool refine : {false, true}) {
                    std::vector<double> x(static_cast<std::size_t>(len), kSentinel);
                    ASSERT_EQ(corx_matrix_lu_solve_many(a.h, b.data(), len, nrhs, x.data(), len, refine), n);
                    for (std::int32_t j = 0; j < nrhs; ++j) {
                        std::vector<double> col(static_cast<std::size_t>(n)), want(static_cast<std::size_t>(n));
                        std::vector<double> got(static_cast<std::size_t>(n));
                        for (std::int32_t i = 0; i < n; ++i) {
                            col[static_cast<std::size_t>(i)] = b[static_cast<std::size_t>(i * nrhs + j)];
                            got[static_cast<std::size_t>(i)] = x[static_cast<std::size_t>(i * nrhs + j)];
                        }
                        ASSERT_EQ(corx_matrix_lu_solve(a.h, col.data(), n, want.data(), n, refine), n);
                        ASSERT_TRUE(sameBits(got, want))
                            << "threads " << threads << " n " << n << " nrhs " << nrhs << " column " << j
                            << " refine " << refine;
                    }
                    // In place (x is b): the refinement reads b after the
                    // first solution is known.
                    std::vector<double> inPlace = b;
                    ASSERT_EQ(corx_matrix_lu_solve_many(a.h, inPlace.data(), len, nrhs, inPlace.data(), len, refine),
                              n);
                    ASSERT_TRUE(sameBits(inPlace, x)) << "in place, n " << n << " nrhs " << nrhs;
                }
            }
        }
    }
    corx_set_threads(1);
}

// Every system of a stack is the single call on its own matrix, whichever
// thread takes it, specials included; a singular matrix reports the lowest
// such index; the checks come in their order and leave x alone.
TEST(LuSolveStackApi, EverySystemIsTheSingleCall) {
    std::mt19937_64 rng(2026121);
    for (std::int32_t threads : {1, 3}) {
        ASSERT_EQ(corx_set_threads(threads), threads);
        for (std::int32_t n : {1, 4, 9, 33})
            for (std::int32_t nrhs : {1, 3}) {
                const std::int64_t count = n > 9 ? 5 : 60, nn = std::int64_t{n} * n, nb = std::int64_t{n} * nrhs;
                std::vector<double> a = corx_test::randomOperand(rng, count * nn, 0.002);
                for (std::int64_t s = 0; s < count; ++s)
                    for (std::int32_t i = 0; i < n; ++i) a[static_cast<std::size_t>(s * nn + i * (n + 1))] += n;
                const std::vector<double> b = corx_test::randomOperand(rng, count * nb, 0.1, 4.0);
                for (bool refine : {false, true}) {
                    std::vector<double> x(static_cast<std::size_t>(count * nb), kSentinel);
                    std::int64_t singular = -7;
                    ASSERT_EQ(corx_lu_solve_stack(n, count, a.data(), count * nn, b.data(), count * nb, nrhs,
                                                  x.data(), count * nb, refine, &singular),
                              n);
                    EXPECT_EQ(singular, -7);
                    for (std::int64_t s = 0; s < count; ++s) {
                        Handle m(n, n, std::vector<double>(a.begin() + s * nn, a.begin() + (s + 1) * nn));
                        std::vector<double> want(static_cast<std::size_t>(nb));
                        ASSERT_EQ(corx_matrix_lu_solve_many(m.h, b.data() + s * nb, nb, nrhs, want.data(), nb, refine),
                                  n);
                        ASSERT_TRUE(sameBits(std::vector<double>(x.begin() + s * nb, x.begin() + (s + 1) * nb), want))
                            << "threads " << threads << " n " << n << " nrhs " << nrhs << " system " << s;
                    }
                }
                // Two singular systems: the lower index is reported, and its
                // solution is not written.
                std::vector<double> bad = a;
                for (std::int64_t s : {count - 1, count / 2})
                    for (std::int32_t i = 0; i < n; ++i) bad[static_cast<std::size_t>(s * nn + i * n)] = 0.0;
                std::vector<double> x(static_cast<std::size_t>(count * nb), kSentinel);
                std::int64_t singular = -7;
                EXPECT_EQ(corx_lu_solve_stack(n, count, bad.data(), count * nn, b.data(), count * nb, nrhs, x.data(),
                                              count * nb, true, &singular),
                          -3);
                EXPECT_EQ(singular, count / 2);
                for (std::int64_t k = 0; k < nb; ++k) EXPECT_EQ(bitsOf(x[static_cast<std::size_t>(count / 2 * nb + k)]), bitsOf(kSentinel));
            }
    }
    corx_set_threads(1);

    const double a[4] = {2, 1, 1, 3}, b[4] = {1, 2, 3, 4};
    double x[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
    EXPECT_EQ(corx_lu_solve_stack(2, 1, a, 4, b, 2, 1, nullptr, 2, true, nullptr), -1);
    EXPECT_EQ(corx_lu_solve_stack(0, 1, nullptr, 4, b, 2, 1, x, 2, true, nullptr), -1);  // null before shape
    EXPECT_EQ(corx_lu_solve_stack(0, 1, a, 0, b, 0, 1, x, 0, true, nullptr), -2);
    EXPECT_EQ(corx_lu_solve_stack(2, -1, a, -4, b, -2, 1, x, 2, true, nullptr), -2);
    EXPECT_EQ(corx_lu_solve_stack(2, 1, a, 4, b, 2, 0, x, 2, true, nullptr), -2);
    EXPECT_EQ(corx_lu_solve_stack(2, 1, a, 3, b, 2, 1, x, 2, true, nullptr), -2);
    EXPECT_EQ(corx_lu_solve_stack(2, 1, a, 4, b, 4, 1, x, 4, true, nullptr), -2);
    EXPECT_EQ(corx_lu_solve_stack(2, INT64_MAX / 3, a, 4, b, 2, 1, x, 2, true, nullptr), -2);  // count*n*n wraps
    EXPECT_EQ(corx_lu_solve_stack(2, 1, a, 4, b, 2, 1, x, 1, true, nullptr), -5);
    EXPECT_EQ(corx_lu_solve_stack(2, 0, a, 0, b, 0, 1, x, 0, true, nullptr), 2);  // an empty stack
    for (double v : x) EXPECT_EQ(bitsOf(v), bitsOf(kSentinel));
    EXPECT_EQ(corx_lu_solve_stack(2, 1, a, 4, b, 4, 2, x, 4, false, nullptr), 2);
}

// A caller that passes the flag as a wider integer: only the low byte counts.
#if defined(__clang__)
__attribute__((no_sanitize("function")))
#endif
int32_t solveWithWideFlag(CorxMatrix m, const double* b, int64_t n, double* x, int32_t flag) {
    using Wide = int32_t (*)(CorxMatrix, const double*, int64_t, double*, int64_t, int32_t);
    return reinterpret_cast<Wide>(&corx_matrix_lu_solve)(m, b, n, x, n, flag);
}

TEST(LuSolveApi, RefinementDecidedByLowByteOnly) {
    Handle a(2, 2, {3, 1, 1, 3});
    const double b[2] = {1, 2};
    double x[2];
    EXPECT_EQ(solveWithWideFlag(a.h, b, 2, x, 256), 2);
    EXPECT_TRUE(sameBits(std::vector<double>(x, x + 2), {0.12499999999999996, 0.6250000000000001}));
    EXPECT_EQ(solveWithWideFlag(a.h, b, 2, x, 0x101), 2);
    EXPECT_TRUE(sameBits(std::vector<double>(x, x + 2), {0.125, 0.625}));
}

TEST(CholeskyApi, FactorOrNull) {
    Handle a(2, 2, {4, 2, 2, 5});
    Handle l(corx_matrix_cholesky(a.h));
    ASSERT_NE(l.h, nullptr);
    EXPECT_TRUE(sameBits(l.data(), {2, 0, 1, 2}));
    EXPECT_TRUE(sameBits(a.data(), {4, 2, 2, 5}));
    EXPECT_EQ(corx_matrix_cholesky(nullptr), nullptr);
    EXPECT_EQ(corx_matrix_cholesky(Handle(2, 3, {4, 0, 0, 0, 4, 0}).h), nullptr);
    EXPECT_EQ(corx_matrix_cholesky(Handle(2, 2, {1, 2, 2, 1}).h), nullptr);  // not positive definite
    EXPECT_EQ(corx_matrix_cholesky(Handle(2, 2, {4, 1, 2, 3}).h), nullptr);  // not symmetric
    Handle again(corx_matrix_cholesky(Handle(1, 1, {4}).h));
    EXPECT_TRUE(sameBits(again.data(), {2}));
}

TEST(QrApi, StatusesAndFactors) {
    Handle a(2, 2, {3, 1, 4, 2});
    CorxMatrix q = kUntouched, r = kUntouched;
    EXPECT_EQ(corx_matrix_qr(a.h, &q, nullptr), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_qr(a.h, nullptr, &r), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_qr(nullptr, &q, &r), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_qr(Handle(2, 3, {1, 2, 3, 4, 5, 6}).h, &q, &r), CORX_SHAPE_MISMATCH);
    EXPECT_TRUE(q == kUntouched && r == kUntouched);

    ASSERT_EQ(corx_matrix_qr(a.h, &q, &r), CORX_SUCCESS);
    Handle hq(q), hr(r);
    EXPECT_TRUE(sameBits(hq.data(), {-0.6000000000000001, -0.8, -0.8, 0.6}));
    EXPECT_TRUE(sameBits(hr.data(), {-5.0, -2.2, 0.0, 0.3999999999999999}));

    // Entries whose squares underflow: the same Q, R scaled exactly.
    CorxMatrix qt = nullptr, rt = nullptr;
    ASSERT_EQ(corx_matrix_qr(Handle(2, 2, {0x3p-600, 0x1p-600, 0x4p-600, 0x2p-600}).h, &qt, &rt), CORX_SUCCESS);
    Handle hqt(qt), hrt(rt);
    EXPECT_TRUE(sameBits(hqt.data(), {-0.6000000000000001, -0.8, -0.8, 0.6}));
    EXPECT_TRUE(sameBits(hrt.data(), {-5.0 * 0x1p-600, -2.2 * 0x1p-600, 0.0, 0.3999999999999999 * 0x1p-600}));

    CorxMatrix q3 = nullptr, r3 = nullptr;
    ASSERT_EQ(corx_matrix_qr(Handle(3, 2, {1, 2, 3, 4, 5, 7}).h, &q3, &r3), CORX_SUCCESS);
    Handle hq3(q3), hr3(r3);
    EXPECT_EQ(corx_matrix_rows(q3) * 10 + corx_matrix_cols(q3), 33);
    EXPECT_EQ(corx_matrix_rows(r3) * 10 + corx_matrix_cols(r3), 32);
}

TEST(SvdApi, StatusesInOrderAndFactors) {
    Handle a(2, 2, {3, 0, 4, 5});
    CorxMatrix u = kUntouched, v = kUntouched;
    double s[3] = {kSentinel, kSentinel, kSentinel};
    EXPECT_EQ(corx_matrix_svd(a.h, &u, nullptr, 2, &v), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_svd(a.h, nullptr, s, 2, &v), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_svd(a.h, &u, s, 2, nullptr), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_svd(nullptr, &u, s, 2, &v), CORX_NULL_HANDLE);
    EXPECT_EQ(corx_matrix_svd(Handle(2, 3, {1, 2, 3, 4, 5, 6}).h, &u, s, 0, &v), CORX_SHAPE_MISMATCH);
    EXPECT_EQ(corx_matrix_svd(a.h, &u, s, 1, &v), CORX_BUFFER_TOO_SMALL);
    EXPECT_TRUE(u == kUntouched && v == kUntouched);
    for (double x : s) EXPECT_EQ(x, kSentinel);

    ASSERT_EQ(corx_matrix_svd(a.h, &u, s, 3, &v), CORX_SUCCESS);
    Handle hu(u), hv(v);
    EXPECT_TRUE(sameBits(std::vector<double>(s, s + 3), {6.708203932499369, 2.2360679774997894, kSentinel}));
    EXPECT_TRUE(sameBits(hu.data(), {0.3162277660168379, 0.9486832980505139, 0.9486832980505138, -0.31622776601683794}));
    EXPECT_TRUE(sameBits(hv.data(), {0.7071067811865475, 0.7071067811865475, 0.7071067811865475, -0.7071067811865475}));
    EXPECT_TRUE(sameBits(a.data(), {3, 0, 4, 5}));

    // Entries whose squares overflow: the same U and V, S scaled exactly.
    ASSERT_EQ(corx_matrix_svd(Handle(2, 2, {0x3p700, 0, 0x4p700, 0x5p700}).h, &u, s, 2, &v), CORX_SUCCESS);
    Handle hu2(u), hv2(v);
    EXPECT_TRUE(sameBits(std::vector<double>(s, s + 2), {6.708203932499369 * 0x1p700, 2.2360679774997894 * 0x1p700}));
    EXPECT_TRUE(sameBits(hu2.data(), hu.data()) && sameBits(hv2.data(), hv.data()));
}

}  // namespace
