// SPDX-License-Identifier: BSD-3-Clause
#include "arithmetic/subtraction_big.h"

#include "arithmetic/comparison_big.h"
#include "runtime/errors.h"

namespace corx_internal {

BigUInt sub(const BigUInt& a, const BigUInt& b) {
    if (cmp(a, b) < 0) throw UnderflowDefect("Subtraction underflow: a < b in BigUInt");

    // a >= b in normal form, so b has no more limbs than a.
    const std::size_t n = a.limbs.size();
    const std::size_t common = b.limbs.size();
    BigUInt result;
    result.limbs = zeroLimbs(n);
    std::span<Limb> r = result.limbs;
    std::span<const Limb> av = a.limbs;
    const Limb borrow = subN(r.first(common), av, b.limbs);
    subBorrow(r.subspan(common), av.subspan(common), borrow);  // absorbed: a >= b
    trim(result);
    return result;
}

}  // namespace corx_internal
