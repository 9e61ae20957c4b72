// SPDX-License-Identifier: BSD-3-Clause
// The exported solvers through the shared library: worked results bit for
// bit and the failure conventions (order of checks, untouched outputs).
#include <corx/corx.h>
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/bits.h"
#include "support/handle.h"

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
