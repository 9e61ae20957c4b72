/* SPDX-License-Identifier: BSD-3-Clause */
// The exact accumulator of the residuals: a sum of doubles and products of
// doubles kept without rounding, rounded once at the end.
//
// Every product of two doubles is formed as an exact integer (at most 106
// bits) and added, with the right-hand side, into a wide fixed-point
// accumulator of 32-bit-weighted signed digits whose carries are deferred.
// A row's products go first into 128-bit buckets, one per product exponent,
// which are folded into the accumulator once per row (see exactRowProducts):
// one shift and five digit additions per exponent instead of per product.
// The kernel sets take most of a row's products by a vector route instead
// (kernels/exact_rows.h), which hands the rest to the buckets.
// Only the final value of a row is rounded to double, to nearest with ties
// to even. The lowest weight held is 2^-1075: parts of a product below it
// are dropped, and below the smallest normal double the lowest accumulator
// bit is simply dropped (see round), so only there, or within the dropped
// parts of a halfway point, can the last bit differ from the correctly
// rounded value.
#pragma once

#include <cstdint>

#include "arithmetic/wide_integer.h"

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

// The narrow route for short sums: out = round(c + y[0]*z[0] + ... +
// y[n-1]*z[n-1]), the bits an accumulator given the same term and
// products and then rounded would return, for n <= 16, computed in a
// 256-bit integer instead of the 131 chunks. It decides only when every
// factor and c are finite and zero or normal, every non-zero product's
// lowest bit weighs at least 2^-1075 (nothing is dropped), the lowest bits
// of the non-zero terms lie within 127 binades of each other, and the sum
// is zero or between 2^-1022 and 2^1023 in magnitude (so it rounds to
// nearest, ties to even, with no special case); it returns false,
// leaving out alone, otherwise. A zero sum gives +0.0, as round does.
bool roundShortSum(double c, const double* y, const double* z, std::int64_t n, double& out);

namespace kernels {

// Accumulators a row's products are spread over.
inline constexpr int kExactLanes = 4;

// A factor x[j] prepared once for every row's product with it. A product
// y*x[j] with y of biased exponent ey takes the bucket route when
// d = ey - low, as an unsigned number, is below span: then both factors
// are normal and the product's lowest bit weighs 2^(e - 1075) with
// e = d + low + (exponent of x[j]) - 1075 >= 0, and its bucket is
// ExactBuckets::words[kExactLanes * e + j % kExactLanes], at byte offset
// 64 * d + place. span is 0 for a zero,
// subnormal, infinite or NaN x[j], whose products all take the general
// route.
struct ExactFactor {
    // The integer mantissa, hidden bit included, with the sign of x[j]
    // (index 0) and with the opposite sign (index 1): index y's sign bit to
    // get the product's signed mantissa.
    std::int64_t mantissa[2];
    // 16 * (kExactLanes * (e - d) + j % kExactLanes): the byte offset of
    // the bucket of d = 0.
    std::int64_t place;
    std::uint32_t low;   // max(1, 1075 - exponent of x[j])
    std::uint32_t span;  // 2047 - low, or 0
};
static_assert(sizeof(ExactFactor) == 32, "a prepared factor is four words");

// f[j] for x[j], j = 0 .. n-1.
void exactFactors(ExactFactor* f, const double* x, std::int64_t n);

// Product exponents e (the product's lowest bit weighing 2^(e - 1075)) of
// the bucket route lie in 0 .. 3017; the buckets cover 48 groups of 64.
inline constexpr std::int64_t kExactBucketGroups = 48;
inline constexpr std::int64_t kExactBuckets = 64 * kExactBucketGroups;
// Products each lane may add to a bucket between two folds: a product's
// integer is below 2^106 in magnitude, so the kExactLanes * 2^19 = 2^21
// products of a bucket's lanes together stay inside signed 128 bits.
inline constexpr std::int64_t kBucketAdditions = std::int64_t{1} << 19;

// Exact products grouped by exponent before they reach an accumulator.
// words holds, for every e in 0 .. kExactBuckets-1 and lane l, a 128-bit
// two's complement integer at words[kExactLanes * e + l] (low word first)
// of weight 2^(e - 1075): the sum of the lane's products of exponent e
// since the last fold. Outside exactRowProducts every bucket is zero.
using ExactBucket = UInt128;

struct ExactBuckets {
    ExactBucket* words;  // kExactLanes * kExactBuckets entries, 16-byte aligned
    // Bit g set when a bucket of 64g .. 64g+63 may be non-zero.
    std::uint64_t touched;
    // Products each lane may still add before a fold; folds restart it at
    // additions (kBucketAdditions; tests lower it to fold often).
    std::int64_t countdown;
    std::int64_t additions;
};

// Adds the exact products row[j]*x[j], j = 0 .. cols-1, to the value held
// by the kExactLanes accumulators at lanes, xf holding exactFactors of x,
// leaving every bucket zero. Product j belongs to lane j % kExactLanes.
// Normal factors whose product lies wholly at or above 2^-1075 (e >= 0)
// take the bucket route: the 106-bit product, negated in two's complement
// when negative, is added without shifting to its lane's bucket e; at a
// fold (when a lane's countdown runs out, and at the end of the row) each
// touched exponent's lanes are summed and the sum V goes into lanes[0] as
// V * 2^(e - 1075), one addition of five pieces below 2^32 in magnitude
// against its countdown. Everything else (zeros, subnormals, infinities,
// NaN, products reaching below 2^-1075, each truncated there on its own)
// takes the general route into its lane's accumulator as addProduct
// would. The sum is exact, so neither the spreading nor the grouping
// changes a bit of the merged value; they only let consecutive products
// proceed without waiting for each other's memory.
void exactRowProducts(ExactAccumulator* lanes, ExactBuckets& buckets, const double* row, const double* x,
                      const ExactFactor* xf, std::int64_t cols);

// The product row[j]*x[j] by the route exactRowProducts gives it, into
// lanes[j % kExactLanes] or its bucket, folding the buckets first when the
// countdown has run out and counting one against it. Leaves buckets
// non-zero: the caller folds them before the row ends.
void exactSingleProduct(ExactAccumulator* lanes, ExactBuckets& buckets, const double* row, const double* x,
                        const ExactFactor* xf, std::int64_t j);

// Empties every touched bucket into acc (as exactRowProducts does at the
// end of a row) and restarts the countdown.
void exactFoldBuckets(ExactAccumulator& acc, ExactBuckets& buckets);

// Adds V * 2^(e - 1075) to acc as one addition of five pieces below 2^32 in
// magnitude, V a two's complement integer below 2^127 in magnitude and
// 0 <= e <= 2047; propagates carries first when the countdown has run out.
void exactAddShifted(ExactAccumulator& acc, ExactBucket v, std::int64_t e);

// True when the floating-point unit rounds to nearest now; the split route
// of exactRowSplit relies on it.
bool exactRoundsToNearest();

// Products of the split route lie at most kExactWindow binades below the
// largest product a row and x allow (kernels/exact_rows.h).
inline constexpr std::int64_t kExactWindow = 46;

// x prepared for the split route (kernels/exact_rows.h), in three arrays of
// n entries. For x[j] normal with exponent field f <= 2045: high[j] is x[j]
// rounded to 26 significant bits (halves away from zero), low[j] =
// x[j] - high[j] (exact, at most 26 significant bits), exponent[j] = f.
// For a zero: high = low = 0 and exponent kExactAnyExponent, so its
// products pass the window test and add zero. Otherwise (subnormal, huge,
// infinite, NaN): high = low = 0 and exponent -kExactAnyExponent, which no
// window admits. maxExponent is the largest f of the normal ones, 0 if none;
// minExponent the smallest exponent[j] (kExactAnyExponent for n = 0);
// beyond counts the x[j] whose products no row's window admits: those of
// exponent -kExactAnyExponent and those more than kExactWindow below
// maxExponent.
inline constexpr std::int64_t kExactAnyExponent = std::int64_t{1} << 20;
struct ExactSplit {
    const double* high;
    const double* low;
    const std::int64_t* exponent;
    std::int64_t maxExponent;
    std::int64_t beyond;
    std::int64_t minExponent;
};
ExactSplit exactSplit(double* high, double* low, std::int64_t* exponent, const double* x, std::int64_t n);

// What the split route's window test needs of a row alone, whichever x it
// meets (kernels/exact_rows.h): its largest exponent field, infinities and
// NaN included, and its smallest window key (the exponent field of
// bits*2 - 1 with the sign shifted out: 2047 for a zero). A row met by
// several x is scanned once.
struct ExactRowScan {
    std::int64_t topY;
    std::int64_t lowKey;
};

// roundShortSum's result for the value
// (((a3 * 2^51 + a0) * 2^51 + a1) * 2^51 + a2) * 2^(k2 - 1075), the levels
// of exactLevelRow (kernels/exact_rows.h), |a3|, |a0|, |a1|, |a2| < 2^62.
// Returns false, leaving out alone, where roundShortSum would not decide.
bool roundLevels(std::int64_t a3, std::int64_t a0, std::int64_t a1, std::int64_t a2, std::int64_t k2, double& out);

}  // namespace kernels

}  // namespace corx_internal
