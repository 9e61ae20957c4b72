/* SPDX-License-Identifier: BSD-3-Clause */
// Three-way comparison of BigUInt values.
#pragma once

#include "arithmetic/big_int.h"

namespace corx_internal {

// -1 if a < b, 0 if a == b, 1 if a > b. Relies on both being in normal
// form: the one with more limbs is the larger.
int cmp(const BigUInt& a, const BigUInt& b) noexcept;

}  // namespace corx_internal
