/* SPDX-License-Identifier: BSD-3-Clause */
// A row's exact products in vector registers: the split route.
//
// exactRowSplit<V> adds the exact products row[j]*x[j] to the value held by
// the kExactLanes accumulators, as exactRowProducts does, but takes the
// products of the row's top exponent window kLanes<V> at a time. Every
// product's value is added exactly, whichever route it takes, so the
// merged value, and its rounding, are the same bits as exactRowProducts
// gives; only the time changes.
//
// The window. Let Ey be the largest exponent field of the row and Ez the
// largest of x's normal entries (exactSplit), and E = Ey + Ez - 1075: no
// product of normal factors has its lowest bit, of weight 2^(e - 1075)
// with e = ey + ez - 1075, above 2^(E - 1075). A product is admitted when
// key(y) + exponent[j] >= Ey + Ez - kExactWindow, key(y) being the
// exponent field of bits(y)*2 - 1 (with the sign bit shifted out): ey, or
// ey - 1 for a power of two, 2047 for a zero, 0 for a subnormal number.
// So admitted products of normal factors have e >= E - 46, zeros of the
// row are admitted against every x[j] but a subnormal or special one, and
// zeros of x against every y (a zero product either way). The others
// (subnormal, huge or special factors, products further down) take
// exactRowProducts' route one by one (exactSingleProduct), so correctness
// never depends on the data's range; once more than one in kExactGiveUp
// of a row's products were turned away, the rest of the row takes
// exactRowProducts. Rows where the window is not wholly of normal doubles
// (E < 99 or E > 1990, Ey > 2045 or Ey <= 46), every row when more than
// one in kExactGiveUp of x's entries lie beyond any window (ExactSplit::
// beyond), and every row while the rounding is not to nearest, take
// exactRowProducts whole.
//
// An admitted product. y = row[j] is cut like x[j] (exactSplit): yh, its
// magnitude rounded to 26 significant bits, and yl = y - yh, at most 26
// significant bits, both exact; likewise zh, zl for z = x[j]. Then
// p = y*z rounded, and err = ((yh*zh - p) + (yh*zl + yl*zh)) + yl*zl is
// y*z - p exactly: in units of 2^(e - 1075), y*z = A*B with
// A = Ah*2^27 + Al, B = Bh*2^27 + Bl, |Ah|, |Bh|, |Al|, |Bl| <= 2^26, and p
// is a multiple of 2^52 within 2^53 of A*B. The four products have at most
// 52 significant bits; yh*zh - p is a multiple of 2^52 below 2^82,
// yh*zl + yl*zh a multiple of 2^27 below 2^80, their sum A*B - p - Al*Bl a
// multiple of 2^27 below 2^54, and the last sum A*B - p an integer below
// 2^53: each is a double, so no step rounds, whatever the rounding.
//
// Levels. Three integer accumulators per vector lane hold multiples of
// the units 2^(K - 1075) for K = K0 = E + 56, K1 = E + 5, K2 = E - 46. A
// value t with |t| <= 2^(K - 1025) is split at level K by S = t + s,
// s = 1.5 * 2^(K - 1023): S lies in s's binade, whose unit is 2^(K - 1075),
// so bits(S) - bits(s) is the integer v = (S - s) / unit, |v| <= 2^50;
// q = S - s is exact, and so is r = t - q: |r| is at most half a unit
// (rounding to nearest) and needs no more bits than t. The integer v goes
// into the level's accumulator and r on to the next level, where
// |r| <= 2^(K - 1076) is within that level's bound. p (|p| <= 2^(E - 969),
// a multiple of 2^(e + 52 - 1075), e + 52 >= E + 6) is split at K0 and
// ends at K1, whose unit divides it, so that S = r + s is exact; err
// (|err| <= 2^(E - 1023), a multiple of 2^(e - 1075), e >= E - 46) is split
// at K1 and ends at K2. Every non-zero value met lies between 2^-1022 and
// 2^1023, so no step underflows or overflows. Lanes turned away compute
// whatever their factors give and are cleared before the levels.
//
// Each lane's accumulators add at most two v a product, each below 2^50
// in magnitude; they take bits(S) with wrapping and subtract the count of
// additions times bits(s) when they are emptied, at least every
// kExactFlush products of a lane, which keeps the true value below 2^62.
// Emptying adds the lanes' sum V of a level to lanes[0] as
// V * 2^(K - 1075) (exactAddShifted, one addition against its countdown).
#pragma once

#include <cstdint>
#include <cstring>

#include "kernels/exact_accumulator.h"
#include "kernels/simd.h"

namespace corx_internal::kernels {

// Vector iterations between two emptyings of the level accumulators, and
// the block of iterations after which rejected products are looked for.
inline constexpr std::int64_t kExactFlush = 1024;
inline constexpr std::int64_t kExactBlock = 32;
// A row goes on by exactRowProducts once more than one in kExactGiveUp of
// its products so far were turned away.
inline constexpr std::int64_t kExactGiveUp = 16;

namespace exact_rows {

template <class V>
struct WordsOf {
    typedef unsigned long long type __attribute__((vector_size(sizeof(V))));
};
template <class V>
using Words = typename WordsOf<V>::type;

inline double splitter(std::int64_t k) {
    // 1.5 * 2^(k - 1023): exponent field k, the top fraction bit set.
    const std::uint64_t b = (static_cast<std::uint64_t>(k) << 52) | (std::uint64_t{1} << 51);
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
}

// The lanes' sum of a level accumulator holding `count` additions of
// bits(s) on top of its integers, added to acc at unit 2^(k - 1075).
template <class V>
[[gnu::always_inline]] inline void empty(ExactAccumulator& acc, const Words<V>& a, std::uint64_t count, double s,
                                         std::int64_t k) {
    std::uint64_t w[kLanes<V>];
    std::memcpy(w, &a, sizeof w);
    std::uint64_t sb;
    std::memcpy(&sb, &s, sizeof sb);
    Int128 total = 0;
    for (int l = 0; l < kLanes<V>; ++l) total += static_cast<std::int64_t>(w[l] - count * sb);
    if (total != 0) exactAddShifted(acc, static_cast<ExactBucket>(total), k);
}

// The products row[i .. i+L-1] * x[i .. i+L-1] by the split route's
// arithmetic: each one's p and err, both exact, split into the integers of
// the three levels and added, as bits, to a0, a1 and a2. Lanes whose keep
// is zero add zero (their products may be anything).
template <class V>
[[gnu::always_inline]] inline void addProducts(const double* row, const double* x, const ExactSplit& xs,
                                               std::int64_t i, const Words<V>& keep, double s0, double s1,
                                               double s2, Words<V>& a0, Words<V>& a1, Words<V>& a2) {
    using W = Words<V>;
    W yb;
    std::memcpy(&yb, row + i, sizeof yb);
    const W hb = (yb + (std::uint64_t{1} << 26)) & ~((std::uint64_t{1} << 27) - 1);
    const V y = reinterpret_cast<V>(yb), yh = reinterpret_cast<V>(hb);
    const V yl = y - yh;
    V z, zh, zl;
    load(z, x + i);
    load(zh, xs.high + i);
    load(zl, xs.low + i);
    const V pr = y * z;
    const V errRaw = ((yh * zh - pr) + (yh * zl + yl * zh)) + yl * zl;
    const V p = reinterpret_cast<V>(reinterpret_cast<W>(pr) & keep);
    const V err = reinterpret_cast<V>(reinterpret_cast<W>(errRaw) & keep);
    // p: split at K0, the rest exactly at K1.
    V t = p + s0;
    a0 += reinterpret_cast<W>(t);
    const V rp = p - (t - s0);
    a1 += reinterpret_cast<W>(rp + s1);
    // err: split at K1, the rest exactly at K2.
    t = err + s1;
    a1 += reinterpret_cast<W>(t);
    const V re = err - (t - s1);
    a2 += reinterpret_cast<W>(re + s2);
}

}  // namespace exact_rows

template <class V>
[[gnu::always_inline]] inline void exactRowSplit(ExactAccumulator* lanes, ExactBuckets& buckets, const double* row,
                                                 const double* x, const ExactFactor* xf, const ExactSplit& xs,
                                                 std::int64_t cols) {
    using W = exact_rows::Words<V>;
    using M = Mask<V>;
    constexpr int L = kLanes<V>;
    const std::int64_t full = cols - cols % L;
    if (xs.maxExponent < 1 || xs.beyond * kExactGiveUp > cols || !exactRoundsToNearest()) {
        exactRowProducts(lanes, buckets, row, x, xf, cols);
        return;
    }

    // Ey, the row's largest exponent field, infinities and NaN included;
    // four running maxima so that the comparisons do not wait on each other.
    M top[4] = {};
    std::int64_t j = 0;
    for (; j + 4 * L <= full; j += 4 * L) {
#pragma GCC unroll 4
        for (int u = 0; u < 4; ++u) {
            W b;
            std::memcpy(&b, row + j + u * L, sizeof b);
            const M f = reinterpret_cast<M>((b << 1) >> 53);
            top[u] = top[u] > f ? top[u] : f;
        }
    }
    for (; j < full; j += L) {
        W b;
        std::memcpy(&b, row + j, sizeof b);
        const M f = reinterpret_cast<M>((b << 1) >> 53);
        top[0] = top[0] > f ? top[0] : f;
    }
    top[0] = top[0] > top[1] ? top[0] : top[1];
    top[2] = top[2] > top[3] ? top[2] : top[3];
    top[0] = top[0] > top[2] ? top[0] : top[2];
    std::int64_t topY = 0;
    for (int l = 0; l < L; ++l) topY = top[0][l] > topY ? top[0][l] : topY;
    for (std::int64_t i = full; i < cols; ++i) {
        std::uint64_t b;
        std::memcpy(&b, row + i, sizeof b);
        const std::int64_t f = static_cast<std::int64_t>((b << 1) >> 53);
        topY = f > topY ? f : topY;
    }
    const std::int64_t topX = xs.maxExponent;  // Ez and E as above
    const std::int64_t topE = topY + topX - 1075;
    if (topY > 2045 || topY <= kExactWindow || topE < 53 + kExactWindow || topE > 1990) {
        exactRowProducts(lanes, buckets, row, x, xf, cols);
        return;
    }

    const std::int64_t least = topY + topX - kExactWindow;  // the window test's bound
    const std::int64_t k0 = topE + 56, k1 = topE + 5, k2 = topE - 46;
    const double s0 = exact_rows::splitter(k0), s1 = exact_rows::splitter(k1), s2 = exact_rows::splitter(k2);
    W a0 = {}, a1 = {}, a2 = {};
    std::int64_t since = 0;       // iterations since the accumulators were emptied
    std::int64_t turnedAway = 0;  // products of the row the window turned away

    // in: all ones in the lanes of the products i .. i+L-1 the window admits.
    auto admit = [&](M& in, std::int64_t i) __attribute__((always_inline)) {
        W yb;
        std::memcpy(&yb, row + i, sizeof yb);
        M ex;
        std::memcpy(&ex, xs.exponent + i, sizeof ex);
        in = (reinterpret_cast<M>(((yb << 1) - 1) >> 53) + ex) >= least;
    };
    auto emptyLevels = [&]() __attribute__((always_inline)) {
        const std::uint64_t n = static_cast<std::uint64_t>(since);
        exact_rows::empty<V>(lanes[0], a0, n, s0, k0);
        exact_rows::empty<V>(lanes[0], a1, 2 * n, s1, k1);
        exact_rows::empty<V>(lanes[0], a2, n, s2, k2);
        a0 = W{};
        a1 = W{};
        a2 = W{};
        since = 0;
    };

    j = 0;
    while (j < full) {
        const std::int64_t start = j;
        const std::int64_t end = full - j < kExactBlock * L ? full : j + kExactBlock * L;
        M admitted = ~M{};
        for (std::int64_t i = start; i < end; i += L) {
            M in;
            admit(in, i);
            admitted &= in;
            exact_rows::addProducts<V>(row, x, xs, i, reinterpret_cast<W>(in), s0, s1, s2, a0, a1, a2);
        }
        since += (end - start) / L;

        std::int64_t all = -1;
        for (int l = 0; l < L; ++l) all &= admitted[l];
        j = end;
        if (all != -1) {
            // The products the window turned away (their lanes added
            // zero), one by one.
            for (std::int64_t i = start; i < end; i += L) {
                M in;
                admit(in, i);
                std::int64_t every = -1;
                for (int l = 0; l < L; ++l) every &= in[l];
                if (every == -1) continue;
                for (int l = 0; l < L; ++l) {
                    if (in[l] != 0) continue;
                    exactSingleProduct(lanes, buckets, row, x, xf, i + l);
                    turnedAway += 1;
                }
            }
            // A row spread wider than the window goes on by the other route.
            if (turnedAway * kExactGiveUp > end) break;
        }
        if (since > kExactFlush - kExactBlock) emptyLevels();
    }
    // The last cols % L products, or the rest of a row given up.
    exactRowProducts(lanes, buckets, row + j, x + j, xf + j, cols - j);
    emptyLevels();
}

// Products a row may have for exactLevelRow: each adds at most two
// integers below 2^50 to a level, so the sums stay below 2^62.
inline constexpr std::int64_t kLevelRowMost = 4000;

namespace exact_rows {

// The row's largest exponent field and its smallest window key, each key
// raised by x's exponent (see above) when ex is given; four running maxima
// and minima, so that the comparisons do not wait on each other.
template <class V>
[[gnu::always_inline]] inline void scanKeys(const double* row, const std::int64_t* ex, std::int64_t n,
                                            std::int64_t& topY, std::int64_t& lowest) {
    using W = Words<V>;
    using M = Mask<V>;
    constexpr int L = kLanes<V>;
    topY = 0;
    lowest = kExactAnyExponent;
    std::int64_t j = 0;
    if (n >= 2 * L) {
        M top[4] = {}, low[4];
        for (M& v : low) v = M{} + kExactAnyExponent;
        auto scan = [&](std::int64_t i, int u) __attribute__((always_inline)) {
            W b;
            std::memcpy(&b, row + i, sizeof b);
            const M f = reinterpret_cast<M>((b << 1) >> 53);
            M key = reinterpret_cast<M>(((b << 1) - 1) >> 53);
            if (ex != nullptr) {
                M e;
                std::memcpy(&e, ex + i, sizeof e);
                key += e;
            }
            top[u] = top[u] > f ? top[u] : f;
            low[u] = low[u] < key ? low[u] : key;
        };
        for (; j + 4 * L <= n; j += 4 * L) {
#pragma GCC unroll 4
            for (int u = 0; u < 4; ++u) scan(j + u * L, u);
        }
        for (; j + L <= n; j += L) scan(j, 0);
        for (int u = 0; u < 4; ++u)
            for (int l = 0; l < L; ++l) {
                topY = top[u][l] > topY ? top[u][l] : topY;
                lowest = low[u][l] < lowest ? low[u][l] : lowest;
            }
    }
    for (; j < n; ++j) {
        std::uint64_t b;
        std::memcpy(&b, row + j, sizeof b);
        const std::int64_t f = static_cast<std::int64_t>((b << 1) >> 53);
        const std::int64_t key = static_cast<std::int64_t>(((b << 1) - 1) >> 53) + (ex != nullptr ? ex[j] : 0);
        topY = f > topY ? f : topY;
        lowest = key < lowest ? key : lowest;
    }
}

}  // namespace exact_rows

// A row's ExactRowScan: what exactLevelRow's window test needs of the row
// alone, whichever x it meets.
template <class V>
[[gnu::always_inline]] inline ExactRowScan exactRowScan(const double* row, std::int64_t n) {
    ExactRowScan out;
    exact_rows::scanKeys<V>(row, nullptr, n, out.topY, out.lowKey);
    return out;
}

// A row's exact residual by the split route's arithmetic, without an
// accumulator: out = the rounding of c + row[0]*x[0] + ... +
// row[n-1]*x[n-1] that an accumulator would give, for n <= kLevelRowMost
// and rows the window above takes whole (the same conditions, every
// product admitted). c is split like a product's p, from one level
// higher, K3 = K0 + 51: with |c| <= 2^(K3 - 1025) and c a multiple of
// K1's unit its pieces end exactly at K1. The four levels are summed over
// the row in 64-bit integers and rounded by roundLevels. Returns false,
// leaving out alone, for rows the window does not take whole, for c out
// of those bounds, and where roundLevels does not decide; the
// floating-point unit must round to nearest.
//
// With the row's scan given, the window test is first made from it and x's
// smallest exponent: every product's key is at least the row's smallest
// key plus x's smallest exponent, so when that sum passes, every product
// does, and only where it does not are the products' keys scanned.
template <class V>
[[gnu::always_inline]] inline bool exactLevelRow(double c, const double* row, const double* x, const ExactSplit& xs,
                                                 std::int64_t n, const ExactRowScan* rowScan, double& out) {
    using W = exact_rows::Words<V>;
    constexpr int L = kLanes<V>;
    if (xs.maxExponent < 1 || n > kLevelRowMost) return false;
    // Ey, and the smallest window key of the row's products.
    std::int64_t topY = 0, lowest = kExactAnyExponent;
    if (rowScan != nullptr && rowScan->lowKey + xs.minExponent >= rowScan->topY + xs.maxExponent - kExactWindow) {
        topY = rowScan->topY;
        lowest = rowScan->lowKey + xs.minExponent;
    } else {
        exact_rows::scanKeys<V>(row, xs.exponent, n, topY, lowest);
    }
    const std::int64_t topE = topY + xs.maxExponent - 1075;
    if (topY > 2045 || topY <= kExactWindow || topE < 53 + kExactWindow || topE > 1939 ||
        lowest < topY + xs.maxExponent - kExactWindow)
        return false;
    const std::int64_t k0 = topE + 56, k1 = topE + 5, k2 = topE - 46, k3 = k0 + 51;
    std::uint64_t cb;
    std::memcpy(&cb, &c, sizeof cb);
    const std::int64_t fc = static_cast<std::int64_t>((cb << 1) >> 53);
    if ((cb << 1) != 0 && (fc < k1 || fc > k3 - 3)) return false;
    const double s0 = exact_rows::splitter(k0), s1 = exact_rows::splitter(k1), s2 = exact_rows::splitter(k2);
    const double s3 = exact_rows::splitter(k3);

    // Two sets of level sums, so that consecutive vectors do not wait on
    // each other's additions.
    W v0[2] = {}, v1[2] = {}, v2[2] = {};
    const W all = ~W{};
    auto body = [&](std::int64_t i, int u) __attribute__((always_inline)) {
        exact_rows::addProducts<V>(row, x, xs, i, all, s0, s1, s2, v0[u], v1[u], v2[u]);
    };
    std::int64_t j = 0;
    for (; j + 2 * L <= n; j += 2 * L) {
        body(j, 0);
        body(j + L, 1);
    }
    for (; j + L <= n; j += L) body(j, 0);
    // c: split at K3, the rest at K0, ending at K1.
    std::uint64_t a3, a0, a1, a2 = 0;
    {
        const double t = c + s3;
        std::memcpy(&a3, &t, sizeof a3);
        const double rc = c - (t - s3), t0 = rc + s0;
        std::memcpy(&a0, &t0, sizeof a0);
        const double r1 = rc - (t0 - s0) + s1;
        std::memcpy(&a1, &r1, sizeof a1);
    }
    for (int l = 0; l < L; ++l) {
        a0 += v0[0][l] + v0[1][l];
        a1 += v1[0][l] + v1[1][l];
        a2 += v2[0][l] + v2[1][l];
    }
    // The rest one by one, in the same operations.
    for (; j < n; ++j) {
        std::uint64_t yb;
        std::memcpy(&yb, row + j, sizeof yb);
        const std::uint64_t hb = (yb + (std::uint64_t{1} << 26)) & ~((std::uint64_t{1} << 27) - 1);
        double yh;
        std::memcpy(&yh, &hb, sizeof yh);
        const double y = row[j], yl = y - yh;
        const double z = x[j], zh = xs.high[j], zl = xs.low[j];
        const double p = y * z;
        const double err = ((yh * zh - p) + (yh * zl + yl * zh)) + yl * zl;
        double t = p + s0;
        std::uint64_t tb;
        std::memcpy(&tb, &t, sizeof tb);
        a0 += tb;
        const double rp = p - (t - s0), r1 = rp + s1;
        std::memcpy(&tb, &r1, sizeof tb);
        a1 += tb;
        t = err + s1;
        std::memcpy(&tb, &t, sizeof tb);
        a1 += tb;
        const double re = err - (t - s1), r2 = re + s2;
        std::memcpy(&tb, &r2, sizeof tb);
        a2 += tb;
    }
    std::uint64_t b0, b1, b2, b3;
    std::memcpy(&b0, &s0, sizeof b0);
    std::memcpy(&b1, &s1, sizeof b1);
    std::memcpy(&b2, &s2, sizeof b2);
    std::memcpy(&b3, &s3, sizeof b3);
    const std::uint64_t count = static_cast<std::uint64_t>(n);
    return roundLevels(static_cast<std::int64_t>(a3 - b3), static_cast<std::int64_t>(a0 - (count + 1) * b0),
                       static_cast<std::int64_t>(a1 - (2 * count + 1) * b1), static_cast<std::int64_t>(a2 - count * b2),
                       k2, out);
}

// The kernel set's entry: the split route where a vector holds at least
// four doubles; at two its integer steps cost more than they save (the
// compares of 64-bit lanes alone take several instructions), and every row
// takes exactRowProducts.
template <class V>
[[gnu::always_inline]] inline void exactRows(ExactAccumulator* lanes, ExactBuckets& buckets, const double* row,
                                             const double* x, const ExactFactor* xf, const ExactSplit& xs,
                                             std::int64_t cols) {
    if constexpr (kLanes<V> >= 4) {
        exactRowSplit<V>(lanes, buckets, row, x, xf, xs, cols);
    } else {
        exactRowProducts(lanes, buckets, row, x, xf, cols);
    }
}

}  // namespace corx_internal::kernels
