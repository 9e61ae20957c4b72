/* SPDX-License-Identifier: BSD-3-Clause */
// Multiplication of BigUInt values: schoolbook for short operands, recursive
// Karatsuba for long ones, and the dispatcher `mul` that chooses.
#pragma once

#include "arithmetic/big_int.h"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace corx_internal {

enum MulAlgorithm : std::uint8_t {
    maAuto = 0,        // Karatsuba when the shorter operand has >= 32 limbs
    maSchoolbook = 1,  // always mulSchoolbook
    maKaratsuba = 2,   // always mulKaratsuba (which falls back on short operands)
};

// Karatsuba is chosen by `mul` when the shorter operand has at least this
// many limbs, and a Karatsuba step splits only while the longer operand has
// more than this many.
inline constexpr std::size_t KaratsubaThreshold = 32;

// a * b by the chosen method; any value other than maSchoolbook and
// maKaratsuba selects by length.
BigUInt mul(const BigUInt& a, const BigUInt& b, MulAlgorithm algorithm = maAuto);

// a * b in O(len a * len b) limb products, accumulated into one result.
BigUInt mulSchoolbook(const BigUInt& a, const BigUInt& b);

// a * b by Karatsuba's three-product split, recursing down to 32 limbs.
BigUInt mulKaratsuba(const BigUInt& a, const BigUInt& b);

// (low, high) with a = low + high * B^m, both in normal form.
std::pair<BigUInt, BigUInt> splitAt(const BigUInt& a, std::size_t m);

// a * B^k: k zero limbs inserted below a.
BigUInt shiftLimbsLeft(const BigUInt& a, std::size_t k);

}  // namespace corx_internal
