/* SPDX-License-Identifier: BSD-3-Clause */
// Rounded arithmetic on BigFloat values.
//
// Each operation forms its result exactly in BigUInt arithmetic (division:
// a quotient with at least two bits beyond the precision, plus whether the
// remainder is zero) and rounds once, with normalizeRounded, to the given
// precision under the given mode. Operands are read-only and may be the
// same object; the result is a new value. A zero result is the canonical
// zero record.
#pragma once

#include <cstdint>

#include "float/big_float.h"

namespace corx_internal {

// The precision of the operators below, and of every BigFloat the library
// computes.
inline constexpr std::int64_t WorkingPrecision = 256;

BigFloat addRounded(const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode);
BigFloat subRounded(const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode);
BigFloat mulRounded(const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode);

// Raises DivByZeroDefect ("BigFloat division by zero") when b is zero.
BigFloat divRounded(const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode);

// The same operations storing their result into `out`, whose limb storage is
// reused: a loop that updates a few values in place allocates nothing once
// the storage has grown to size. `out` may be one of the operands.
void addRoundedInto(BigFloat& out, const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode);
void mulRoundedInto(BigFloat& out, const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode);
void divRoundedInto(BigFloat& out, const BigFloat& a, const BigFloat& b, std::int64_t precision, RoundingMode mode);

// The four operations at WorkingPrecision, rounded to nearest (ties away
// from zero).
BigFloat operator+(const BigFloat& a, const BigFloat& b);
BigFloat operator-(const BigFloat& a, const BigFloat& b);
BigFloat operator*(const BigFloat& a, const BigFloat& b);
BigFloat operator/(const BigFloat& a, const BigFloat& b);

}  // namespace corx_internal
