// SPDX-License-Identifier: BSD-3-Clause
// BigFloat rounding: normalizeRounded and its unit steps, the four rounded
// operations under every mode, and cmp, all checked against MPFR.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <limits>

#include "arithmetic/addition_big.h"
#include "arithmetic/bitwise_big.h"
#include "arithmetic/subtraction_big.h"
#include "float/arithmetic.h"
#include "float/comparison.h"
#include "runtime/errors.h"
#include "support/bigfloat_oracle.h"
#include "support/biguint_oracle.h"

using namespace corx_test;
using corx_internal::bitLength;
using corx_internal::initBigUInt;

namespace {

class FloatRounding : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        mpfr_set_emin(mpfr_get_emin_min());
        mpfr_set_emax(mpfr_get_emax_max());
    }
};

BigFloat make(bool negative, Limb mantissa, std::int64_t exponent) {
    BigFloat x;
    x.negative = negative;
    x.mantissa = initBigUInt(mantissa);
    x.exponent = exponent;
    return x;
}

// Same value as the oracle, normalised at p, or else the canonical zero.
bool agrees(const BigFloat& got, mpfr_ptr want, std::int64_t p) {
    Mpfr g;
    assignExact(g, got);
    const bool wellFormed =
        corx_internal::isZero(got) ? !got.negative && got.exponent == 0 : bitLength(got.mantissa) == p;
    return wellFormed && mpfr_equal_p(g, want);
}

TEST_F(FloatRounding, PrecisionFourTiesCarriesAndDirectedModes) {
    // Mantissa 21 = 10101b discards exactly half a unit: a tie, away from zero.
    struct Case { Limb mantissa, nearest, towardZero, away; };
    for (const Case& c : {Case{21, 22, 20, 22}, Case{23, 24, 22, 24}, Case{22, 22, 22, 22}, Case{31, 32, 30, 32}}) {
        for (bool negative : {false, true}) {
            const Limb want[] = {c.nearest, c.towardZero, negative ? c.towardZero : c.away,
                                 negative ? c.away : c.towardZero};
            for (int m = 0; m < 4; ++m) {
                BigFloat x = make(negative, c.mantissa, 0);
                corx_internal::normalizeRounded(x, 4, kAllModes[m], false);
                EXPECT_TRUE(bitLength(x.mantissa) == 4 && x.negative == negative &&
                            (x.mantissa.limbs[0] << x.exponent) == want[m])
                    << c.mantissa << " mode " << m << " negative " << negative << ": " << describe(x);
            }
        }
    }
    // Nothing discarded: a sticky flag moves only a directed mode rounding away from zero.
    for (int m = 0; m < 4; ++m) {
        BigFloat x = make(true, 5, 3);
        corx_internal::normalizeRounded(x, 4, kAllModes[m], true);
        EXPECT_TRUE(x.exponent == 2 && x.mantissa == initBigUInt(Limb{m == 3 ? 11u : 10u})) << m;
    }
}

TEST_F(FloatRounding, UnitStepsReachTheNeighbouringValues) {
    FloatOperands gen(12);
    for (std::int64_t p : {1, 2, 3, 64, 65, 256}) {
        for (int k = 0; k < 100; ++k) {
            const BigFloat x = gen.value(p, 25 - gen.below(50));
            Mpfr away, toward;
            assignExact(away, x);
            assignExact(toward, x);
            x.negative ? mpfr_nextbelow(away) : mpfr_nextabove(away);
            x.negative ? mpfr_nextabove(toward) : mpfr_nextbelow(toward);
            BigFloat bumped = x, dropped = x;
            corx_internal::bumpMagnitude(bumped, p);
            corx_internal::dropMagnitude(dropped, p);
            ASSERT_TRUE(agrees(bumped, away, p) && agrees(dropped, toward, p)) << describe(x) << " p " << p;
        }
    }
    BigFloat zero;
    corx_internal::dropMagnitude(zero, 4);
    EXPECT_TRUE(corx_internal::isZero(zero));
}

using RoundedFn = BigFloat (*)(const BigFloat&, const BigFloat&, std::int64_t, RoundingMode);
struct Operation { RoundedFn mine; MpfrBinary oracle; };
const Operation kAdd{corx_internal::addRounded, mpfr_add}, kSub{corx_internal::subRounded, mpfr_sub},
    kMul{corx_internal::mulRounded, mpfr_mul}, kDiv{corx_internal::divRounded, mpfr_div};

// One case under every mode; returns whether the exact result was a tie.
bool expectAgrees(const Operation& op, const BigFloat& a, const BigFloat& b, std::int64_t p) {
    Mpfr ma, mb, want;
    assignExact(ma, a);
    assignExact(mb, b);
    bool tie = false;
    for (RoundingMode mode : kAllModes) {
        tie = roundedOp(want, p, op.oracle, ma, mb, mode) || tie;
        const BigFloat got = op.mine(a, b, p, mode);
        EXPECT_TRUE(agrees(got, want, p)) << "p " << p << " mode " << int(mode) << "\n a " << describe(a)
                                          << "\n b " << describe(b) << "\n got " << describe(got);
    }
    return tie;
}

const std::int64_t kPrecisions[] = {1, 2, 3, 4, 5, 8, 13, 53, 63, 64, 65, 127, 128, 129, 200, 256};

// Mostly exactly p bits (every value the library makes); sometimes fewer or more.
std::int64_t operandBits(FloatOperands& gen, std::int64_t p) {
    const std::uint64_t pick = gen.below(8);
    if (pick == 0) return 1 + gen.below(p);
    return pick == 1 ? p + 1 + gen.below(70) : p;
}

TEST_F(FloatRounding, AddAndSubAgreeWithOracle) {
    FloatOperands gen(21);
    int ties = 0, farApart = 0;
    for (std::int64_t p : kPrecisions) {
        // Gaps between exponents: overlapping, touching, both sides of p + 64, huge.
        const std::int64_t gaps[] = {0, 1, 2, p - 1, p, p + 1, p + 2, p + 62, p + 63, p + 64, p + 65, p + 66,
                                     2 * p + 70, 1000000};
        for (int k = 0; k < 500; ++k) {
            std::int64_t gap = gen.below(3) == 0 ? gen.below(p + 80) : gaps[gen.below(std::size(gaps))];
            // Draws in a fixed order (the order of function arguments is not).
            const std::int64_t exponentA = 200 - gen.below(400);
            BigFloat a = gen.value(operandBits(gen, p), exponentA);
            const std::int64_t exponentB = a.exponent - (gen.coin() ? gap : -gap);
            BigFloat b = gen.value(operandBits(gen, p), exponentB);
            switch (gen.below(8)) {
                case 0:  // exact or near cancellation
                    b = a;
                    b.negative = !a.negative;
                    if (gen.coin()) b.mantissa = corx_internal::add(b.mantissa, initBigUInt(Limb{1}));
                    break;
                case 1:  // half a unit of a at precision p
                    b = make(gen.coin(), 1, a.exponent + bitLength(a.mantissa) - p - 1);
                    break;
                case 2:  // a zero operand, its sign flag set or not
                    (gen.coin() ? a : b) = make(gen.coin(), 0, 7);
                    break;
            }
            farApart += bitLength(a.mantissa) == p && bitLength(b.mantissa) == p &&
                        std::abs(a.exponent - b.exponent) > p + 64;
            ties += expectAgrees(kAdd, a, b, p) + expectAgrees(kSub, a, b, p);
            if (HasFailure()) return;
        }
    }
    EXPECT_GT(ties, 100);
    EXPECT_GT(farApart, 500);
}

TEST_F(FloatRounding, FarApartOperandsAtWorkingPrecision) {
    const BigFloat one = corx_internal::initBigFloat(1.0, 256);
    const BigFloat tiny = make(false, 1, -400), negTiny = make(true, 1, -400);
    const BigUInt allOnes = corx_internal::sub(corx_internal::shl(initBigUInt(Limb{1}), 256), initBigUInt(Limb{1}));
    // 1 - 2^-400 lies below 1: toward -inf and toward zero both give 2^256 - 1 at -256.
    for (RoundingMode mode : {corx_internal::rmTowardNegative, corx_internal::rmTowardZero}) {
        const BigFloat below = corx_internal::addRounded(one, negTiny, 256, mode);
        EXPECT_TRUE(below.mantissa == allOnes && below.exponent == -256) << int(mode);
    }
    EXPECT_EQ(corx_internal::cmp(corx_internal::addRounded(one, negTiny, 256, corx_internal::rmNearest), one), 0);
    EXPECT_EQ(corx_internal::addRounded(one, tiny, 256, corx_internal::rmTowardPositive).mantissa.limbs[0], 1u);
    // A one-bit mantissa 321 exponents above a full one: the full one still
    // reaches into the last place of the 256-bit result and must count.
    BigFloat full = corx_internal::initBigFloat(1.0 + 0x1p-52, 256);
    full.exponent = 1000 - 321;
    expectAgrees(kAdd, make(false, 1, 1000), full, 256);
    expectAgrees(kSub, make(false, 1, 1000), full, 256);
}

TEST_F(FloatRounding, MulAndDivAgreeWithOracle) {
    FloatOperands gen(31);
    int mulTies = 0, divTies = 0;
    for (std::int64_t p : kPrecisions) {
        for (int k = 0; k < 400; ++k) {
            const std::int64_t exponentA = 300 - gen.below(600);
            BigFloat a = gen.value(operandBits(gen, p), exponentA);
            const std::int64_t exponentB = 300 - gen.below(600);
            BigFloat b = gen.value(operandBits(gen, p), exponentB);
            if (gen.below(20) == 0) (gen.coin() ? a : b) = BigFloat{};
            mulTies += expectAgrees(kMul, a, b, p);
            switch (gen.below(4)) {
                case 0:  // a small integer divisor: at wide precisions only its top limb is non-zero
                    b = corx_internal::initBigFloat(static_cast<double>(1 + gen.below(1000)), p);
                    break;
                case 1: {  // an exact quotient of p or p + 1 bits, or one just above it
                    const BigFloat q = gen.value(p + gen.below(2), 0);
                    a = corx_internal::mulRounded(q, b, 4 * p + 200, corx_internal::rmNearest);  // exact
                    if (gen.coin()) a.mantissa = corx_internal::add(a.mantissa, initBigUInt(Limb{1}));
                    break;
                }
            }
            if (corx_internal::isZero(b)) continue;
            divTies += expectAgrees(kDiv, a, b, p);
            if (HasFailure()) return;
        }
    }
    EXPECT_GT(mulTies, 20);
    EXPECT_GT(divTies, 200);
}

TEST_F(FloatRounding, DivisionRemainderAndErrors) {
    // Divisor d * 2^64 (only the top limb set) and a long dividend giving the
    // quotient exactly 2^m with a non-zero remainder: only the remainder
    // shows the true quotient lies above 2^m.
    const Limb d = (Limb{1} << 59) + 3;
    for (int m : {12, 40, 70}) {
        BigFloat a, b;
        a.mantissa = corx_internal::add(corx_internal::shl(initBigUInt(d), m - 4), initBigUInt(Limb{1}));
        b.mantissa = initBigUInt({Limb{0}, d});
        expectAgrees(kDiv, a, b, 2);
    }
    BigUInt third;  // 1/3 at 256 bits: AAAA...AAAB at -257
    third.limbs.assign(4, 0xAAAAAAAAAAAAAAAAu);
    third.limbs[0] += 1;
    const BigFloat q = corx_internal::initBigFloat(1.0, 256) / corx_internal::initBigFloat(3.0, 256);
    EXPECT_TRUE(q.mantissa == third && q.exponent == -257);
    for (const BigFloat& dividend : {corx_internal::initBigFloat(1.0, 256), BigFloat{}}) {
        try {
            corx_internal::divRounded(dividend, make(true, 0, 3), 256, corx_internal::rmNearest);
            ADD_FAILURE() << "division by zero must raise";
        } catch (const corx_internal::DivByZeroDefect& e) {
            EXPECT_EQ(e.message(), "BigFloat division by zero");
        }
    }
}

TEST_F(FloatRounding, ExponentsNearTheInt64EndsRaiseInsteadOfWrapping) {
    using corx_internal::rmNearest;
    constexpr std::int64_t top = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t bottom = std::numeric_limits<std::int64_t>::min();
    const char* overflow = "BigFloat exponent overflow";
    auto raises = [&](const std::function<void()>& call) {
        expectRaises<corx_internal::OverflowDefect>(call, "OverflowDefect", overflow);
    };
    // Results whose exponents fit, though a sum of the operands' exponents
    // on the way does not fit 64 bits: 2^top / 2^-1 = 2^(top+1), 15 at top-30.
    const BigFloat quotient = corx_internal::divRounded(make(false, 1, top), make(false, 1, -1), 4, rmNearest);
    EXPECT_TRUE(quotient.mantissa == initBigUInt(Limb{8}) && quotient.exponent == top - 2) << describe(quotient);
    const BigFloat product = corx_internal::mulRounded(make(true, 3, top - 10), make(false, 5, -20), 4, rmNearest);
    EXPECT_TRUE(product.negative && product.mantissa == initBigUInt(Limb{15}) && product.exponent == top - 30)
        << describe(product);
    // Exponents that leave the range: products, quotients (a one-limb
    // divisor, and a divisor with only its top limb set), the rounding
    // adjustment and the carry of a unit step.
    raises([&] { corx_internal::mulRounded(make(false, 3, top - 1), make(false, 5, 2), 4, rmNearest); });
    raises([&] { corx_internal::mulRounded(make(false, 3, bottom + 1), make(false, 5, -2), 4, rmNearest); });
    raises([&] { corx_internal::divRounded(make(false, 1, bottom), make(false, 3, 10), 256, rmNearest); });
    BigFloat topLimbOnly;
    topLimbOnly.mantissa = initBigUInt({Limb{0}, Limb{3}});
    topLimbOnly.exponent = 200;
    raises([&] { corx_internal::divRounded(make(false, 1, bottom + 100), topLimbOnly, 256, rmNearest); });
    raises([&] {
        BigFloat x = make(false, 0xFF, top - 2);
        corx_internal::normalizeRounded(x, 4, rmNearest, false);
    });
    raises([&] {
        BigFloat x = make(false, 15, top);
        corx_internal::bumpMagnitude(x, 4);
    });
    raises([&] {
        BigFloat x = make(false, 8, bottom);
        corx_internal::dropMagnitude(x, 4);
    });
}

TEST_F(FloatRounding, CmpAgreesWithOracle) {
    FloatOperands gen(61);
    for (int k = 0; k < 2000; ++k) {
        const std::int64_t exponentA = 20 - gen.below(40);
        BigFloat a = gen.value(1 + gen.below(200), exponentA);
        const std::int64_t exponentB = 20 - gen.below(40);
        BigFloat b = gen.value(1 + gen.below(200), exponentB);
        const std::int64_t shift = gen.below(130);
        switch (gen.below(4)) {
            case 0:  // the same value written at a lower exponent, or a value just above it
                b = a;
                b.mantissa = corx_internal::shl(a.mantissa, shift);
                b.exponent -= shift;
                if (gen.coin()) b.mantissa = corx_internal::add(b.mantissa, initBigUInt(Limb{1} << (shift % 64)));
                break;
            case 1:  // a zero, its sign flag set or not
                b = make(gen.coin(), 0, 5);
                break;
        }
        if (gen.coin()) std::swap(a, b);
        Mpfr ma, mb;
        assignExact(ma, a);
        assignExact(mb, b);
        const int want = mpfr_cmp(ma, mb);
        ASSERT_EQ(corx_internal::cmp(a, b), (want > 0) - (want < 0)) << describe(a) << " vs " << describe(b);
    }
}

}  // namespace
