/* SPDX-License-Identifier: BSD-3-Clause */
// Limb-level primitives of the multi-precision integers.
//
// A Limb is one digit in radix 2^64. Limb arithmetic wraps modulo 2^64;
// carries and borrows are passed around explicitly as 0 or 1 (or, for the
// multiply kernels, as a whole carry limb).
//
// Besides the single-limb operations this module holds the limb-vector
// kernels that the BigUInt routines and the BigFloat operations are built
// from. They work on spans of limbs stored least significant first, never
// allocate, and allow the result span to coincide with an operand span
// (in-place update) unless they say otherwise.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "arithmetic/wide_integer.h"

namespace corx_internal {

using Limb = std::uint64_t;

// Two limbs as one unsigned integer below 2^128: the double-limb products
// and dividends of the single-limb operations.
using DoubleLimb = UInt128;

inline constexpr int LimbBits = 64;

// Number of leading zero bits of x; 64 for 0.
inline int clz64(Limb x) noexcept { return std::countl_zero(x); }

// Quotient and remainder of the double limb hi*2^64 + lo by d, unchecked:
// the caller guarantees d != 0 and hi < d (so the quotient fits a limb), as
// a short division does when it carries its remainder from limb to limb.
// udiv128 below is the checked form.
inline std::pair<Limb, Limb> divideDoubleLimb(Limb hi, Limb lo, Limb d) noexcept {
#if defined(__x86_64__) && !defined(CORX_PORTABLE_INT128)
    Limb quotient;
    Limb remainder;
    __asm__("divq %4" : "=a"(quotient), "=d"(remainder) : "a"(lo), "d"(hi), "rm"(d) : "cc");
    return {quotient, remainder};
#else
    const DoubleLimb dividend = (static_cast<DoubleLimb>(hi) << 64) | lo;
    return {static_cast<Limb>(dividend / d), static_cast<Limb>(dividend % d)};
#endif
}

// Checked division of the double limb hi*2^64 + lo by d: (quotient,
// remainder). Raises DivByZeroDefect when d is 0 and ValueError when
// hi >= d (the quotient would not fit a limb).
std::pair<Limb, Limb> udiv128(Limb hi, Limb lo, Limb d);

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
    const auto shift = static_cast<unsigned>(clz64(d));
    const Limb normalised = d << shift;
    // (B^2 - 1) / normalised - B = ((B - 1 - normalised) * B + (B - 1)) / normalised,
    // whose quotient fits a limb because the top bit of normalised is set.
    const Limb reciprocal = divideDoubleLimb(~normalised, ~Limb{0}, normalised).first;
    return {normalised, reciprocal, shift};
}

// Quotient and remainder of hi*B + lo by r.divisor, for hi < r.divisor.
inline std::pair<Limb, Limb> divideDoubleLimb(Limb hi, Limb lo, const LimbReciprocal& r) noexcept {
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

// Full product of two limbs as (high, low).
inline std::pair<Limb, Limb> mulWide(Limb a, Limb b) noexcept {
    const DoubleLimb product = static_cast<DoubleLimb>(a) * b;
    return {static_cast<Limb>(product >> 64), static_cast<Limb>(product)};
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

// Length of `limbs` without its zero top limbs.
inline std::size_t significantLength(std::span<const Limb> limbs) noexcept {
    std::size_t length = limbs.size();
    while (length > 0 && limbs[length - 1] == 0) --length;
    return length;
}

// Number of significant bits of limbs in normal form (top limb non-zero);
// 0 for no limbs.
inline std::int64_t bitLength(std::span<const Limb> limbs) noexcept {
    if (limbs.empty()) return 0;
    return LimbBits * static_cast<std::int64_t>(limbs.size()) - clz64(limbs.back());
}

// -1, 0 or 1 as the magnitude a is below, equal to or above b, both in
// normal form: the one with more limbs is the larger.
int compareLimbs(std::span<const Limb> a, std::span<const Limb> b) noexcept;

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
inline Limb addMulLimb(std::span<Limb> r, std::span<const Limb> a, Limb m) noexcept {
    // Each step a[i]*m + r[i] + carry is at most (B-1)^2 + 2(B-1) = B^2 - 1,
    // so the new carry always fits a limb.
    Limb carry = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const DoubleLimb step = static_cast<DoubleLimb>(a[i]) * m + r[i] + carry;
        r[i] = static_cast<Limb>(step);
        carry = static_cast<Limb>(step >> 64);
    }
    return carry;
}

// r -= a * m over a.size() limbs of r; returns the limb borrowed out of the
// top, which always fits a limb.
Limb subMulLimb(std::span<Limb> r, std::span<const Limb> a, Limb m) noexcept;

// r = a * b, schoolbook: row i adds a[i] * b onto r[i .. i+len b-1] and
// stores its carry in r[i+len b], still unwritten. r holds exactly
// a.size() + b.size() limbs and overlaps neither operand. Inline, so that a
// caller with fixed short lengths gets the loops unrolled.
inline void mulLimbs(std::span<Limb> r, std::span<const Limb> a, std::span<const Limb> b) noexcept {
    for (Limb& limb : r.first(b.size())) limb = 0;
    for (std::size_t i = 0; i < a.size(); ++i) r[i + b.size()] = addMulLimb(r.subspan(i, b.size()), b, a[i]);
}

// Short division by one limb: q = a / r.divisor over a.size() limbs of q,
// one double-limb step per limb from the top down; returns the remainder.
// A caller dividing by d divides a shifted left by r.shift (see
// LimbReciprocal): the quotient digits are those by d, the remainder comes
// back shifted. q may coincide with a.
Limb divLimbs(std::span<Limb> q, std::span<const Limb> a, const LimbReciprocal& r) noexcept;

// r = a shifted left by s bits (0 <= s < 64) over a.size() limbs of r;
// returns the bits shifted out of the top limb.
Limb shiftLeftLimbs(std::span<Limb> r, std::span<const Limb> a, unsigned s) noexcept;

// r = a shifted right by s bits (0 <= s < 64) over a.size() limbs of r; the
// top limb takes no bits from above. The bits shifted out below are lost.
// r may also start below a in the same storage (a shift down by whole limbs
// and s bits at once): each limb is written after the ones it reads.
void shiftRightLimbs(std::span<Limb> r, std::span<const Limb> a, unsigned s) noexcept;

}  // namespace corx_internal
