// SPDX-License-Identifier: BSD-3-Clause
#include "algorithms/scaling.h"

#include <bit>

namespace corx_internal {

int decompositionShift(const double* p, std::int64_t count, int largest, int smallest) {
    const double top = std::numeric_limits<double>::max();
    double big = 0.0, tiny = std::numeric_limits<double>::infinity();
    for (std::int64_t i = 0; i < count; ++i) {
        const double a = std::fabs(p[i]);
        if (!(a <= top) || a == 0.0) continue;  // NaN, infinities and zeros
        if (a > big) big = a;
        if (a < tiny) tiny = a;
    }
    if (big == 0.0) return 0;
    const int high = binaryExponent(big);
    if (high <= largest && binaryExponent(tiny) > smallest) return 0;
    return largest - high;
}

int bitWidth(std::int64_t n) { return n <= 0 ? 0 : static_cast<int>(std::bit_width(static_cast<std::uint64_t>(n))); }

}  // namespace corx_internal
