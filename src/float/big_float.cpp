#include "float/big_float.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "arithmetic/addition_big.h"
#include "arithmetic/bitwise_big.h"
#include "arithmetic/subtraction_big.h"
#include "runtime/errors.h"

namespace corx {

std::int64_t bitLength(const BigUInt& a) noexcept {
    if (isZero(a)) return 0;
    const auto limbs = static_cast<std::int64_t>(a.limbs.size());
    return LimbBits * limbs - corvane_clz64(a.limbs.back());
}

BigFloat initBigFloat(double x, std::int64_t precision) {
    BigFloat result;
    if (x == 0.0) return result;  // +0.0 and -0.0 alike
    if (std::isnan(x) || std::isinf(x)) {
        throw ValueError("initBigFloat: Inf/NaN are not representable");
    }
    precision = std::max<std::int64_t>(precision, 1);

    result.negative = x < 0.0;
    double a = result.negative ? -x : x;

    // Scale a into [1, 2) by exact halvings and doublings, counting the
    // binary exponent; a subnormal input simply takes more doublings.
    std::int64_t e = 0;
    while (a >= 2.0) {
        a *= 0.5;
        ++e;
    }
    while (a < 1.0) {
        a = a + a;
        --e;
    }

    // The leading min(precision, 53) bits as an integer below 2^53; the
    // conversion truncates, which discards the low bits at small precisions.
    const std::int64_t k = std::min<std::int64_t>(precision, 53) - 1;
    const double scaled = a * std::pow(2.0, static_cast<double>(k));
    result.mantissa = initBigUInt(static_cast<Limb>(scaled));
    result.exponent = e - k;
    normalize(result, precision);
    return result;
}

void normalize(BigFloat& x, std::int64_t precision) {
    if (isZero(x.mantissa)) {
        x.exponent = 0;
        return;
    }
    const std::int64_t n = bitLength(x.mantissa);
    if (n > precision) {
        x.mantissa = shr(x.mantissa, n - precision);
        x.exponent += n - precision;
    } else if (n < precision) {
        x.mantissa = shl(x.mantissa, precision - n);
        x.exponent -= precision - n;
    }
}

namespace {

bool bitAt(const std::vector<Limb>& limbs, std::uint64_t index) noexcept {
    return ((limbs[index / LimbBits] >> (index % LimbBits)) & 1u) != 0;
}

// True when any of the bits 0 .. count-1 is set: the whole limbs below bit
// `count` first, stopping at the first non-zero one, then the low bits of
// the limb that holds bit `count`.
bool anyLowBitSet(const std::vector<Limb>& limbs, std::uint64_t count) noexcept {
    const std::size_t whole = count / LimbBits;
    for (std::size_t i = 0; i < whole; ++i) {
        if (limbs[i] != 0) return true;
    }
    const unsigned rest = count % LimbBits;
    if (rest == 0 || whole >= limbs.size()) return false;
    return (limbs[whole] & ((Limb{1} << rest) - 1)) != 0;
}

// Shifts the limbs right by `count` bits inside their own storage and trims
// the result; the bits shifted out are lost.
void shiftRightInPlace(std::vector<Limb>& limbs, std::uint64_t count) noexcept {
    const std::size_t size = limbs.size();
    const std::size_t whole = count / LimbBits;
    if (whole >= size) {
        limbs.clear();
        return;
    }
    const unsigned rest = count % LimbBits;
    for (std::size_t i = 0; i + whole < size; ++i) {
        Limb limb = limbs[i + whole] >> rest;
        if (rest != 0 && i + whole + 1 < size) limb |= limbs[i + whole + 1] << (LimbBits - rest);
        limbs[i] = limb;
    }
    limbs.resize(size - whole);
    trim(limbs);
}

// Whether a directed mode moves a value of this sign away from zero.
bool roundsAwayFromZero(RoundingMode mode, bool negative) noexcept {
    return (mode == rmTowardPositive && !negative) || (mode == rmTowardNegative && negative);
}

}  // namespace

void normalizeRounded(BigFloat& x, std::int64_t precision, RoundingMode mode, bool sticky) {
    if (isZero(x.mantissa)) {
        x.exponent = 0;
        return;
    }
    const std::int64_t n = bitLength(x.mantissa);
    if (n > precision) {
        const auto discarded = static_cast<std::uint64_t>(n - precision);
        const bool roundBit = bitAt(x.mantissa.limbs, discarded - 1);
        const bool inexact = sticky || anyLowBitSet(x.mantissa.limbs, discarded);
        shiftRightInPlace(x.mantissa.limbs, discarded);
        x.exponent += n - precision;

        bool bump = false;
        switch (mode) {
            case rmNearest: bump = roundBit; break;  // a tie goes away from zero
            case rmTowardZero: bump = false; break;
            case rmTowardPositive:
            case rmTowardNegative: bump = inexact && roundsAwayFromZero(mode, x.negative); break;
        }
        if (bump) bumpMagnitude(x, precision);
        return;
    }
    if (n < precision) {
        x.mantissa = shl(x.mantissa, precision - n);
        x.exponent -= precision - n;
    }
    // Nothing is discarded here; bits the caller already lost only move a
    // directed rounding away from zero.
    if (sticky && roundsAwayFromZero(mode, x.negative)) bumpMagnitude(x, precision);
}

void bumpMagnitude(BigFloat& x, std::int64_t precision) {
    x.mantissa = add(x.mantissa, initBigUInt(Limb{1}));
    if (bitLength(x.mantissa) > precision) {  // 2^p - 1 became 2^p
        x.mantissa = shr(x.mantissa, 1);
        x.exponent += 1;
    }
}

void dropMagnitude(BigFloat& x, std::int64_t precision) {
    if (isZero(x.mantissa)) return;
    x.mantissa = sub(x.mantissa, initBigUInt(Limb{1}));
    if (bitLength(x.mantissa) < precision) {
        // The mantissa was 2^(p-1): continue with 2^p - 1 one exponent down.
        // At precision 1 the subtraction leaves nothing and this gives
        // mantissa 1: the one-bit value below 2^e is 2^(e-1), not zero.
        x.mantissa = bitOr(shl(x.mantissa, 1), initBigUInt(Limb{1}));
        x.exponent -= 1;
    }
}

}  // namespace corx
