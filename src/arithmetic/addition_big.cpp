// SPDX-License-Identifier: BSD-3-Clause
#include "arithmetic/addition_big.h"

namespace corx_internal {

BigUInt add(const BigUInt& a, const BigUInt& b) {
    // Let `longer` be the operand with more limbs; the shared low part is
    // added limb by limb and the carry then runs through the rest of it.
    const bool aLonger = a.limbs.size() >= b.limbs.size();
    std::span<const Limb> longer = aLonger ? a.limbs : b.limbs;
    std::span<const Limb> shorter = aLonger ? b.limbs : a.limbs;
    const std::size_t n = longer.size();
    const std::size_t common = shorter.size();

    BigUInt result;
    result.limbs = zeroLimbs(addLimbCounts(n, 1));
    std::span<Limb> r = result.limbs;
    Limb carry = addN(r.first(common), longer, shorter);
    carry = addCarry(r.subspan(common, n - common), longer.subspan(common), carry);
    r[n] = carry;
    trim(result);
    return result;
}

}  // namespace corx_internal
