/* SPDX-License-Identifier: BSD-3-Clause */
// BigUInt: an unsigned integer of arbitrary size in radix 2^64.
//
// Representation: `limbs` least significant first; the value is the sum of
// limbs[i] * 2^(64 i). Normal form, kept by every operation on BigUInt: the
// top limb is never zero, so zero is the empty sequence and the length is
// the number of significant limbs.
//
// BigUInt is a value: copying duplicates the limbs, moving hands the storage
// over and leaves the source zero. Operations take their operands by const
// reference and return a fresh value that shares no storage with them; the
// two operands of a binary operation may be the same object.
#pragma once

#include "arithmetic/primitives.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <utility>
#include <vector>

namespace corx_internal {

struct BigUInt {
    std::vector<Limb> limbs;

    BigUInt() = default;
    BigUInt(const BigUInt&) = default;
    BigUInt& operator=(const BigUInt&) = default;
    BigUInt(BigUInt&& other) noexcept : limbs(std::exchange(other.limbs, {})) {}
    BigUInt& operator=(BigUInt&& other) noexcept {
        if (this != &other) limbs = std::exchange(other.limbs, {});
        return *this;
    }
    ~BigUInt() = default;

    friend bool operator==(const BigUInt&, const BigUInt&) = default;
};

// 0 gives zero (no limbs); any other value a one-limb BigUInt.
BigUInt initBigUInt(Limb value);

// A copy of `limbs` (least significant first, zero limbs on top allowed),
// trimmed to normal form.
BigUInt initBigUInt(std::span<const Limb> limbs);
BigUInt initBigUInt(std::initializer_list<Limb> limbs);

inline bool isZero(const BigUInt& a) noexcept { return a.limbs.empty(); }

// Number of significant bits of a (0 for zero).
inline std::int64_t bitLength(const BigUInt& a) noexcept { return bitLength(std::span<const Limb>(a.limbs)); }

// Restores normal form: drops zero limbs from the top. Only shortens the
// sequence; its capacity is kept.
inline void trim(std::vector<Limb>& limbs) noexcept {
    limbs.resize(significantLength(limbs));  // shrinking never reallocates
}
inline void trim(BigUInt& a) noexcept { trim(a.limbs); }

// A sequence of `count` zero limbs; a count of zero allocates nothing. A
// count that cannot be allocated takes the out-of-memory path.
std::vector<Limb> zeroLimbs(std::size_t count);

// a + b for limb counts; a sum that wraps takes the out-of-memory path.
std::size_t addLimbCounts(std::size_t a, std::size_t b) noexcept;

// The whole limbs in a shift by `count` bits, as a limb count. Where
// std::size_t is narrower than 64 bits a count it cannot hold becomes
// SIZE_MAX: more limbs than any value has, and a size no allocation gets.
inline std::size_t wholeLimbs(std::uint64_t count) noexcept {
    const std::uint64_t whole = count / LimbBits;
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
        if (whole > SIZE_MAX) return SIZE_MAX;
    }
    return static_cast<std::size_t>(whole);
}

}  // namespace corx_internal
