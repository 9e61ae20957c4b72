/* SPDX-License-Identifier: BSD-3-Clause */
// Ordering of BigFloat values.
#pragma once

#include "float/big_float.h"

namespace corx_internal {

// -1 if a < b, 0 if a = b, 1 if a > b, by value: every zero compares equal
// whatever its sign flag, and one value written at two exponents compares
// equal to itself.
int cmp(const BigFloat& a, const BigFloat& b);

}  // namespace corx_internal
