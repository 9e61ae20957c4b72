/* SPDX-License-Identifier: BSD-3-Clause */
// Scaling by powers of two, for decompositions that work on a scaled copy
// of their input when its magnitudes would take their sums of squares out
// of the normal range.
//
// Multiplying by 2^e changes only the exponent: it is exact as long as the
// result is neither subnormal nor infinite. QR and the Jacobi SVD are built
// from sums of products, quotients and square roots, each of which commutes
// with such a scaling (a quantity of degree d in the input is multiplied by
// 2^(d*e), and a square root of 2^(2e)*x is 2^e*sqrt(x)), so the scaled
// computation gives the same bits, scaled, wherever neither computation
// leaves the normal range; where the unscaled one would, the scaled one
// stays accurate.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace corx_internal {

// 2^e for -1074 <= e <= 1023 (a subnormal below -1022), built exactly.
inline double powerOfTwo(int e) {
    const std::uint64_t bits = e >= -1022 ? static_cast<std::uint64_t>(e + 1023) << 52
                                          : std::uint64_t{1} << (e + 1074);
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// x * 2^e with one rounding: exact when the result is normal or zero;
// a subnormal result is correctly rounded, one too large is an infinity.
// Zeros, infinities and NaN are returned as they are.
inline double scaleByPowerOfTwo(double x, int e) {
    if (e >= -1074 && e <= 1023) return x * powerOfTwo(e);
    if (!(std::fabs(x) <= std::numeric_limits<double>::max()) || x == 0.0) return x;
    if (e > 1023) {
        // Upward every step is exact until the result overflows.
        double y = x;
        while (e > 1023 && std::fabs(y) <= std::numeric_limits<double>::max()) {
            y = y * powerOfTwo(1023);
            e -= 1023;
        }
        return e > 1023 ? y : y * powerOfTwo(e);
    }
    // Downward past 2^-1074: a first exact step to a normal value, then the
    // one rounding. A first step that would leave the normal range means a
    // result below 2^-2096: a signed zero.
    if (e < -2148) return std::copysign(0.0, x);
    const double y = x * powerOfTwo(e + 1074);
    if (std::fabs(y) < std::numeric_limits<double>::min()) return std::copysign(0.0, x);
    return y * powerOfTwo(-1074);
}

// The exponent e with 2^(e-1) <= |x| < 2^e, for finite non-zero x.
inline int binaryExponent(double x) { return std::ilogb(x) + 1; }

// The power of two a decomposition scales its input by. Only finite
// non-zero entries count. When every one of them lies in
// [2^smallest, 2^largest), or there is none, the shift is 0 and the input is
// used as it is; otherwise the shift brings the largest magnitude into
// [2^(largest-1), 2^largest), the top of the range the caller has shown to
// be free of overflow. Entries that scaling down would make subnormal lose
// their low bits: they lie more than the exponent range below the largest.
int decompositionShift(const double* p, std::int64_t count, int largest, int smallest);

// Bits needed to write n >= 0 in binary (0 for 0).
int bitWidth(std::int64_t n);

}  // namespace corx_internal
