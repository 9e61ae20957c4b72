// SPDX-License-Identifier: BSD-3-Clause
#include "float/big_float.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <span>

#include "arithmetic/addition_big.h"
#include "arithmetic/bitwise_big.h"
#include "arithmetic/subtraction_big.h"
#include "runtime/errors.h"
#include "runtime/memory.h"

namespace corx_internal {

void exponentOverflow() { throw OverflowDefect("BigFloat exponent overflow"); }

BigFloat initBigFloat(double x, std::int64_t precision) {
    BigFloat result;
    initBigFloatInto(result, x, precision);
    return result;
}

void initBigFloatInto(BigFloat& out, double x, std::int64_t precision) {
    if (x == 0.0) {  // +0.0 and -0.0 alike
        out.negative = false;
        out.exponent = 0;
        out.mantissa.limbs.clear();
        return;
    }
    if (std::isnan(x) || std::isinf(x)) {
        throw ValueError("initBigFloat: Inf/NaN are not representable");
    }
    precision = std::max<std::int64_t>(precision, 1);

    const bool negative = x < 0.0;
    double a = negative ? -x : x;

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
    // 2^k (k <= 52) converts to a double exactly, and scaling by it is exact.
    const std::int64_t k = std::min<std::int64_t>(precision, 53) - 1;
    const double scaled = a * static_cast<double>(Limb{1} << k);
    const auto leading = static_cast<Limb>(scaled);
    const std::int64_t bits = LimbBits - std::countl_zero(leading);
    out.negative = negative;
    out.exponent = e - k;
    std::vector<Limb>& limbs = out.mantissa.limbs;
    if (bits < precision && precision <= (std::int64_t{1} << 20)) {
        // Normalised directly: the leading bits moved up to the top of
        // `precision` bits, zero limbs below them.
        const auto shift = static_cast<std::uint64_t>(precision - bits);
        const std::size_t whole = shift / LimbBits;
        const unsigned rest = shift % LimbBits;
        limbs.resize(static_cast<std::size_t>((precision + LimbBits - 1) / LimbBits));
        for (std::size_t i = 0; i < whole; ++i) limbs[i] = 0;
        limbs[whole] = leading << rest;
        if (whole + 1 < limbs.size()) limbs[whole + 1] = leading >> (LimbBits - rest);  // rest > 0 here
        out.exponent -= precision - bits;
        return;
    }
    limbs.assign(1, leading);
    normalize(out, precision);
}

namespace {

bool bitAt(std::span<const Limb> limbs, std::uint64_t index) noexcept {
    return ((limbs[index / LimbBits] >> (index % LimbBits)) & 1u) != 0;
}

// True when any of the bits 0 .. count-1 is set: the whole limbs below bit
// `count` first, stopping at the first non-zero one, then the low bits of
// the limb that holds bit `count`.
bool anyLowBitSet(std::span<const Limb> limbs, std::uint64_t count) noexcept {
    const std::size_t whole = count / LimbBits;
    for (std::size_t i = 0; i < whole; ++i) {
        if (limbs[i] != 0) return true;
    }
    const unsigned rest = count % LimbBits;
    if (rest == 0 || whole >= limbs.size()) return false;
    return (limbs[whole] & ((Limb{1} << rest) - 1)) != 0;
}

// Shifts the limbs right by `count` bits inside their own storage and trims
// the result; the bits shifted out are lost. The limbs from `count / 64` up
// are shifted down onto the bottom of the storage, each written only after
// the limbs it takes bits from were read.
void shiftRightInPlace(std::vector<Limb>& limbs, std::uint64_t count) noexcept {
    const std::size_t size = limbs.size();
    const std::size_t whole = wholeLimbs(count);
    if (whole >= size) {
        limbs.clear();
        return;
    }
    const std::span<Limb> all = limbs;
    shiftRightLimbs(all.first(size - whole), all.subspan(whole), count % LimbBits);
    limbs.resize(size - whole);
    trim(limbs);
}

// Shifts the limbs left by `count` bits inside their own storage (grown as
// needed) and trims the result: the whole limbs are moved up first, then
// shifted by the remaining bits in place.
void shiftLeftInPlace(std::vector<Limb>& limbs, std::uint64_t count) {
    const std::size_t size = limbs.size();
    if (size == 0 || count == 0) return;
    const std::size_t whole = wholeLimbs(count);
    const std::size_t grown = addLimbCounts(addLimbCounts(size, whole), 1);
    if (grown > limbs.max_size()) outOfMemory();
    limbs.resize(grown);
    if (whole != 0) {
        const auto wholeOffset = static_cast<std::ptrdiff_t>(whole);
        std::copy_backward(limbs.begin(), limbs.begin() + static_cast<std::ptrdiff_t>(size),
                           limbs.begin() + wholeOffset + static_cast<std::ptrdiff_t>(size));
        std::fill(limbs.begin(), limbs.begin() + wholeOffset, Limb{0});
    }
    const std::span<Limb> moved = std::span<Limb>(limbs).subspan(whole, size);
    limbs[whole + size] = shiftLeftLimbs(moved, moved, count % LimbBits);
    trim(limbs);
}

// Whether a directed mode moves a value of this sign away from zero.
bool roundsAwayFromZero(RoundingMode mode, bool negative) noexcept {
    return (mode == rmTowardPositive && !negative) || (mode == rmTowardNegative && negative);
}

}  // namespace

void normalize(BigFloat& x, std::int64_t precision) {
    if (isZero(x.mantissa)) {
        x.exponent = 0;
        return;
    }
    const std::int64_t n = bitLength(x.mantissa);
    if (n > precision) {
        shiftRightInPlace(x.mantissa.limbs, static_cast<std::uint64_t>(n - precision));
    } else if (n < precision) {
        shiftLeftInPlace(x.mantissa.limbs, static_cast<std::uint64_t>(precision - n));
    }
    x.exponent = narrowExponent(WideExponent{x.exponent} + n - precision);
}


// Whether discarding low bits moves the kept magnitude up one unit: on the
// round bit for nearest (a tie goes away from zero), never toward zero, and
// on any lost bit for the directed mode pointing away from zero.
static bool bumpsAfterDiscard(RoundingMode mode, bool negative, bool roundBit, bool inexact) {
    switch (mode) {
        case rmNearest: return roundBit;
        case rmTowardZero: return false;
        case rmTowardPositive:
        case rmTowardNegative: return inexact && roundsAwayFromZero(mode, negative);
    }
    return false;
}

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
        x.exponent = narrowExponent(WideExponent{x.exponent} + n - precision);

        if (bumpsAfterDiscard(mode, x.negative, roundBit, inexact)) bumpMagnitude(x, precision);
        return;
    }
    if (n < precision) {
        shiftLeftInPlace(x.mantissa.limbs, static_cast<std::uint64_t>(precision - n));
        x.exponent = narrowExponent(WideExponent{x.exponent} + n - precision);
    }
    // Nothing is discarded here; bits the caller already lost only move a
    // directed rounding away from zero.
    if (sticky && roundsAwayFromZero(mode, x.negative)) bumpMagnitude(x, precision);
}

void assignRounded(BigFloat& x, std::span<const Limb> limbs, std::int64_t precision, RoundingMode mode,
                   bool sticky) {
    std::vector<Limb>& mantissa = x.mantissa.limbs;
    const std::int64_t n = bitLength(limbs);
    if (n <= precision || precision < 1) {
        // Nothing to discard (or a degenerate precision): the plain path.
        mantissa.assign(limbs.begin(), limbs.end());
        normalizeRounded(x, precision, mode, sticky);
        return;
    }
    // As normalizeRounded, but the kept bits are shifted straight from
    // `limbs` into x's storage.
    const auto discarded = static_cast<std::uint64_t>(n - precision);
    const bool roundBit = bitAt(limbs, discarded - 1);
    // Only the directed modes look at whether anything below is lost.
    const bool inexact = mode != rmNearest && mode != rmTowardZero && (sticky || anyLowBitSet(limbs, discarded));
    const std::size_t whole = discarded / LimbBits;  // below limbs.size(): precision >= 1 bits remain
    const unsigned rest = discarded % LimbBits;
    mantissa.resize(limbs.size() - whole);
    shiftRightLimbs(mantissa, limbs.subspan(whole), rest);
    trim(mantissa);
    x.exponent = narrowExponent(WideExponent{x.exponent} + n - precision);

    if (bumpsAfterDiscard(mode, x.negative, roundBit, inexact)) bumpMagnitude(x, precision);
}

void bumpMagnitude(BigFloat& x, std::int64_t precision) {
    // Add one in place: the carry runs up through limbs that wrap to zero
    // and, past the top, becomes a new top limb.
    std::vector<Limb>& limbs = x.mantissa.limbs;
    if (addCarry(limbs, limbs, 1) != 0) limbs.push_back(1);
    if (bitLength(x.mantissa) > precision) {  // 2^p - 1 became 2^p
        shiftRightInPlace(limbs, 1);
        x.exponent = narrowExponent(WideExponent{x.exponent} + 1);
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
        x.exponent = narrowExponent(WideExponent{x.exponent} - 1);
    }
}

}  // namespace corx_internal
