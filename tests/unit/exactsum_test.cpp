// SPDX-License-Identifier: BSD-3-Clause
// The exact residual accumulator against GMP: every retained product and the
// right-hand side summed exactly in big integers (units of 2^-1075), then
// rounded to nearest-even independently of the library.
#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "algorithms/exactsum.h"
#include "kernels/exact_accumulator.h"
#include "kernels/exact_rows.h"
#include "kernels/kernel_set.h"
#include "support/bits.h"

using corx_internal::ExactAccumulator;
using corx_test::bitsOf;
using corx_test::sameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// d * 2^shift exactly when that is an integer, else truncated toward zero.
mpz_class scaled(mpz_class mantissa, long exponent) {
    mpz_class r;
    if (exponent >= 0) {
        mpz_mul_2exp(r.get_mpz_t(), mantissa.get_mpz_t(), static_cast<mp_bitcnt_t>(exponent));
    } else {
        mpz_tdiv_q_2exp(r.get_mpz_t(), mantissa.get_mpz_t(), static_cast<mp_bitcnt_t>(-exponent));
    }
    return r;
}

// A finite double as signed integer mantissa * 2^exponent (from frexp).
void split(double d, mpz_class& mantissa, long& exponent) {
    int e = 0;
    const double f = std::frexp(d, &e);
    mantissa = static_cast<long>(std::ldexp(f, 53));
    exponent = e - 53;
}

// b - sum(a*x) in units of 2^-1075, products truncated below 2^-1075.
mpz_class exactUnits(const std::vector<double>& a, const std::vector<double>& x, double b) {
    mpz_class mb, total;
    long eb;
    split(b, mb, eb);
    total = scaled(mb, eb + 1075);
    for (std::size_t j = 0; j < a.size(); ++j) {
        mpz_class ma, mx;
        long ea, ex;
        split(a[j], ma, ea);
        split(x[j], mx, ex);
        total -= scaled(ma * mx, ea + ex + 1075);
    }
    return total;
}

// Nearest double (ties to even) to n * 2^-1075, for |n| >= 2^53.
double roundNearest(const mpz_class& n) {
    const mpz_class a = abs(n);
    const long shift = static_cast<long>(mpz_sizeinbase(a.get_mpz_t(), 2)) - 53;
    mpz_class q, rem, half;
    mpz_tdiv_q_2exp(q.get_mpz_t(), a.get_mpz_t(), static_cast<mp_bitcnt_t>(shift));
    mpz_tdiv_r_2exp(rem.get_mpz_t(), a.get_mpz_t(), static_cast<mp_bitcnt_t>(shift));
    mpz_setbit(half.get_mpz_t(), static_cast<mp_bitcnt_t>(shift - 1));
    const int c = cmp(rem, half);
    if (c > 0 || (c == 0 && mpz_odd_p(q.get_mpz_t()))) q += 1;
    const double r = std::ldexp(q.get_d(), static_cast<int>(shift - 1075));
    return n < 0 ? -r : r;
}

// Checks r, the residual of one row, against the oracle: exactly rounded
// from 2^-1022 up, within one unit of 2^-1074 below it, -0.0 for an exact
// zero.
void expectOracleValue(double r, const std::vector<double>& a, const std::vector<double>& x, double b) {
    const mpz_class n = exactUnits(a, x, b);
    mpz_class limit;
    mpz_setbit(limit.get_mpz_t(), 53);
    if (n == 0) {
        EXPECT_EQ(bitsOf(r), bitsOf(-0.0));
    } else if (abs(n) >= limit) {
        EXPECT_TRUE(sameBits(r, roundNearest(n))) << r << " vs " << roundNearest(n) << " (row of " << a.size() << ")";
    } else {
        mpz_class got;
        long e;
        split(r, got, e);
        got = scaled(got, e + 1075);
        EXPECT_LT(abs(got - n), 2) << r;
    }
}

void expectOracle(const std::vector<double>& a, const std::vector<double>& x, double b) {
    corx_internal::Matrix m = corx_internal::matrix(1, static_cast<std::int64_t>(a.size()), a);
    expectOracleValue(corx_internal::residual(m, std::vector<double>{b}, x)[0], a, x, b);
}

// A finite double with a random exponent field in [lo, hi] and random
// fraction and sign (lo = 0 gives subnormals).
double randomDouble(std::mt19937_64& rng, int lo, int hi) {
    const std::uint64_t e = std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng);
    const std::uint64_t bits = (rng() & 0x800FFFFFFFFFFFFFULL) | (e << 52);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

corx_internal::Matrix row(std::vector<double> values) {
    return corx_internal::matrix(1, static_cast<std::int64_t>(values.size()), values);
}

double residualOf(std::vector<double> a, std::vector<double> x, double b) {
    return corx_internal::residual(row(std::move(a)), std::vector<double>{b}, x)[0];
}

TEST(ExactAccumulator, PlacementOfTermAndProduct) {
    ExactAccumulator acc;
    corx_internal::clear(acc);
    EXPECT_EQ(acc.countdown, 2047);
    corx_internal::addTerm(acc, 1.0);
    EXPECT_EQ(acc.chunks[31], 0);
    EXPECT_EQ(acc.chunks[32], std::int64_t{1} << 51);

    corx_internal::clear(acc);
    corx_internal::addProduct(acc, 1.0, 1.0);
    for (int k = 0; k < ExactAccumulator::kChunks; ++k) EXPECT_EQ(acc.chunks[k], k == 33 ? (1 << 19) : 0) << k;
    EXPECT_EQ(acc.countdown, 2046);
    EXPECT_TRUE(sameBits(corx_internal::round(acc), 1.0));
}

// After a propagation the value is unchanged, digits below the leading one
// lie in 0..2^32-1, digits above it are zero, the leading digit is a signed
// digit that is -1 only at index 0.
TEST(ExactAccumulator, CarryPropagationKeepsValueAndNormalises) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 2000; ++trial) {
        ExactAccumulator acc;
        corx_internal::clear(acc);
        const int used = std::uniform_int_distribution<int>(1, 12)(rng);
        for (int k = 0; k < used; ++k) {
            const int at = std::uniform_int_distribution<int>(0, trial % 3 == 0 ? 3 : 100)(rng);
            acc.chunks[at] += static_cast<std::int64_t>(rng() >> (trial % 5 == 0 ? 31 : 8)) * (rng() & 1 ? 1 : -1);
        }
        if (trial % 7 == 0) {
            // A leading -1 above digits that fold into it, possibly in a chain.
            corx_internal::clear(acc);
            const int top = std::uniform_int_distribution<int>(0, 5)(rng);
            acc.chunks[top] = -1;
            for (int k = 0; k < top; ++k) acc.chunks[k] = rng() % 3 == 0 ? 0xFFFFFFFF : static_cast<std::int64_t>(rng() >> 32);
        }
        mpz_class before;
        for (int k = 0; k < ExactAccumulator::kChunks; ++k)
            before += mpz_class(static_cast<long>(acc.chunks[k])) << (32 * k);

        const std::int64_t u = corx_internal::carryPropagate(acc);
        mpz_class after;
        for (int k = 0; k < ExactAccumulator::kChunks; ++k)
            after += mpz_class(static_cast<long>(acc.chunks[k])) << (32 * k);
        ASSERT_EQ(before, after);
        EXPECT_EQ(acc.countdown, 2046);
        EXPECT_EQ(acc.nanSlot, 0u);
        for (std::int64_t k = 0; k < u; ++k) EXPECT_TRUE(acc.chunks[k] >= 0 && acc.chunks[k] < (1LL << 32));
        for (std::int64_t k = u + 1; k < ExactAccumulator::kChunks; ++k) EXPECT_EQ(acc.chunks[k], 0);
        const std::int64_t c = acc.chunks[u];
        EXPECT_TRUE(c < (1LL << 32) && c >= -(1LL << 32));
        if (u > 0) EXPECT_TRUE(c != 0 && c != -1);
    }
}

// A carry out of the top chunk is an overflow: NaN, also when it happens in
// the propagation that rounding itself runs.
TEST(ExactAccumulator, TopChunkOverflowGivesNaN) {
    ExactAccumulator acc;
    corx_internal::clear(acc);
    acc.chunks[130] = std::int64_t{1} << 40;
    EXPECT_TRUE(std::isnan(corx_internal::round(acc)));
}

TEST(Residual, WorkedValues) {
    EXPECT_TRUE(sameBits(residualOf({1e16, 1, -1e16}, {1, 1, 1}, 0), -1.0));  // cancellation
    EXPECT_TRUE(sameBits(residualOf({2, 3}, {1, 1}, 5), -0.0));            // satisfied exactly
    EXPECT_TRUE(sameBits(residualOf({3}, {1.0 / 3.0}, 1), 5.551115123125783e-17));
    EXPECT_TRUE(sameBits(residualOf({1e-300}, {1e-300}, 0), -0.0));  // wholly below 2^-1075
    EXPECT_TRUE(sameBits(residualOf({5e-324}, {0.5}, 0), -0.0));     // 2^-1075 truncated
    // Below 2^-1022 the lowest accumulator bit is dropped by a floor: toward
    // zero for a positive sum, and for a negative one within chunk 0; a
    // negative sum reaching chunk 1 is floored away from zero.
    const double odd = std::ldexp(static_cast<double>((1LL << 40) + 3), -1074);
    EXPECT_TRUE(sameBits(residualOf({odd}, {0.5}, 0), -std::ldexp(static_cast<double>((1LL << 39) + 1), -1074)));
    EXPECT_TRUE(sameBits(residualOf({-odd}, {0.5}, 0), std::ldexp(static_cast<double>((1LL << 39) + 2), -1074)));
    EXPECT_TRUE(sameBits(residualOf({-7 * 5e-324}, {0.5}, 0), 3 * 5e-324));
    // Special values: the sign opposite to the product's infinity, NaN for
    // 0*Inf, for both infinite signs and for any NaN; an infinite b comes back.
    EXPECT_TRUE(sameBits(residualOf({kInf, 1}, {2, 1}, 0), -kInf));
    EXPECT_TRUE(sameBits(residualOf({-kInf}, {2}, 0), kInf));
    EXPECT_TRUE(std::isnan(residualOf({kInf}, {0}, 0)));
    EXPECT_TRUE(std::isnan(residualOf({kInf, kInf}, {1, -1}, 0)));
    EXPECT_TRUE(sameBits(residualOf({1, 2}, {1, 1}, -kInf), -kInf));
    EXPECT_TRUE(std::isnan(residualOf({kInf}, {1}, kInf)));  // Inf - Inf
    EXPECT_TRUE(sameBits(residualOf({kInf}, {1}, -kInf), -kInf));
    EXPECT_TRUE(std::isnan(residualOf({1, kNaN}, {1, 1}, 0)));
    EXPECT_TRUE(std::isnan(residualOf({kNaN}, {kInf}, kInf)));  // NaN before infinities
    EXPECT_TRUE(std::isnan(residualOf({1}, {1}, kNaN)));
    // Overflow of the rounded value, not of the accumulator.
    EXPECT_TRUE(sameBits(residualOf({1e308, 1e308}, {10, 10}, 0), -kInf));
}

TEST(Residual, AgreesWithExactOracleOnRandomRows) {
    std::mt19937_64 rng(2024);
    for (int trial = 0; trial < 3000; ++trial) {
        const int kind = trial % 5;
        const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 24)(rng);
        std::vector<double> a(n), x(n);
        for (std::size_t j = 0; j < n; ++j) {
            switch (kind) {
                case 0:  // the whole exponent range, subnormals included
                    a[j] = randomDouble(rng, 0, 2046);
                    x[j] = randomDouble(rng, 0, 2046);
                    break;
                case 1:  // products at the bottom: dropped parts, subnormal sums
                    a[j] = randomDouble(rng, 0, trial % 2 ? 2 : 40);
                    x[j] = randomDouble(rng, trial % 2 ? 1018 : 1000, trial % 2 ? 1024 : 1060);
                    break;
                default:  // moderate values
                    a[j] = randomDouble(rng, 1000, 1046);
                    x[j] = randomDouble(rng, 1000, 1046);
            }
        }
        double b = randomDouble(rng, kind == 1 ? 0 : 900, kind == 1 ? 30 : 1100);
        if (kind >= 3) {
            // Heavy cancellation: b is the rounded left-to-right sum.
            b = 0.0;
            for (std::size_t j = 0; j < n; ++j) b = b + a[j] * x[j];
        }
        if (kind == 4 && n >= 2) {
            // Pairs that cancel exactly, leaving only what lies below.
            a[1] = -a[0];
            x[1] = x[0];
        }
        expectOracle(a, x, b);
    }
}

// A row whose exact value is itself a double gives that double back, over
// the whole range (subnormals included) and for both signs.
TEST(Residual, RepresentableValuesComeBackExactly) {
    std::mt19937_64 rng(3);
    for (int trial = 0; trial < 4000; ++trial) {
        const double v = randomDouble(rng, 0, trial % 2 ? 3 : 2046);
        EXPECT_TRUE(sameBits(residualOf({v}, {1.0}, 0.0), -v)) << v;
        EXPECT_TRUE(sameBits(residualOf({0.5}, {2.0}, v), v - 1.0)) << v;
        if (trial % 2) EXPECT_TRUE(sameBits(residualOf({v, v}, {1.0, -1.0}, v), v)) << v;
    }
}

// Exact halfway cases and leading powers of two, with and without far lower
// bits, over the exponent range: rows whose value sits on or next to a
// rounding boundary, which random rows almost never reach.
TEST(Residual, TiesAndPowersOfTwoAgreeWithOracle) {
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 4000; ++trial) {
        const int e = std::uniform_int_distribution<int>(-1020, 1020)(rng);
        const double sign1 = rng() & 1 ? 1.0 : -1.0, sign2 = rng() & 1 ? 1.0 : -1.0;
        const double lead = trial % 2 ? 1.0 : 1.0 + std::ldexp(static_cast<double>(rng() >> 12), -52);
        const double odd = static_cast<double>(1 + 2 * (rng() % 3));
        std::vector<double> a = {sign1 * std::ldexp(lead, e),
                                 sign2 * std::ldexp(odd, e - 53 - static_cast<int>(rng() % 3)), 0.0};
        if (trial % 3 != 0) a[2] = (rng() & 1 ? 1.0 : -1.0) * std::ldexp(1.0, e - 56 - static_cast<int>(rng() % 300));
        const std::vector<double> x = {1.0, 1.0, 1.0};
        double b = 0.0;
        if (trial % 4 == 1) {  // the lead moved to the right-hand side
            b = -a[0];
            a[0] = 0.0;
        }
        expectOracle(a, x, b);
    }
}

// Rows beyond 2046 products need intermediate carry propagations; the value
// must not depend on where they fall, so any order of the row agrees.
TEST(Residual, LongRowsMatchOracleInAnyOrder) {
    std::mt19937_64 rng(7);
    for (std::size_t n : {2046u, 2047u, 2048u, 4093u, 6000u}) {
        std::vector<double> a(n), x(n);
        for (std::size_t j = 0; j < n; ++j) {
            a[j] = randomDouble(rng, 990, 1060);
            x[j] = randomDouble(rng, 990, 1060);
        }
        double b = 0.0;
        for (std::size_t j = 0; j < n; ++j) b = b + a[j] * x[j];
        expectOracle(a, x, b);

        std::vector<std::size_t> order(n);
        for (std::size_t j = 0; j < n; ++j) order[j] = j;
        std::shuffle(order.begin(), order.end(), rng);
        std::vector<double> pa(n), px(n);
        for (std::size_t j = 0; j < n; ++j) {
            pa[j] = a[order[j]];
            px[j] = x[order[j]];
        }
        EXPECT_TRUE(sameBits(residualOf(a, x, b), residualOf(pa, px, b))) << n;
    }
}

// The row kernels as the residual runs them: the bucket route alone, the
// split route at two, four and eight lanes (compiled here for the baseline
// instruction set) and the kernel set in use (CORX_ISA picks it), with
// buckets folded after every `additions` products of a lane. The buckets
// must come back all zero and every route's accumulated value be exactly
// the oracle's; returns the rounded residual, the same for every route.
enum class Route { Buckets, Split2, Split4, Split8, Active };
constexpr Route kRoutes[] = {Route::Buckets, Route::Split2, Route::Split4, Route::Split8, Route::Active};

void runRoute(Route route, ExactAccumulator* lanes, const std::vector<double>& a, const std::vector<double>& x,
              double b, std::int64_t additions) {
    namespace k = corx_internal::kernels;
    const auto n = static_cast<std::int64_t>(x.size());
    std::vector<k::ExactBucket> words(k::kExactLanes * k::kExactBuckets, 0);
    k::ExactBuckets buckets{words.data(), 0, additions, additions};
    std::vector<k::ExactFactor> xf(x.size());
    k::exactFactors(xf.data(), x.data(), n);
    std::vector<double> high(x.size()), low(x.size());
    std::vector<std::int64_t> exponent(x.size());
    const k::ExactSplit xs = k::exactSplit(high.data(), low.data(), exponent.data(), x.data(), n);
    for (int l = 0; l < k::kExactLanes; ++l) corx_internal::clear(lanes[l]);
    corx_internal::addTerm(lanes[0], -b);
    lanes[0].countdown = ExactAccumulator::kCountdown;
    switch (route) {
        case Route::Buckets: k::exactRowProducts(lanes, buckets, a.data(), x.data(), xf.data(), n); break;
        case Route::Split2: k::exactRowSplit<k::F64x2>(lanes, buckets, a.data(), x.data(), xf.data(), xs, n); break;
        case Route::Split4: k::exactRowSplit<k::F64x4>(lanes, buckets, a.data(), x.data(), xf.data(), xs, n); break;
        case Route::Split8: k::exactRowSplit<k::F64x8>(lanes, buckets, a.data(), x.data(), xf.data(), xs, n); break;
        case Route::Active:
            corx_internal::activeKernels().exactRowProducts(lanes, buckets, a.data(), x.data(), xf.data(), xs, n);
            break;
    }
    EXPECT_TRUE(std::all_of(words.begin(), words.end(), [](k::ExactBucket w) { return w == 0; }));
    EXPECT_EQ(buckets.touched, 0u);
    corx_internal::mergeLanes(lanes, k::kExactLanes);
}

double kernelResidual(const std::vector<double>& a, const std::vector<double>& x, double b, std::int64_t additions) {
    const mpz_class want = -exactUnits(a, x, b);
    double r = 0.0;
    for (Route route : kRoutes) {
        ExactAccumulator lanes[corx_internal::kernels::kExactLanes];
        runRoute(route, lanes, a, x, b, additions);
        // The whole unrounded sum, every low bit included, is the oracle's.
        mpz_class held;
        for (int c = ExactAccumulator::kChunks - 1; c >= 0; --c)
            held = (held << 32) + static_cast<long>(lanes[0].chunks[c]);
        EXPECT_EQ(held, want) << a.size() << " products, folds after " << additions << ", route "
                              << static_cast<int>(route);
        const double v = -corx_internal::round(lanes[0]);
        if (route != Route::Buckets) EXPECT_TRUE(sameBits(v, r)) << static_cast<int>(route);
        r = v;
    }
    return r;
}

// Products grouped by exponent: thousands of full 53-bit products of mixed
// sign in a few buckets, cancelling down to their last bits, and rows
// whose products cover every exponent (every bucket group, and below
// 2^-1075 the general route), folded once per row or after every few
// products: the exact sum and its rounding agree with the oracle.
TEST(Residual, BucketedProductsFoldExactly) {
    std::mt19937_64 rng(17);
    for (int trial = 0; trial < 24; ++trial) {
        const bool wide = trial % 2 == 1;
        const std::size_t n = wide ? 3000 + trial : 4093 + trial;
        std::vector<double> a(n), x(n);
        for (std::size_t j = 0; j < n; ++j) {
            if (wide) {
                // Product exponents over the whole range, a few zeros and
                // subnormals among them.
                a[j] = randomDouble(rng, j % 97 == 0 ? 0 : 1, 2046);
                x[j] = randomDouble(rng, 1, 2046);
                if (j < 3018 && (j + trial) % 3 == 0) {
                    // e = j exactly (lowest bit 2^(j-1075)): every bucket.
                    const int ex = std::uniform_int_distribution<int>(std::max(1, static_cast<int>(j) - 970), std::min(2046, static_cast<int>(j) + 1074))(rng);
                    a[j] = randomDouble(rng, static_cast<int>(j) + 1075 - ex, static_cast<int>(j) + 1075 - ex);
                    x[j] = randomDouble(rng, ex, ex);
                }
            } else {
                // Two exponents only: every product in one of a few buckets.
                a[j] = randomDouble(rng, 1023, 1023 + static_cast<int>(j % 2));
                x[j] = randomDouble(rng, 1050, 1050);
            }
        }
        double b = 0.0;
        for (std::size_t j = 0; j < n; ++j) b = b + a[j] * x[j];
        if (wide) b = randomDouble(rng, 1, 2046);
        const std::int64_t additions = trial % 3 == 0 ? corx_internal::kernels::kBucketAdditions : 1 + trial % 5;
        const double r = kernelResidual(a, x, b, additions);
        expectOracleValue(r, a, x, b);
        EXPECT_TRUE(sameBits(r, residualOf(a, x, b))) << trial;
    }
}

// The split route against the oracle on long rows of mixed sign that
// cancel: products inside the window, on its lower edge (powers of two
// among them, whose key is one lower), just below it, far below it and
// from subnormal or huge x, zeros on either side, all interleaved within
// vectors; rows long enough to empty the level accumulators on the way,
// rows spread so wide that the rest goes by the bucket route, and an x
// spread so wide that every row does. Special
// values of x meet the vector lanes too: 0 * Inf and 0 * NaN give NaN.
TEST(Residual, SplitRouteMixesWindowAndFallbackExactly) {
    std::mt19937_64 rng(23);
    auto withField = [&](int field, bool powerOfTwo) {
        double d = randomDouble(rng, field, field);
        if (powerOfTwo) d = std::copysign(std::ldexp(1.0, field - 1023), d);
        return d;
    };
    for (int trial = 0; trial < 6; ++trial) {
        const std::size_t n = 9000 + 3 * static_cast<std::size_t>(trial);
        const bool wideRow = trial % 3 == 2, wideX = trial == 3;
        const int ey = 1030, ez = 1040 - 7 * trial;  // the largest fields of the row and of x
        const int least = ey + ez - 46;
        std::vector<double> a(n), x(n);
        for (std::size_t j = 0; j < n; ++j) {
            a[j] = randomDouble(rng, wideRow ? ey - 120 : ey - 20, j == 0 ? ey : ey - 1);
            x[j] = randomDouble(rng, wideX ? ez - 120 : ez - 20, j == 1 ? ez : ez - 1);
            if (j % 53 == 5) {  // on the window's lower edge, or one below it
                const int fa = std::uniform_int_distribution<int>(ey - 30, ey)(rng);
                a[j] = withField(fa, j % 2 == 0);
                x[j] = withField(least - fa + static_cast<int>(j % 3) - 1, j % 7 == 0);
            }
            if (j % 41 == 7) x[j] = randomDouble(rng, ez - 200, ez - 60);  // far below the window
            if (j % 29 == 3) a[j] = j % 2 ? 0.0 : -0.0;
            if (j % 31 == 4) x[j] = 0.0;
            if (j % 997 == 11) x[j] = randomDouble(rng, 0, 0);  // subnormal
        }
        double b = 0.0;
        for (std::size_t j = 0; j < n; ++j) b = b + a[j] * x[j];
        if (trial == 1) {
            x[100] = randomDouble(rng, 2046, 2046);  // beyond the split, its product finite
            a[100] = randomDouble(rng, 900, 1000);
            b = randomDouble(rng, 1000, 1100);
        }
        const double r = kernelResidual(a, x, b, trial % 2 ? 3 : corx_internal::kernels::kBucketAdditions);
        expectOracleValue(r, a, x, b);
        EXPECT_TRUE(sameBits(r, residualOf(a, x, b))) << trial;

        // An infinity or NaN in x against a zero of the row, and an
        // infinity against a finite entry, in the middle of a vector.
        std::vector<double> sa(a.begin(), a.begin() + 64), sx(x.begin(), x.begin() + 64);
        sa[18] = 0.0;
        sx[18] = trial % 2 ? kInf : kNaN;
        for (Route route : kRoutes) {
            ExactAccumulator lanes[corx_internal::kernels::kExactLanes];
            runRoute(route, lanes, sa, sx, 1.0, 64);
            EXPECT_TRUE(std::isnan(corx_internal::round(lanes[0]))) << static_cast<int>(route);
            sa[18] = trial % 2 ? -1.0 : 0.0;
            sx[18] = kInf;
            runRoute(route, lanes, sa, sx, 1.0, 64);
            const double v = corx_internal::round(lanes[0]);
            EXPECT_TRUE(trial % 2 ? sameBits(v, -kInf) : std::isnan(v)) << static_cast<int>(route);
            sa[18] = 0.0;
            sx[18] = trial % 2 ? kInf : kNaN;
        }
    }
}

}  // namespace
