/* SPDX-License-Identifier: BSD-3-Clause */
// BigFloat: an arbitrary-precision binary floating-point number.
//
// Value: (-1)^negative * mantissa * 2^exponent, with the mantissa an unsigned
// BigUInt. There is no hidden leading bit and no bias; `exponent` is the
// power of two of the mantissa's lowest bit. A BigFloat does not carry its
// precision: every operation that produces a value is told how many mantissa
// bits to keep (the library always asks for 256).
//
// Zero is the empty mantissa. The canonical zero also has exponent 0 and
// `negative` false, which is what a default or static record holds, but
// every operation recognises zero by the empty mantissa alone.
//
// A value is normalised at precision p when its mantissa has exactly p
// significant bits. Every non-zero result of initBigFloat and of the rounded
// operations is normalised at the precision it was asked for.
//
// This module also holds the single rounding step that all arithmetic ends
// with (normalizeRounded) and its two unit steps.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "arithmetic/big_int.h"

namespace corx_internal {

struct BigFloat {
    bool negative = false;
    std::int64_t exponent = 0;
    BigUInt mantissa;

    BigFloat() = default;
    BigFloat(const BigFloat&) = default;
    BigFloat& operator=(const BigFloat&) = default;
    // Moving hands the limb storage over and leaves the source as the zero
    // record.
    BigFloat(BigFloat&& other) noexcept
        : negative(std::exchange(other.negative, false)),
          exponent(std::exchange(other.exponent, 0)),
          mantissa(std::move(other.mantissa)) {}
    BigFloat& operator=(BigFloat&& other) noexcept {
        if (this != &other) {
            negative = std::exchange(other.negative, false);
            exponent = std::exchange(other.exponent, 0);
            mantissa = std::move(other.mantissa);
        }
        return *this;
    }
    ~BigFloat() = default;
};

// How a result that does not fit the precision is rounded.
enum RoundingMode : std::uint8_t {
    rmNearest = 0,         // nearest; a tie goes away from zero
    rmTowardZero = 1,      // the magnitude is truncated
    rmTowardPositive = 2,  // toward +infinity
    rmTowardNegative = 3,  // toward -infinity
};

inline bool isZero(const BigFloat& x) noexcept { return isZero(x.mantissa); }

// Sums and differences of exponents are formed in 128 bits, where they
// cannot overflow, and checked when they are stored back.
using WideExponent = Int128;

[[noreturn]] void exponentOverflow();

// e as a stored exponent. Raises OverflowDefect ("BigFloat exponent
// overflow") when e lies outside the int64 range.
inline std::int64_t narrowExponent(WideExponent e) {
    if (e < INT64_MIN || e > INT64_MAX) exponentOverflow();
    return static_cast<std::int64_t>(e);
}

// Exponent of the bit just above x's leading one (its magnitude position).
inline WideExponent magnitudePosition(const BigFloat& x) noexcept {
    return WideExponent{x.exponent} + bitLength(x.mantissa);
}

// The double x exactly, as a value normalised at `precision` bits; below 53
// bits the leading `precision` bits are kept and the rest truncated. Both
// zeros give the canonical zero. Raises ValueError for NaN and infinities.
// A precision below 1 is taken as 1.
BigFloat initBigFloat(double x, std::int64_t precision);

// initBigFloat stored into `out`, reusing its limb storage.
void initBigFloatInto(BigFloat& out, double x, std::int64_t precision);

// Rescales x's mantissa to exactly `precision` bits: a longer mantissa is
// truncated (its low bits are lost), a shorter one is extended exactly. A
// zero gets exponent 0. The sign is never changed.
void normalize(BigFloat& x, std::int64_t precision);

// Rounds x to `precision` bits under `mode`, in place. `sticky` tells that
// non-zero bits below x's mantissa were already lost by the caller (they are
// worth less than one unit of x's lowest bit); it affects the directed modes
// and, when bits are discarded here, the inexact test.
void normalizeRounded(BigFloat& x, std::int64_t precision, RoundingMode mode, bool sticky);

// Sets x's mantissa to `limbs` (normal form, not x's own storage) and rounds
// exactly as normalizeRounded does; the bits that rounding discards are
// never copied. x's sign and exponent (that of limbs' lowest bit) are set
// by the caller beforehand.
void assignRounded(BigFloat& x, std::span<const Limb> limbs, std::int64_t precision, RoundingMode mode,
                   bool sticky);

// Adds one unit in the last place to the magnitude of a value normalised at
// `precision`; a carry out of the top gives 2^(precision-1) one exponent up.
void bumpMagnitude(BigFloat& x, std::int64_t precision);

// Takes one unit in the last place off the magnitude of a value normalised at
// `precision`: the largest precision-bit magnitude below the old one (at the
// next lower exponent when the mantissa was a power of two; at precision 1,
// 2^e steps down to 2^(e-1)). Zero is left alone.
void dropMagnitude(BigFloat& x, std::int64_t precision);

}  // namespace corx_internal
