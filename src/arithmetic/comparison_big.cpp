#include "arithmetic/comparison_big.h"

namespace corx_internal {

int cmp(const BigUInt& a, const BigUInt& b) noexcept {
    const std::size_t length = a.limbs.size();
    if (length != b.limbs.size()) return length > b.limbs.size() ? 1 : -1;
    for (std::size_t i = length; i-- > 0;) {
        if (a.limbs[i] != b.limbs[i]) return a.limbs[i] > b.limbs[i] ? 1 : -1;
    }
    return 0;
}

}  // namespace corx_internal
