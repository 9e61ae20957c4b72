/* SPDX-License-Identifier: BSD-3-Clause */
// Short rows' exact residuals side by side: one row per vector lane.
//
// exactShortRows<V> takes kShortLanes rows of n <= kShortMost products,
// staged lane by lane: c[l], y[j * kShortLanes + l], z[j * kShortLanes + l].
// For every lane it forms 2n + 1 terms whose sum is exactly
// c + y[0]*z[0] + ... + y[n-1]*z[n-1]: c, and for each product its
// rounding p and error err, by the split route's arithmetic
// (kernels/exact_rows.h: halves of at most 26 bits, every step exact).
// Three passes of error-free sums then run over the terms: each step
// replaces a neighbouring pair a, b by s = a + b rounded and
// e = (a - (s - (s - a))) + (b - (s - a)), which is a + b - s exactly
// (rounding to nearest, no overflow), so every pass keeps the exact sum
// and leaves its rounded running sum in the last term q. The rest,
// R = the sum of the other terms, is summed plainly and bounded:
// |R| <= |R~| + m * 2^-52 * S~, R~ and S~ the plain sums of the terms and
// of their magnitudes, m the count of terms (twice the error bound of a
// plain sum of m terms). When that bound lies below three quarters of the
// distance from q to the midpoint between q and its neighbour (half a unit
// in the last place of q; a quarter where q is a power of two, whose lower
// neighbour is nearer), q + R rounds to q: q is the rounding to nearest of
// the exact sum, the bits the accumulator gives. A sum whose terms are all
// zero is +0.0, as the accumulator gives.
//
// Where every step is exact: c zero or 2^-900 <= |c| < 2^1001; every
// factor finite, and every product with both factors non-zero of normal
// factors with 2^-900 <= |y*z| < 2^1001 (so err's lowest bit lies above
// 2^-1010 and no sum exceeds 2^1008). Lanes outside that range are not
// computed (their inputs are cleared first, so no special value meets an
// operation), and neither they nor lanes the bound leaves undecided, nor
// those where q lies below 2^-959, are written: the caller takes them by
// another route. The floating-point unit must round to nearest.
#pragma once

#include <cstdint>
#include <cstring>

#include "kernels/exact_rows.h"
#include "kernels/simd.h"

namespace corx_internal::kernels {

inline constexpr int kShortLanes = 8;
inline constexpr int kShortMost = 16;

// Takes the lanes below `lanes` (the staging of the rest of their vector
// must hold some values, zeros say) and returns a bit mask of the lanes
// written to out.
template <class V>
[[gnu::always_inline]] inline unsigned exactShortRows(const double* c, const double* y, const double* z, int n,
                                                      int lanes, double* out) {
    using W = exact_rows::Words<V>;
    using M = Mask<V>;
    constexpr int L = kLanes<V>;
    constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
    constexpr std::uint64_t kFraction = (std::uint64_t{1} << 52) - 1;
    // Rounding to the top 26 bits of the significand: add half of the
    // 27th bit's unit, clear it and below.
    constexpr std::uint64_t kHalf = std::uint64_t{1} << 26, kHigh = ~((std::uint64_t{1} << 27) - 1);
    const int m = 2 * n + 1;
    // The tests below keep their verdicts in sign bits (a difference below
    // zero, an or of such), never as compared lanes: a 64-bit compare
    // gives AVX-512 (F) a predicate register, which it can only turn back
    // into a vector lane by lane.
    unsigned written = 0;
    for (int l0 = 0; l0 < lanes; l0 += L) {
        W cb;
        std::memcpy(&cb, c + l0, sizeof cb);
        // Sign set: c is out of range (neither zero nor an exponent field
        // in 123 .. 2023).
        const M ca = reinterpret_cast<M>((cb << 1) >> 1), fc = ca >> 52;
        M bad = ((fc - 123) | (2023 - fc)) & ~(ca - 1);
        for (int j = 0; j < n; ++j) {
            W yb, zb;
            std::memcpy(&yb, y + j * kShortLanes + l0, sizeof yb);
            std::memcpy(&zb, z + j * kShortLanes + l0, sizeof zb);
            const M ya = reinterpret_cast<M>((yb << 1) >> 1), za = reinterpret_cast<M>((zb << 1) >> 1);
            const M fy = ya >> 52, fz = za >> 52, f = fy + fz;
            // Sign set: a factor is infinite or NaN; either is zero; the
            // product's factors or range are outside those allowed.
            const M special = (2046 - fy) | (2046 - fz);
            const M zero = (ya - 1) | (za - 1);
            const M range = (fy - 1) | (fz - 1) | (f - 1146) | (3045 - f);
            bad |= special | (range & ~zero);
        }
        const W keep = reinterpret_cast<W>(~(bad >> 63));

        V t[2 * kShortMost + 1];
        t[0] = reinterpret_cast<V>(cb & keep);
        for (int j = 0; j < n; ++j) {
            W yb, zb;
            std::memcpy(&yb, y + j * kShortLanes + l0, sizeof yb);
            std::memcpy(&zb, z + j * kShortLanes + l0, sizeof zb);
            yb &= keep;
            zb &= keep;
            const V yv = reinterpret_cast<V>(yb), zv = reinterpret_cast<V>(zb);
            const V yh = reinterpret_cast<V>((yb + kHalf) & kHigh), zh = reinterpret_cast<V>((zb + kHalf) & kHigh);
            const V yl = yv - yh, zl = zv - zh;
            const V p = yv * zv;
            t[2 * j + 1] = p;
            t[2 * j + 2] = ((yh * zh - p) + (yh * zl + yl * zh)) + yl * zl;
        }
        for (int pass = 0; pass < 3; ++pass) {
            for (int i = 1; i < m; ++i) {
                const V a = t[i - 1], b = t[i];
                const V s = a + b, bb = s - a;
                t[i - 1] = (a - (s - bb)) + (b - bb);
                t[i] = s;
            }
        }
        const V q = t[m - 1];
        V rest = {}, size = {};
        for (int i = 0; i < m - 1; ++i) {
            rest += t[i];
            size += reinterpret_cast<V>(reinterpret_cast<W>(t[i]) & ~kSign);
        }

        // The limit: half a unit of q, a quarter where q's fraction is
        // zero, from q's exponent field raised to at least 64 (|q| below
        // 2^-959 is left undecided).
        const W qb = reinterpret_cast<W>(q);
        const M qa = reinterpret_cast<M>((qb << 1) >> 1), fq = qa >> 52;
        const M small = fq - 64;
        const M fl = fq - (small & (small >> 63));  // max(fq, 64)
        const M power = reinterpret_cast<M>(qb & kFraction) - 1;  // sign set: fraction zero
        const V limit = reinterpret_cast<V>(((fl - 53) << 52) + ((power >> 63) << 52));
        const V bound = reinterpret_cast<V>(reinterpret_cast<W>(rest) & ~kSign) + size * (m * 0x1p-52);
        // Sign set: decided (bound below the limit, q large enough, inputs
        // in range); or every term zero.
        const M over = reinterpret_cast<M>(bound - limit * (1.0 - 0x1p-50));
        const M decided = over & ~small & ~bad;
        const M nothing = (qa - 1) & (reinterpret_cast<M>(size) - 1) & ~bad;
        for (int l = 0; l < L && l0 + l < lanes; ++l) {
            if (decided[l] < 0) {
                out[l0 + l] = q[l];
                written |= 1u << (l0 + l);
            } else if (nothing[l] < 0) {
                out[l0 + l] = 0.0;
                written |= 1u << (l0 + l);
            }
        }
    }
    return written;
}

}  // namespace corx_internal::kernels
