/* SPDX-License-Identifier: BSD-3-Clause */
// The exact accumulator of the residuals: a sum of doubles and products of
// doubles kept without rounding, rounded once at the end.
//
// Every product of two doubles is formed as an exact integer (at most 106
// bits) and added, with the right-hand side, into a wide fixed-point
// accumulator of 32-bit-weighted signed digits whose carries are deferred.
// Only the final value of a row is rounded to double, to nearest with ties
// to even. The lowest weight held is 2^-1075: parts of a product below it
// are dropped, and below the smallest normal double the lowest accumulator
// bit is simply dropped (see round), so only there, or within the dropped
// parts of a halfway point, can the last bit differ from the correctly
// rounded value.
#pragma once

#include <cstdint>

namespace corx_internal {

// Fixed record of 134 words, used as a local value: no heap storage.
struct ExactAccumulator {
    static constexpr int kChunks = 131;
    // Additions allowed between two carry propagations: a right-hand-side
    // term adds < 2^52 to one chunk and a product < 2^32 to each chunk it
    // touches, so 2047 additions cannot leave the signed 64-bit range.
    static constexpr std::int64_t kFreshCountdown = 2047;
    static constexpr std::int64_t kCountdown = 2046;

    // Value = sum of chunks[k] * 2^(32k - 1075). Signed; between carry
    // propagations a chunk may hold more than 32 significant bits.
    std::int64_t chunks[kChunks];
    // 0.0 until an infinite term or product is seen; then that infinity;
    // NaN once infinities of both signs were seen.
    double infSlot;
    // All zero bits until a NaN is seen; then a NaN with its sign cleared.
    std::uint64_t nanSlot;
    std::int64_t countdown;
};
static_assert(sizeof(ExactAccumulator) == 134 * 8, "the accumulator is 134 words");

// Clears every word and sets countdown to 2047.
void clear(ExactAccumulator& acc);

// Adds the double t; meant for a fresh accumulator only (one term per row:
// it may place up to 52 bits into a single chunk). Does not change
// countdown.
void addTerm(ExactAccumulator& acc, double t);

// Adds the exact product y*z; runs carryPropagate first when countdown has
// reached 0. Infinite and NaN operands go to the special slots.
void addProduct(ExactAccumulator& acc, double y, double z);

// Normalises the digits: every chunk below the leading one into 0..2^32-1,
// the chunks above it zero, the leading one a signed digit (positive below
// 2^32, or negative down to -2^32 and -1 only at index 0). Returns the
// index of the leading non-zero chunk (0 for a zero value) and resets
// countdown to 2046. A carry out of the top chunk turns nanSlot into the
// overflow NaN 0x7FFFFFFFFFFFFFFF.
std::int64_t carryPropagate(ExactAccumulator& acc);

// The double nearest to the accumulated value (ties to even); NaN and
// infinities from the special slots first. Below 2^-1022 the value, in
// units of 2^-1075, is halved by a floor: toward zero for a positive sum
// and for a negative one held in chunk 0 alone, away from zero for a
// negative one that reaches chunk 1.
double round(ExactAccumulator& acc);

// Adds the values held by lanes[1 .. count-1] to lanes[0], in this order,
// chunk by chunk without normalising: within its countdown every
// accumulator's chunks stay below 2^53 in magnitude, so for count <= 1024
// every chunk of the sum stays inside 64 bits. The special slots keep
// their meaning (an infinity of each sign seen in any lane makes NaN; of
// the NaNs the one with the largest fraction is kept, a later lane winning
// a tie). lanes[0] normalises before its next addition.
void mergeLanes(ExactAccumulator* lanes, int count);

namespace kernels {

// Accumulators a row's products are spread over.
inline constexpr int kExactLanes = 4;

// A factor x[j] prepared once for every row's product with it: the
// integer mantissa (hidden bit included), the biased exponent (-4096 for
// zero, subnormal, infinite and NaN values, which send every product to the
// general route) and the sign bit (0 or 1).
struct ExactFactor {
    std::uint64_t mantissa;
    std::int64_t exponent;
    std::int64_t sign;
};

// f[j] for x[j], j = 0 .. n-1.
void exactFactors(ExactFactor* f, const double* x, std::int64_t n);

// Adds the exact products row[j]*x[j], j = 0 .. cols-1, to the kExactLanes
// accumulators at lanes, xf holding exactFactors of x: product j goes to
// lanes[j % kExactLanes], except the last cols % kExactLanes, which go to
// lanes[0]. The sum is exact, so this spreading changes no bit of the
// merged value; it only lets consecutive products proceed without waiting
// for each other's chunks. Each product adds the value addProduct would
// add: normal factors whose product lies wholly at or above 2^-1075 take a
// shorter route (a negative product as four non-negative digits and a
// negative top digit), everything else (zeros, subnormals, infinities,
// NaN) the general one. A lane's countdown counts every product it is
// given, zeros and specials included: that only brings a carry
// propagation forward, which never changes the value held.
void exactRowProducts(ExactAccumulator* lanes, const double* row, const double* x, const ExactFactor* xf,
                      std::int64_t cols);

}  // namespace kernels

}  // namespace corx_internal
