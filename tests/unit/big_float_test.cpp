// SPDX-License-Identifier: BSD-3-Clause
// BigFloat records: conversion from doubles across the whole range, the
// truncating normalize, and moves.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "arithmetic/bitwise_big.h"
#include "runtime/errors.h"
#include "support/bigfloat_oracle.h"

using namespace corx_test;
using corx_internal::initBigFloat;

namespace {

BigUInt shifted(Limb m, std::int64_t k) { return corx_internal::shl(corx_internal::initBigUInt(m), k); }

void expectRecord(const BigFloat& x, bool negative, const BigUInt& mantissa, std::int64_t exponent) {
    EXPECT_TRUE(x.negative == negative && x.mantissa == mantissa && x.exponent == exponent) << describe(x);
}

TEST(InitBigFloat, ExactValuesZerosTruncationAndExtremes) {
    expectRecord(initBigFloat(1.0, 256), false, shifted(1, 255), -255);
    expectRecord(initBigFloat(5.0, 256), false, shifted(5, 253), -253);
    expectRecord(initBigFloat(-3.0, 256), true, shifted(3, 254), -254);
    expectRecord(initBigFloat(0.1, 256), false, shifted(7205759403792794, 203), -259);
    expectRecord(initBigFloat(-0.0, 256), false, BigUInt{}, 0);
    expectRecord(initBigFloat(0.0, 3), false, BigUInt{}, 0);
    expectRecord(initBigFloat(7.0, 2), false, shifted(3, 0), 1);  // 6: truncated, not rounded to 8
    expectRecord(initBigFloat(7.0, 0), false, shifted(1, 0), 2);  // a precision below 1 counts as 1
    expectRecord(initBigFloat(std::numeric_limits<double>::denorm_min(), 256), false, shifted(1, 255), -1329);
    expectRecord(initBigFloat(std::numeric_limits<double>::max(), 256), false, shifted((Limb{1} << 53) - 1, 203), 768);
    for (double bad : {NAN, INFINITY, -INFINITY}) {
        try {
            initBigFloat(bad, 256);
            ADD_FAILURE() << bad;
        } catch (const corx_internal::ValueError& e) {
            EXPECT_EQ(e.message(), "initBigFloat: Inf/NaN are not representable");
        }
    }
}

TEST(InitBigFloat, AgreesWithOracleOverEveryBinade) {
    mpfr_set_emin(mpfr_get_emin_min());
    std::mt19937_64 rng(7);
    auto check = [](double x) {
        for (std::int64_t p : {1, 2, 24, 52, 53, 54, 64, 256}) {
            const BigFloat got = initBigFloat(x, p);
            Mpfr want(p), mine;
            mpfr_set_d(want, x, MPFR_RNDZ);  // exact from 53 bits up, truncated below
            assignExact(mine, got);
            ASSERT_TRUE(mpfr_equal_p(mine, want) && corx_internal::bitLength(got.mantissa) == p) << x << " at " << p;
        }
    };
    // Every binade, normal and subnormal, with random bits below the top one.
    for (int e = -1074; e <= 1023; ++e) {
        const int low = e < -1022 ? e + 1074 : 52;
        const double tail = static_cast<double>(rng() & ((std::uint64_t{1} << low) - 1));
        const double x = std::ldexp(1.0, e) + std::ldexp(tail, e - low);
        check((rng() & 1) != 0 ? -x : x);
    }
    for (int k = 0; k < 3000; ++k) {  // random bit patterns
        const std::uint64_t bits = rng();
        double x;
        std::memcpy(&x, &bits, sizeof x);
        if (std::isfinite(x) && x != 0.0) check(x);
    }
}

TEST(Normalize, TruncatesLongMantissasAndWidensShortOnes) {
    FloatOperands gen(3);
    for (int k = 0; k < 20; ++k) {
        BigFloat x = gen.value(300, -17);
        const BigFloat before = x;
        corx_internal::normalize(x, 256);
        expectRecord(x, before.negative, corx_internal::shr(before.mantissa, 44), 27);  // low 44 bits dropped
    }
    BigFloat small = gen.value(10, 5);
    const BigFloat before = small;
    corx_internal::normalize(small, 256);
    expectRecord(small, before.negative, corx_internal::shl(before.mantissa, 246), 5 - 246);

    BigFloat zero;
    zero.exponent = 12;
    zero.negative = true;
    corx_internal::normalize(zero, 256);
    expectRecord(zero, true, BigUInt{}, 0);  // exponent reset, sign untouched
}

TEST(BigFloatRecord, MovesHandTheStorageOverAndLeaveTheZeroRecord) {
    BigFloat x = initBigFloat(-3.0, 256);
    const Limb* storage = x.mantissa.limbs.data();
    BigFloat target = initBigFloat(5.0, 256);
    target = std::move(x);
    EXPECT_EQ(target.mantissa.limbs.data(), storage);
    expectRecord(target, true, shifted(3, 254), -254);
    expectRecord(x, false, BigUInt{}, 0);  // NOLINT(bugprone-use-after-move)
    const BigFloat copy = target;
    EXPECT_NE(copy.mantissa.limbs.data(), storage);
}

}  // namespace
