// SPDX-License-Identifier: BSD-3-Clause
#include "arithmetic/big_int.h"

#include "runtime/memory.h"

namespace corx_internal {

BigUInt initBigUInt(Limb value) {
    BigUInt result;
    if (value != 0) result.limbs.assign(1, value);
    return result;
}

BigUInt initBigUInt(std::span<const Limb> limbs) {
    BigUInt result;
    result.limbs.assign(limbs.begin(), limbs.end());
    trim(result);
    return result;
}

BigUInt initBigUInt(std::initializer_list<Limb> limbs) {
    return initBigUInt(std::span<const Limb>(limbs.begin(), limbs.size()));
}

std::vector<Limb> zeroLimbs(std::size_t count) {
    std::vector<Limb> limbs;
    if (count > limbs.max_size()) outOfMemory();
    limbs.resize(count);
    return limbs;
}

std::size_t addLimbCounts(std::size_t a, std::size_t b) noexcept {
    std::size_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) outOfMemory();
    return sum;
}

}  // namespace corx_internal
