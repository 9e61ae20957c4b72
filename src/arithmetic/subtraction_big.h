/* SPDX-License-Identifier: BSD-3-Clause */
// Subtraction of BigUInt values.
#pragma once

#include "arithmetic/big_int.h"

namespace corx_internal {

// a - b in normal form. Raises UnderflowDefect ("Subtraction underflow:
// a < b in BigUInt") when a < b, before allocating anything.
BigUInt sub(const BigUInt& a, const BigUInt& b);

}  // namespace corx_internal
