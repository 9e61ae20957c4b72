// The two exported limb primitives. The library's own limb division goes
// through the checked udiv128 (arithmetic/primitives.h); these entries
// check nothing and never trap, whatever the caller passes.
#include <corx/corx.h>

#include <cstdint>

namespace {
__extension__ typedef unsigned __int128 DoubleLimb;
}  // namespace

extern "C" void corvane_udiv128(uint64_t hi, uint64_t lo, uint64_t divisor, uint64_t* quotient,
                                uint64_t* remainder) {
    uint64_t q = UINT64_MAX;
    uint64_t r = lo;
    if (divisor != 0) {
        // Reducing the high limb first removes a multiple of 2^64 from the
        // quotient, which vanishes modulo 2^64, and leaves a division whose
        // quotient fits 64 bits.
        const uint64_t top = hi < divisor ? hi : hi % divisor;
        const DoubleLimb dividend = (static_cast<DoubleLimb>(top) << 64) | lo;
        q = static_cast<uint64_t>(dividend / divisor);
        // The remainder is below the divisor, so its low 64 bits are all of it.
        r = lo - q * divisor;
    }
    // Quotient first, then remainder: one variable given for both ends up
    // holding the remainder.
    if (quotient != nullptr) *quotient = q;
    if (remainder != nullptr) *remainder = r;
}

extern "C" int32_t corvane_clz64(uint64_t x) {
    return x == 0 ? 64 : static_cast<int32_t>(__builtin_clzll(x));
}
