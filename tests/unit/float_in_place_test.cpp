// SPDX-License-Identifier: BSD-3-Clause
// The in-place forms of the BigFloat operations (addRoundedInto,
// mulRoundedInto, divRoundedInto, initBigFloatInto), assignRounded, and the
// inline limb divisions they use: every result must be the same record as the
// value-returning form gives (which MPFR checks here too), whatever storage
// the destination held before and whichever operand it is.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "arithmetic/primitives.h"
#include "float/arithmetic.h"
#include "runtime/errors.h"
#include "support/bigfloat_oracle.h"

using namespace corx_test;
using corx_internal::bitLength;

namespace {

class FloatInPlace : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        mpfr_set_emin(mpfr_get_emin_min());
        mpfr_set_emax(mpfr_get_emax_max());
    }
};

bool sameRecord(const BigFloat& x, const BigFloat& y) {
    return x.negative == y.negative && x.exponent == y.exponent && x.mantissa == y.mantissa;
}

// A destination that already holds something: a long mantissa (spare
// capacity), a short one, or nothing.
BigFloat staleValue(FloatOperands& gen) {
    switch (gen.below(3)) {
        case 0: return gen.value(1 + static_cast<std::int64_t>(gen.below(900)), 77);
        case 1: return gen.value(3, -5);
        default: return BigFloat{};
    }
}

using RoundedFn = BigFloat (*)(const BigFloat&, const BigFloat&, std::int64_t, RoundingMode);
using IntoFn = void (*)(BigFloat&, const BigFloat&, const BigFloat&, std::int64_t, RoundingMode);
struct Operation {
    RoundedFn value;
    IntoFn into;
    MpfrBinary oracle;
    const char* name;
};
const Operation kOperations[] = {
    {corx_internal::addRounded, corx_internal::addRoundedInto, mpfr_add, "add"},
    {corx_internal::mulRounded, corx_internal::mulRoundedInto, mpfr_mul, "mul"},
    {corx_internal::divRounded, corx_internal::divRoundedInto, mpfr_div, "div"},
};

// The value form against MPFR, then the in-place form into a stale
// destination, onto a copy of a, onto a copy of b, and onto a single copy
// standing for both operands when they are equal.
void expectAllFormsAgree(FloatOperands& gen, const Operation& op, const BigFloat& a, const BigFloat& b,
                         std::int64_t p) {
    Mpfr ma, mb, want;
    assignExact(ma, a);
    assignExact(mb, b);
    for (RoundingMode mode : kAllModes) {
        const BigFloat expected = op.value(a, b, p, mode);
        roundedOp(want, p, op.oracle, ma, mb, mode);
        Mpfr got;
        assignExact(got, expected);
        const bool wellFormed = corx_internal::isZero(expected) ? !expected.negative && expected.exponent == 0
                                                       : bitLength(expected.mantissa) == p;
        ASSERT_TRUE(wellFormed && mpfr_equal_p(got, want))
            << op.name << " p " << p << " mode " << int(mode) << "\n a " << describe(a) << "\n b " << describe(b)
            << "\n got " << describe(expected);

        BigFloat fresh = staleValue(gen);
        op.into(fresh, a, b, p, mode);
        BigFloat first = a;
        op.into(first, first, b, p, mode);
        BigFloat second = b;
        op.into(second, a, second, p, mode);
        ASSERT_TRUE(sameRecord(fresh, expected) && sameRecord(first, expected) && sameRecord(second, expected))
            << op.name << " p " << p << " mode " << int(mode) << "\n a " << describe(a) << "\n b " << describe(b)
            << "\n want " << describe(expected) << "\n into " << describe(fresh) << "\n onto a "
            << describe(first) << "\n onto b " << describe(second);
        if (sameRecord(a, b)) {
            BigFloat both = a;
            op.into(both, both, both, p, mode);
            ASSERT_TRUE(sameRecord(both, expected)) << op.name << " p " << p << " mode " << int(mode);
        }
    }
}

TEST_F(FloatInPlace, IntoFormsAgreeWithValueFormsAndOracle) {
    FloatOperands gen(97);
    int smallDivisors = 0;
    for (std::int64_t p : {1, 2, 53, 64, 65, 191, 255, 256, 257, 300, 1000}) {
        for (int k = 0; k < 150; ++k) {
            const std::int64_t bitsA = gen.below(4) == 0 ? 1 + static_cast<std::int64_t>(gen.below(2 * p + 70)) : p;
            const std::int64_t bitsB = gen.below(4) == 0 ? 1 + static_cast<std::int64_t>(gen.below(2 * p + 70)) : p;
            BigFloat a = gen.value(bitsA, 400 - static_cast<std::int64_t>(gen.below(800)));
            BigFloat b = gen.value(bitsB, a.exponent - static_cast<std::int64_t>(gen.below(2 * p + 200)) + p);
            switch (gen.below(6)) {
                case 0: b = a; break;                                    // equal operands
                case 1: b = a; b.negative = !a.negative; break;          // exact cancellation
                case 2: (gen.coin() ? a : b) = BigFloat{}; break;        // a zero operand
                case 3:                                                  // far below a
                    b.exponent = a.exponent - p - 64 - static_cast<std::int64_t>(gen.below(400));
                    break;
            }
            for (const Operation& op : kOperations) {
                if (op.into == corx_internal::divRoundedInto && corx_internal::isZero(b)) continue;
                expectAllFormsAgree(gen, op, a, b, p);
                if (HasFailure()) return;
            }
            // A small integer divisor, the shape of every divisor of the series.
            const BigFloat d = corx_internal::initBigFloat(static_cast<double>(1 + gen.below(1000)), p);
            expectAllFormsAgree(gen, kOperations[2], a.mantissa.limbs.empty() ? gen.value(p, 3) : a, d, p);
            ++smallDivisors;
            if (HasFailure()) return;
        }
    }
    EXPECT_GT(smallDivisors, 1000);
}

TEST_F(FloatInPlace, DivisionByZeroLeavesTheDestinationAlone) {
    const BigFloat one = corx_internal::initBigFloat(1.0, 256);
    BigFloat out = corx_internal::initBigFloat(3.0, 256);
    const BigFloat before = out;
    EXPECT_THROW(corx_internal::divRoundedInto(out, one, BigFloat{}, 256, corx_internal::rmNearest), corx_internal::DivByZeroDefect);
    EXPECT_TRUE(sameRecord(out, before));
}

TEST_F(FloatInPlace, InitBigFloatIntoAgreesWithInitBigFloatAndOracle) {
    FloatOperands gen(5);
    const double values[] = {1.0,     2.0,    3.0,   5.0,      239.0,  399.0,    0x1p53 - 1, 0.1,
                             -7.5,    1e300,  -1e-300, 4.9e-324, 0x1p-1074 * 3, 0.0, -0.0, 65535.0};
    for (std::int64_t p : {-3, 1, 2, 3, 52, 53, 54, 63, 64, 65, 127, 128, 129, 203, 256, 257, 1000}) {
        for (double x : values) {
            const BigFloat expected = corx_internal::initBigFloat(x, p);
            BigFloat reused = staleValue(gen);
            corx_internal::initBigFloatInto(reused, x, p);
            ASSERT_TRUE(sameRecord(reused, expected)) << x << " p " << p << ": " << describe(reused);
            // The leading min(p, 53) bits of x, truncated, then widened exactly.
            const std::int64_t q = std::max<std::int64_t>(p, 1);
            Mpfr want(std::min<std::int64_t>(q, 53));
            mpfr_set_d(want, x, MPFR_RNDZ);
            Mpfr got;
            assignExact(got, expected);
            const bool wellFormed = x == 0.0 ? corx_internal::isZero(expected) && !expected.negative && expected.exponent == 0
                                             : bitLength(expected.mantissa) == q;
            ASSERT_TRUE(wellFormed && mpfr_equal_p(got, want)) << x << " p " << p << ": " << describe(expected);
        }
    }
    BigFloat out = corx_internal::initBigFloat(2.0, 256);
    const BigFloat before = out;
    EXPECT_THROW(corx_internal::initBigFloatInto(out, std::nan(""), 256), corx_internal::ValueError);
    EXPECT_THROW(corx_internal::initBigFloatInto(out, -INFINITY, 256), corx_internal::ValueError);
    EXPECT_TRUE(sameRecord(out, before));
}

TEST_F(FloatInPlace, AssignRoundedAgreesWithNormalizeRounded) {
    FloatOperands gen(41);
    for (int k = 0; k < 20000; ++k) {
        const std::int64_t exponent = 50 - static_cast<std::int64_t>(gen.below(100));  // drawn first
        BigFloat x = gen.value(1 + static_cast<std::int64_t>(gen.below(700)), exponent);
        if (gen.below(30) == 0) x = BigFloat{};
        const std::int64_t p = gen.below(10) == 0 ? 1 + static_cast<std::int64_t>(gen.below(3))
                                                  : 1 + static_cast<std::int64_t>(gen.below(800));
        const RoundingMode mode = kAllModes[gen.below(4)];
        const bool sticky = gen.coin();
        BigFloat expected = x;
        corx_internal::normalizeRounded(expected, p, mode, sticky);
        BigFloat got = staleValue(gen);
        got.negative = x.negative;
        got.exponent = x.exponent;
        corx_internal::assignRounded(got, x.mantissa.limbs, p, mode, sticky);
        ASSERT_TRUE(sameRecord(got, expected)) << describe(x) << " p " << p << " mode " << int(mode) << " sticky "
                                               << sticky << "\n want " << describe(expected) << "\n got "
                                               << describe(got);
    }
}

TEST(LimbDivision, InlineAndReciprocalStepsAgreeWithWideDivision) {
    using Wide = corx_internal::DoubleLimb;
    std::mt19937_64 rng(8);
    const Limb top = ~Limb{0};
    const Limb divisors[] = {1, 2, 3, 5, 239, 399, Limb{1} << 63, (Limb{1} << 63) + 1, top, top - 1, 0xFFFFFFFFu};
    auto check = [](Limb hi, Limb lo, Limb d) {
        const Wide n = (static_cast<Wide>(hi) << 64) | lo;
        const auto wantQ = static_cast<Limb>(n / d);
        const auto wantR = static_cast<Limb>(n % d);
        const auto [q, r] = corx_internal::divideDoubleLimb(hi, lo, d);
        EXPECT_TRUE(q == wantQ && r == wantR) << hi << ":" << lo << " / " << d;
        const corx_internal::LimbReciprocal reciprocal = corx_internal::limbReciprocal(d);
        ASSERT_EQ(reciprocal.divisor, d << reciprocal.shift);
        ASSERT_NE(reciprocal.divisor >> 63, 0u);
        // The same division with both sides shifted: hi < d keeps the
        // shifted high limb below the normalised divisor.
        const Wide shifted = n << reciprocal.shift;
        const auto sHi = static_cast<Limb>(shifted >> 64);
        const auto sLo = static_cast<Limb>(shifted);
        const auto [q2, r2] = corx_internal::divideDoubleLimb(sHi, sLo, reciprocal);
        EXPECT_TRUE(q2 == wantQ && r2 == (wantR << reciprocal.shift)) << hi << ":" << lo << " / " << d;
    };
    for (Limb d : divisors) {
        for (Limb hi : {Limb{0}, d - 1, d / 2}) {
            for (Limb lo : {Limb{0}, Limb{1}, top, top - 1, Limb{1} << 63}) check(hi < d ? hi : 0, lo, d);
        }
    }
    for (int k = 0; k < 200000 && !::testing::Test::HasFailure(); ++k) {
        Limb d = rng() >> (rng() % 64);
        if (d == 0) d = 1;
        const Limb hi = rng() % d;
        check(hi, rng(), d);
    }
}

}  // namespace
