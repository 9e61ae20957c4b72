// SPDX-License-Identifier: BSD-3-Clause
// The two exported limb primitives, wrapping the library's own limb
// operations (arithmetic/primitives.h). The library calls those directly,
// never these entries; unlike the checked udiv128 they check nothing and
// never trap, whatever the caller passes.
#include <corx/corx.h>

#include <cstdint>

#include "arithmetic/primitives.h"

extern "C" void corvane_udiv128(uint64_t hi, uint64_t lo, uint64_t divisor, uint64_t* quotient,
                                uint64_t* remainder) {
    uint64_t q = UINT64_MAX;
    uint64_t r = lo;
    if (divisor != 0) {
        // Reducing the high limb first removes a multiple of 2^64 from the
        // quotient, which vanishes modulo 2^64, and leaves a division whose
        // quotient fits 64 bits.
        const uint64_t top = hi < divisor ? hi : hi % divisor;
        const auto [digit, rest] = corx_internal::divideDoubleLimb(top, lo, divisor);
        q = digit;
        r = rest;
    }
    // Quotient first, then remainder: one variable given for both ends up
    // holding the remainder.
    if (quotient != nullptr) *quotient = q;
    if (remainder != nullptr) *remainder = r;
}

extern "C" int32_t corvane_clz64(uint64_t x) { return corx_internal::clz64(x); }
