#include "float/arithmetic.h"

#include <algorithm>
#include <bit>
#include <cstddef>

#include "arithmetic/addition_big.h"
#include "arithmetic/bitwise_big.h"
#include "arithmetic/comparison_big.h"
#include "arithmetic/division_big.h"
#include "arithmetic/multiplication_big.h"
#include "arithmetic/subtraction_big.h"
#include "runtime/errors.h"

namespace corx {
namespace {

BigFloat roundedCopy(const BigFloat& x, std::int64_t precision, RoundingMode mode) {
    BigFloat result = x;
    normalizeRounded(result, precision, mode, false);
    if (isZero(result)) result.negative = false;
    return result;
}

// True when b is too small to need aligning with a (a's exponent is the
// larger one): b lies below 2^-64 units in the last place of a rounded to
// the precision, so a alone decides the result up to one unit step. For
// operands normalised at the precision this is exactly "the exponents are
// more than precision + 64 apart"; comparing the magnitude positions keeps
// it sound for shorter mantissas too. A mantissa longer than the precision
// (it is itself rounded) also needs b below a quarter of a's lowest bit.
bool isFarApart(const BigFloat& a, const BigFloat& b, std::int64_t precision) noexcept {
    const WideExponent gap = magnitudePosition(a) - magnitudePosition(b);
    if (gap <= WideExponent{precision} + 64) return false;
    if (bitLength(a.mantissa) <= precision) return true;
    return magnitudePosition(b) <= WideExponent{a.exponent} - 2;
}

// a + b for far-apart operands, without aligning b.
BigFloat farApartSum(const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode) {
    const bool sameSign = a.negative == b.negative;
    if (bitLength(a.mantissa) <= precision) {
        // a is exact at the precision and b is far below one unit of it, so
        // the exact sum lies strictly between a and a's neighbour on b's
        // side. Nearest gives a; a directed mode gives that neighbour when it
        // rounds toward b's side: toward zero when b has the opposite sign
        // (the sum lies below |a|), toward +inf when b is positive, toward
        // -inf when b is negative.
        BigFloat result = roundedCopy(a, precision, mode);
        switch (mode) {
            case rmNearest: break;
            case rmTowardZero:
                if (!sameSign) dropMagnitude(result, precision);
                break;
            case rmTowardPositive:
                if (!b.negative) {
                    if (result.negative) dropMagnitude(result, precision);
                    else bumpMagnitude(result, precision);
                }
                break;
            case rmTowardNegative:
                if (b.negative) {
                    if (result.negative) bumpMagnitude(result, precision);
                    else dropMagnitude(result, precision);
                }
                break;
        }
        return result;
    }
    // a is longer than the precision, so it is rounded itself, and b can
    // still break a tie or make the result inexact. |b| is below one unit of
    // 4A (A being a's mantissa, the unit 2^(exponent-2)), so the exact sum
    // lies strictly between 4A and 4A ± 1. Rounding 4A ± 1 discards at least
    // two bits, so every rounding boundary is an even number of units and
    // none falls between the sum and 4A ± 1: both round alike in every mode.
    BigFloat stand;
    stand.negative = a.negative;
    stand.exponent = a.exponent - 2;
    const BigUInt scaled = shl(a.mantissa, 2);
    stand.mantissa = sameSign ? add(scaled, initBigUInt(Limb{1})) : sub(scaled, initBigUInt(Limb{1}));
    normalizeRounded(stand, precision, mode, false);
    return stand;
}

}  // namespace

BigFloat addRounded(const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode) {
    if (isZero(a)) return roundedCopy(b, precision, mode);
    if (isZero(b)) return roundedCopy(a, precision, mode);
    if (a.exponent < b.exponent) return addRounded(b, a, precision, mode);

    if (isFarApart(a, b, precision)) return farApartSum(a, b, precision, mode);

    // Exact sum at b's exponent. Outside the far-apart case the shift is
    // bounded by the precision plus the operands' lengths.
    const auto shift = static_cast<std::int64_t>(static_cast<std::uint64_t>(a.exponent) -
                                                 static_cast<std::uint64_t>(b.exponent));
    const BigUInt aligned = shl(a.mantissa, shift);
    BigFloat result;
    result.exponent = b.exponent;
    if (a.negative == b.negative) {
        result.mantissa = add(aligned, b.mantissa);
        result.negative = a.negative;
    } else if (cmp(b.mantissa, aligned) > 0) {
        result.mantissa = sub(b.mantissa, aligned);
        result.negative = b.negative;
    } else {
        result.mantissa = sub(aligned, b.mantissa);
        result.negative = a.negative;
    }
    if (isZero(result.mantissa)) return BigFloat{};  // exact cancellation
    normalizeRounded(result, precision, mode, false);
    return result;
}

BigFloat subRounded(const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode) {
    BigFloat negated = b;
    if (!isZero(negated)) negated.negative = !negated.negative;
    return addRounded(a, negated, precision, mode);
}

BigFloat mulRounded(const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode) {
    if (isZero(a) || isZero(b)) return BigFloat{};
    BigFloat result;
    result.negative = a.negative != b.negative;
    result.exponent = a.exponent + b.exponent;
    result.mantissa = mul(a.mantissa, b.mantissa, maAuto);
    normalizeRounded(result, precision, mode, false);
    return result;
}

BigFloat divRounded(const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode) {
    if (isZero(b)) throw DivByZeroDefect("BigFloat division by zero");
    if (isZero(a)) return BigFloat{};

    BigFloat result;
    result.negative = a.negative != b.negative;

    // The dividend carries precision + 2 extra bits (more when the divisor's
    // mantissa is the longer one), so the quotient has at least
    // precision + 2 bits: the round bit always comes from the quotient and
    // the remainder only tells whether anything below it is non-zero.
    const std::int64_t lengthGap = std::max<std::int64_t>(0, bitLength(b.mantissa) - bitLength(a.mantissa));
    const std::int64_t extra = precision + 2 + lengthGap;
    const BigUInt dividend = shl(a.mantissa, extra);

    const std::vector<Limb>& divisor = b.mantissa.limbs;
    const bool onlyTopLimb =
        divisor.size() >= 2 && std::all_of(divisor.begin(), divisor.end() - 1, [](Limb l) { return l == 0; });
    std::int64_t powerOfTwo = 0;
    bool sticky = false;
    if (onlyTopLimb) {
        // A divisor d * 2^s with d one limb (every small integer made by
        // initBigFloat): short division by d, the power of two goes into
        // the exponent.
        const Limb top = divisor.back();
        const int trailing = std::countr_zero(top);
        auto [quotient, remainder] = divModLimb(dividend, top >> trailing);
        result.mantissa = std::move(quotient);
        sticky = remainder != 0;
        powerOfTwo = LimbBits * static_cast<std::int64_t>(divisor.size() - 1) + trailing;
    } else {
        auto [quotient, remainder] = divMod(dividend, b.mantissa);
        result.mantissa = std::move(quotient);
        sticky = !isZero(remainder);
    }
    result.exponent = a.exponent - b.exponent - extra - powerOfTwo;
    normalizeRounded(result, precision, mode, sticky);
    return result;
}

BigFloat operator+(const BigFloat& a, const BigFloat& b) { return addRounded(a, b, WorkingPrecision, rmNearest); }
BigFloat operator-(const BigFloat& a, const BigFloat& b) { return subRounded(a, b, WorkingPrecision, rmNearest); }
BigFloat operator*(const BigFloat& a, const BigFloat& b) { return mulRounded(a, b, WorkingPrecision, rmNearest); }
BigFloat operator/(const BigFloat& a, const BigFloat& b) { return divRounded(a, b, WorkingPrecision, rmNearest); }

}  // namespace corx
