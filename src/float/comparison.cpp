// SPDX-License-Identifier: BSD-3-Clause
#include "float/comparison.h"

#include "arithmetic/bitwise_big.h"
#include "arithmetic/comparison_big.h"

namespace corx_internal {

int cmp(const BigFloat& a, const BigFloat& b) {
    if (isZero(a)) {
        if (isZero(b)) return 0;
        return b.negative ? 1 : -1;
    }
    if (isZero(b) || a.negative != b.negative) return a.negative ? -1 : 1;

    // Same sign, both non-zero: the magnitude positions (exponent of the bit
    // above the leading one) decide unless they are equal; then the
    // mantissas are compared at the common lower exponent.
    const WideExponent ta = magnitudePosition(a);
    const WideExponent tb = magnitudePosition(b);
    int r = 0;
    if (ta != tb) {
        r = ta > tb ? 1 : -1;
    } else if (a.exponent > b.exponent) {
        r = cmp(shl(a.mantissa, a.exponent - b.exponent), b.mantissa);
    } else if (a.exponent < b.exponent) {
        r = cmp(a.mantissa, shl(b.mantissa, b.exponent - a.exponent));
    } else {
        r = cmp(a.mantissa, b.mantissa);
    }
    return a.negative ? -r : r;
}

}  // namespace corx_internal
