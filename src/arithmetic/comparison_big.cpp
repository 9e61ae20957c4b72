// SPDX-License-Identifier: BSD-3-Clause
#include "arithmetic/comparison_big.h"

namespace corx_internal {

int cmp(const BigUInt& a, const BigUInt& b) noexcept { return compareLimbs(a.limbs, b.limbs); }

}  // namespace corx_internal
