// Limb-level primitives of the multi-precision integers.
//
// A Limb is one digit in radix 2^64. Limb arithmetic wraps modulo 2^64;
// carries and borrows are passed around explicitly as 0 or 1 (or, for the
// multiply kernels, as a whole carry limb).
//
// Besides the single-limb operations this module holds the limb-vector
// kernels that the BigUInt routines are built from. They work on spans of
// limbs stored least significant first, never allocate, and allow the
// result span to coincide with an operand span (in-place update).
#pragma once

#include <corx/corx.h>  // corvane_udiv128, corvane_clz64

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace corx_internal {

using Limb = std::uint64_t;

inline constexpr int LimbBits = 64;

// Checked division of the double limb hi*2^64 + lo by d: (quotient,
// remainder). Raises DivByZeroDefect when d is 0 and ValueError when
// hi >= d (the quotient would not fit a limb).
std::pair<Limb, Limb> udiv128(Limb hi, Limb lo, Limb d);

// Quotient and remainder of the double limb hi*2^64 + lo by d, unchecked:
// the caller guarantees d != 0 and hi < d (so the quotient fits a limb), as
// a short division does when it carries its remainder from limb to limb.
// The same 128-by-64-bit division as udiv128, done inline for loops that
// run one such step per limb.
inline std::pair<Limb, Limb> divideDoubleLimb(Limb hi, Limb lo, Limb d) noexcept {
#if defined(__x86_64__)
    Limb quotient;
    Limb remainder;
    __asm__("divq %4" : "=a"(quotient), "=d"(remainder) : "a"(lo), "d"(hi), "rm"(d) : "cc");
    return {quotient, remainder};
#else
    __extension__ typedef unsigned __int128 DoubleLimb;
    const DoubleLimb dividend = (static_cast<DoubleLimb>(hi) << 64) | lo;
    return {static_cast<Limb>(dividend / d), static_cast<Limb>(dividend % d)};
#endif
}

// Division of double limbs by one fixed limb through its reciprocal (one
// multiplication and a few corrections per step instead of a hardware
// division). The divisor is held normalised, top bit set: a caller divides
// the value shifted left by `shift`, which leaves every quotient digit as it
// is and the remainder shifted by the same amount.
struct LimbReciprocal {
    Limb divisor;     // d << shift
    Limb reciprocal;  // floor((B^2 - 1) / divisor) - B
    unsigned shift;   // leading zero bits of d
};

// The reciprocal of d (d != 0).
inline LimbReciprocal limbReciprocal(Limb d) noexcept {
    const auto shift = static_cast<unsigned>(__builtin_clzll(d));
    const Limb normalised = d << shift;
    // (B^2 - 1) / normalised - B = ((B - 1 - normalised) * B + (B - 1)) / normalised,
    // whose quotient fits a limb because the top bit of normalised is set.
    const Limb reciprocal = divideDoubleLimb(~normalised, ~Limb{0}, normalised).first;
    return {normalised, reciprocal, shift};
}

// Quotient and remainder of hi*B + lo by r.divisor, for hi < r.divisor.
inline std::pair<Limb, Limb> divideDoubleLimb(Limb hi, Limb lo, const LimbReciprocal& r) noexcept {
    __extension__ typedef unsigned __int128 DoubleLimb;
    // Estimate from the reciprocal: (q1, q0) = reciprocal * hi + (hi, lo),
    // q1 + 1 is the quotient or one too large, rarely one too small.
    const DoubleLimb estimate =
        static_cast<DoubleLimb>(r.reciprocal) * hi + ((static_cast<DoubleLimb>(hi) << 64) | lo);
    Limb quotient = static_cast<Limb>(estimate >> 64) + 1;
    const Limb low = static_cast<Limb>(estimate);
    Limb remainder = lo - quotient * r.divisor;  // modulo B
    if (remainder > low) {
        --quotient;
        remainder += r.divisor;
    }
    if (remainder >= r.divisor) {
        ++quotient;
        remainder -= r.divisor;
    }
    return {quotient, remainder};
}

// Full product of two limbs as (high, low), built from four 32-by-32-bit
// partial products so no 128-bit multiply is needed.
inline std::pair<Limb, Limb> mulWide(Limb a, Limb b) noexcept {
    constexpr Limb halfMask = 0xFFFFFFFFu;
    const Limb a0 = a & halfMask, a1 = a >> 32;
    const Limb b0 = b & halfMask, b1 = b >> 32;

    const Limb cross = a0 * b1;
    const Limb middle = cross + a1 * b0;
    Limb high = a1 * b1 + (middle >> 32);
    if (middle < cross) high += Limb{1} << 32;  // the middle sum wrapped

    const Limb partialLow = a0 * b0;
    const Limb low = partialLow + (middle << 32);
    if (low < partialLow) high += 1;
    return {high, low};
}

// a + b + carry; carry (0 or 1) is replaced by the carry out.
inline Limb addWithCarry(Limb a, Limb b, Limb& carry) noexcept {
    const Limb sum = a + b;
    const Limb total = sum + carry;
    carry = static_cast<Limb>(sum < a) | static_cast<Limb>(total < sum);
    return total;
}

// a - b - borrow; borrow (0 or 1) is replaced by the borrow out.
inline Limb subWithBorrow(Limb a, Limb b, Limb& borrow) noexcept {
    const Limb diff = a - b;
    const Limb total = diff - borrow;
    borrow = static_cast<Limb>(a < b) | static_cast<Limb>(diff < borrow);
    return total;
}

// r = a + b over r.size() limbs (a and b hold at least that many);
// returns the carry out of the top limb.
Limb addN(std::span<Limb> r, std::span<const Limb> a, std::span<const Limb> b) noexcept;

// r = a + carry over r.size() limbs; returns the carry out.
Limb addCarry(std::span<Limb> r, std::span<const Limb> a, Limb carry) noexcept;

// r = a - b over r.size() limbs; returns the borrow out of the top limb.
Limb subN(std::span<Limb> r, std::span<const Limb> a, std::span<const Limb> b) noexcept;

// r = a - borrow over r.size() limbs; returns the borrow out.
Limb subBorrow(std::span<Limb> r, std::span<const Limb> a, Limb borrow) noexcept;

// r += a * m over a.size() limbs of r; returns the limb carried out.
Limb addMulLimb(std::span<Limb> r, std::span<const Limb> a, Limb m) noexcept;

// r -= a * m over a.size() limbs of r; returns the limb borrowed out of the
// top, which always fits a limb.
Limb subMulLimb(std::span<Limb> r, std::span<const Limb> a, Limb m) noexcept;

// r = a shifted left by s bits (0 <= s < 64) over a.size() limbs of r;
// returns the bits shifted out of the top limb.
Limb shiftLeftLimbs(std::span<Limb> r, std::span<const Limb> a, unsigned s) noexcept;

// r = a shifted right by s bits (0 <= s < 64) over a.size() limbs of r; the
// top limb takes no bits from above. The bits shifted out below are lost.
void shiftRightLimbs(std::span<Limb> r, std::span<const Limb> a, unsigned s) noexcept;

}  // namespace corx_internal
