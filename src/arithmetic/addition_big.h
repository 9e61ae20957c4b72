/* SPDX-License-Identifier: BSD-3-Clause */
// Addition of BigUInt values.
#pragma once

#include "arithmetic/big_int.h"

namespace corx_internal {

// a + b in normal form; one result sequence of max(len a, len b) + 1 limbs,
// trimmed when the last carry is 0.
BigUInt add(const BigUInt& a, const BigUInt& b);

}  // namespace corx_internal
