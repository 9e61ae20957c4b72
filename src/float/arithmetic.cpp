// SPDX-License-Identifier: BSD-3-Clause
#include "float/arithmetic.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <limits>
#include <span>
#include <utility>

#include "arithmetic/addition_big.h"
#include "arithmetic/bitwise_big.h"
#include "arithmetic/comparison_big.h"
#include "arithmetic/division_big.h"
#include "arithmetic/multiplication_big.h"
#include "arithmetic/subtraction_big.h"
#include "runtime/errors.h"

namespace corx_internal {
namespace {

// Operands whose exact intermediate results fit this many limbs (every
// operation at the working precision, and well beyond) are worked on in
// stack storage; only the rounded result is stored in the destination.
// Longer ones go through the BigUInt routines.
constexpr std::size_t kStackLimbs = 24;

// limbs[0 .. n-1] without its zero top limbs.
std::span<const Limb> significant(const Limb* limbs, std::size_t n) noexcept {
    return {limbs, significantLength(std::span<const Limb>(limbs, n))};
}

// Stores the exact value (-1)^negative * limbs * 2^exponent (limbs in normal
// form, non-zero) into out and rounds it there.
void storeRounded(BigFloat& out, bool negative, std::int64_t exponent, std::span<const Limb> limbs,
                  std::int64_t precision, RoundingMode mode, bool sticky) {
    out.negative = negative;
    out.exponent = exponent;
    assignRounded(out, limbs, precision, mode, sticky);
}

void roundedCopyInto(BigFloat& out, const BigFloat& x, std::int64_t precision, RoundingMode mode) {
    if (&out != &x) out = x;  // copy assignment keeps out's storage when it is large enough
    normalizeRounded(out, precision, mode, false);
    if (isZero(out)) out.negative = false;
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

// a + b for far-apart operands, without aligning b. out may be a or b.
void farApartSumInto(BigFloat& out, const BigFloat& a, const BigFloat& b, std::int64_t precision,
                     RoundingMode mode) {
    const bool sameSign = a.negative == b.negative;
    const bool bNegative = b.negative;  // b may be overwritten below
    if (bitLength(a.mantissa) <= precision) {
        // a is exact at the precision and b is far below one unit of it, so
        // the exact sum lies strictly between a and a's neighbour on b's
        // side. Nearest gives a; a directed mode gives that neighbour when it
        // rounds toward b's side: toward zero when b has the opposite sign
        // (the sum lies below |a|), toward +inf when b is positive, toward
        // -inf when b is negative.
        roundedCopyInto(out, a, precision, mode);
        BigFloat& result = out;
        switch (mode) {
            case rmNearest: break;
            case rmTowardZero:
                if (!sameSign) dropMagnitude(result, precision);
                break;
            case rmTowardPositive:
                if (!bNegative) {
                    if (result.negative) dropMagnitude(result, precision);
                    else bumpMagnitude(result, precision);
                }
                break;
            case rmTowardNegative:
                if (bNegative) {
                    if (result.negative) bumpMagnitude(result, precision);
                    else dropMagnitude(result, precision);
                }
                break;
        }
        return;
    }
    // a is longer than the precision, so it is rounded itself, and b can
    // still break a tie or make the result inexact. |b| is below one unit of
    // 4A (A being a's mantissa, the unit 2^(exponent-2)), so the exact sum
    // lies strictly between 4A and 4A ± 1. Rounding 4A ± 1 discards at least
    // two bits, so every rounding boundary is an even number of units and
    // none falls between the sum and 4A ± 1: both round alike in every mode.
    BigFloat stand;
    stand.negative = a.negative;
    stand.exponent = narrowExponent(WideExponent{a.exponent} - 2);
    const BigUInt scaled = shl(a.mantissa, 2);
    stand.mantissa = sameSign ? add(scaled, initBigUInt(Limb{1})) : sub(scaled, initBigUInt(Limb{1}));
    normalizeRounded(stand, precision, mode, false);
    out = std::move(stand);
}

}  // namespace

void addRoundedInto(BigFloat& out, const BigFloat& a, const BigFloat& b, std::int64_t precision,
                    RoundingMode mode) {
    if (isZero(a)) return roundedCopyInto(out, b, precision, mode);
    if (isZero(b)) return roundedCopyInto(out, a, precision, mode);
    if (a.exponent < b.exponent) return addRoundedInto(out, b, a, precision, mode);

    if (isFarApart(a, b, precision)) return farApartSumInto(out, a, b, precision, mode);

    // Exact sum at b's exponent. Outside the far-apart case the shift is
    // bounded by the precision plus the operands' lengths.
    const auto shift = static_cast<std::int64_t>(static_cast<std::uint64_t>(a.exponent) -
                                                 static_cast<std::uint64_t>(b.exponent));
    const std::int64_t exponent = b.exponent;
    const std::size_t aLength = a.mantissa.limbs.size();
    const std::size_t bLength = b.mantissa.limbs.size();
    const auto wholeShift = static_cast<std::uint64_t>(shift) / LimbBits;
    if (wholeShift < kStackLimbs && aLength + wholeShift + 1 <= kStackLimbs && bLength <= kStackLimbs) {
        // a's mantissa shifted onto b's exponent, then the sum or the
        // difference of the magnitudes, all in stack storage.
        const std::size_t whole = wholeShift;
        Limb alignedStore[kStackLimbs];
        std::fill_n(alignedStore, whole, Limb{0});
        alignedStore[whole + aLength] =
            shiftLeftLimbs(std::span<Limb>(alignedStore + whole, aLength), a.mantissa.limbs,
                           static_cast<unsigned>(static_cast<std::uint64_t>(shift) % LimbBits));
        const std::span<const Limb> aligned = significant(alignedStore, whole + aLength + 1);
        const std::span<const Limb> bl = b.mantissa.limbs;

        Limb r[kStackLimbs + 1];
        std::size_t length = 0;
        bool negative = false;
        if (a.negative == b.negative) {
            const bool alignedLonger = aligned.size() >= bl.size();
            const std::span<const Limb> longer = alignedLonger ? aligned : bl;
            const std::span<const Limb> shorter = alignedLonger ? bl : aligned;
            const std::span<Limb> rs(r, longer.size() + 1);
            Limb carry = addN(rs.first(shorter.size()), longer, shorter);
            carry = addCarry(rs.subspan(shorter.size(), longer.size() - shorter.size()),
                             longer.subspan(shorter.size()), carry);
            rs[longer.size()] = carry;
            length = significantLength(rs);
            negative = a.negative;
        } else {
            const bool bLarger = compareLimbs(bl, aligned) > 0;
            const std::span<const Limb> larger = bLarger ? bl : aligned;
            const std::span<const Limb> smaller = bLarger ? aligned : bl;
            const std::span<Limb> rs(r, larger.size());
            const Limb borrow = subN(rs.first(smaller.size()), larger, smaller);
            subBorrow(rs.subspan(smaller.size()), larger.subspan(smaller.size()), borrow);
            length = significantLength(rs);
            negative = bLarger ? b.negative : a.negative;
        }
        if (length == 0) {  // exact cancellation
            out = BigFloat{};
            return;
        }
        storeRounded(out, negative, exponent, std::span<const Limb>(r, length), precision, mode, false);
        return;
    }

    const BigUInt aligned = shl(a.mantissa, shift);
    BigFloat result;
    result.exponent = exponent;
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
    if (isZero(result.mantissa)) {  // exact cancellation
        out = BigFloat{};
        return;
    }
    normalizeRounded(result, precision, mode, false);
    out = std::move(result);
}

BigFloat addRounded(const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode) {
    BigFloat result;
    addRoundedInto(result, a, b, precision, mode);
    return result;
}

BigFloat subRounded(const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode) {
    BigFloat negated = b;
    if (!isZero(negated)) negated.negative = !negated.negative;
    return addRounded(a, negated, precision, mode);
}

void mulRoundedInto(BigFloat& out, const BigFloat& a, const BigFloat& b, std::int64_t precision,
                    RoundingMode mode) {
    if (isZero(a) || isZero(b)) {
        out = BigFloat{};
        return;
    }
    const bool negative = a.negative != b.negative;
    const std::int64_t exponent = narrowExponent(WideExponent{a.exponent} + b.exponent);
    const std::span<const Limb> al = a.mantissa.limbs;
    const std::span<const Limb> bl = b.mantissa.limbs;
    if (al.size() == 4 && bl.size() == 4) {
        // Two mantissas of the working precision: the same product with
        // lengths the compiler knows, so its loops are unrolled.
        Limb product[8];
        mulLimbs(product, al.first<4>(), bl.first<4>());
        storeRounded(out, negative, exponent, significant(product, 8), precision, mode, false);
        return;
    }
    if (al.size() + bl.size() <= kStackLimbs) {
        // The schoolbook product in stack storage.
        Limb product[kStackLimbs];
        const std::size_t length = al.size() + bl.size();
        mulLimbs(std::span<Limb>(product, length), al, bl);
        storeRounded(out, negative, exponent, significant(product, length), precision, mode, false);
        return;
    }
    BigFloat result;
    result.negative = negative;
    result.exponent = exponent;
    result.mantissa = mul(a.mantissa, b.mantissa, maAuto);
    normalizeRounded(result, precision, mode, false);
    out = std::move(result);
}

BigFloat mulRounded(const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode) {
    BigFloat result;
    mulRoundedInto(result, a, b, precision, mode);
    return result;
}

void divRoundedInto(BigFloat& out, const BigFloat& a, const BigFloat& b, std::int64_t precision,
                    RoundingMode mode) {
    if (isZero(b)) throw DivByZeroDefect("BigFloat division by zero");
    if (isZero(a)) {
        out = BigFloat{};
        return;
    }
    const bool negative = a.negative != b.negative;

    // The dividend carries precision + 2 extra bits (more when the divisor's
    // mantissa is the longer one), so the quotient has at least
    // precision + 2 bits: the round bit always comes from the quotient and
    // the remainder only tells whether anything below it is non-zero.
    const std::int64_t lengthGap = std::max<std::int64_t>(0, bitLength(b.mantissa) - bitLength(a.mantissa));
    const std::int64_t extra = narrowExponent(WideExponent{precision} + 2 + lengthGap);

    const std::vector<Limb>& divisor = b.mantissa.limbs;
    const bool onlyTopLimb =
        divisor.size() >= 2 && std::all_of(divisor.begin(), divisor.end() - 1, [](Limb l) { return l == 0; });
    // The quotient's exponent before its digits are placed; the exponents
    // stored below are checked.
    const WideExponent exponentBase = WideExponent{a.exponent} - b.exponent - extra;
    if (onlyTopLimb) {
        // A divisor d * 2^s with d one limb (every small integer made by
        // initBigFloat): short division by d, the power of two goes into
        // the exponent.
        const Limb top = divisor.back();
        const int trailing = std::countr_zero(top);
        const Limb d = top >> trailing;
        const std::int64_t powerOfTwo = LimbBits * static_cast<std::int64_t>(divisor.size() - 1) + trailing;
        const std::span<const Limb> al = a.mantissa.limbs;
        const LimbReciprocal reciprocal = limbReciprocal(d);  // d is not zero: top is not
        if (extra >= 0 && extra < std::numeric_limits<std::int64_t>::max() - LimbBits &&
            static_cast<std::uint64_t>(extra + reciprocal.shift) / LimbBits + al.size() + 1 <= kStackLimbs) {
            // The short division in stack storage, one limb step per limb
            // from the top down, by the normalised divisor d << shift. The
            // dividend is therefore a << (extra + shift): every quotient
            // digit is that of a << extra by d, and the remainder is shifted
            // too, which leaves it zero exactly when it was zero.
            const std::uint64_t totalShift = static_cast<std::uint64_t>(extra) + reciprocal.shift;
            const auto whole = static_cast<std::size_t>(totalShift / LimbBits);
            Limb dividend[kStackLimbs];
            std::fill_n(dividend, whole, Limb{0});
            dividend[whole + al.size()] = shiftLeftLimbs(std::span<Limb>(dividend + whole, al.size()), al,
                                                         static_cast<unsigned>(totalShift % LimbBits));
            const std::size_t length = significantLength(std::span<const Limb>(dividend, whole + al.size() + 1));
            // Rounding reads the quotient only down to its round bit; below
            // that it needs just whether anything is non-zero. So the lowest
            // `skipped` dividend limbs are left out of the division as long
            // as the shorter quotient still has more than `precision` bits
            // (it has at least L - 64 for a dividend of L bits); what they
            // and the final remainder hold goes into the sticky flag, and
            // the quotient is 2^(64 skipped) coarser.
            const std::int64_t dividendBits = bitLength(std::span<const Limb>(dividend, length));
            const WideExponent spare = WideExponent{dividendBits} - LimbBits - precision - 1;
            std::size_t skipped = 0;
            if (spare >= LimbBits) {
                skipped = static_cast<std::size_t>(std::min<WideExponent>(spare / LimbBits, WideExponent(length)));
            }
            bool lowNonZero = false;
            for (std::size_t i = 0; i < skipped; ++i) lowNonZero = lowNonZero || dividend[i] != 0;
            // The short division in place, on the limbs from `skipped` up.
            const std::span<Limb> kept = std::span<Limb>(dividend, length).subspan(skipped);
            const Limb remainder = divLimbs(kept, kept, reciprocal);
            storeRounded(out, negative,
                         narrowExponent(exponentBase - powerOfTwo + LimbBits * static_cast<std::int64_t>(skipped)),
                         significant(kept.data(), kept.size()), precision, mode, remainder != 0 || lowNonZero);
            return;
        }
        const BigUInt shifted = shl(a.mantissa, extra);
        auto [q, remainder] = divModLimb(shifted, d);
        BigFloat result;
        result.negative = negative;
        result.mantissa = std::move(q);
        result.exponent = narrowExponent(exponentBase - powerOfTwo);
        normalizeRounded(result, precision, mode, remainder != 0);
        out = std::move(result);
        return;
    }
    const BigUInt shifted = shl(a.mantissa, extra);
    auto [q, remainder] = divMod(shifted, b.mantissa);
    BigFloat result;
    result.negative = negative;
    result.mantissa = std::move(q);
    result.exponent = narrowExponent(exponentBase);
    normalizeRounded(result, precision, mode, !isZero(remainder));
    out = std::move(result);
}

BigFloat divRounded(const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode) {
    BigFloat result;
    divRoundedInto(result, a, b, precision, mode);
    return result;
}

BigFloat operator+(const BigFloat& a, const BigFloat& b) { return addRounded(a, b, WorkingPrecision, rmNearest); }
BigFloat operator-(const BigFloat& a, const BigFloat& b) { return subRounded(a, b, WorkingPrecision, rmNearest); }
BigFloat operator*(const BigFloat& a, const BigFloat& b) { return mulRounded(a, b, WorkingPrecision, rmNearest); }
BigFloat operator/(const BigFloat& a, const BigFloat& b) { return divRounded(a, b, WorkingPrecision, rmNearest); }

}  // namespace corx_internal
