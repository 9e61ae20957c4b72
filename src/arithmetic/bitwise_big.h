/* SPDX-License-Identifier: BSD-3-Clause */
// Bit shifts and bitwise or of BigUInt values.
#pragma once

#include "arithmetic/big_int.h"

#include <cstdint>

namespace corx_internal {

// a * 2^count. A negative count shifts right by -count instead, so the
// result is floor(a * 2^count) for every count.
BigUInt shl(const BigUInt& a, std::int64_t count);

// floor(a / 2^count). A negative count shifts left by -count instead, so
// the result is floor(a / 2^count) for every count.
BigUInt shr(const BigUInt& a, std::int64_t count);

// The bitwise or of a and b (`or` itself is a reserved word).
BigUInt bitOr(const BigUInt& a, const BigUInt& b);

}  // namespace corx_internal
