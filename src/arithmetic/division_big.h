/* SPDX-License-Identifier: BSD-3-Clause */
// Division of BigUInt values: quotient and remainder together.
#pragma once

#include "arithmetic/big_int.h"

#include <utility>

namespace corx_internal {

// (quotient, remainder) with a = quotient * b + remainder, remainder < b.
// Raises DivByZeroDefect ("Division by zero in BigUInt.") when b is zero.
// One-limb divisors take divModLimb, longer ones divModKnuth.
std::pair<BigUInt, BigUInt> divMod(const BigUInt& a, const BigUInt& b);

// Short division by one limb: (quotient, remainder limb). Raises
// DivByZeroDefect ("divModLimb: divisor is zero") when d is 0.
std::pair<BigUInt, Limb> divModLimb(const BigUInt& a, Limb d);

// Long division (Knuth's algorithm D) for divisors of two or more limbs:
// (quotient, remainder). A dividend shorter than the divisor gives
// (zero, a copy of a). Raises ValueError when the divisor has fewer than
// two limbs or a zero top limb.
std::pair<BigUInt, BigUInt> divModKnuth(const BigUInt& a, const BigUInt& b);

}  // namespace corx_internal
