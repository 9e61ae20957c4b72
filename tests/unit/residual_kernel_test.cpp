// SPDX-License-Identifier: BSD-3-Clause
// The exact residual kernel against the plain one-accumulator form, bit for
// bit: random shapes, every scale from subnormal to near overflow, special
// values, exact cancellation and rows long enough to need carries.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "algorithms/exactsum.h"
#include "kernels/exact_rows.h"
#include "kernels/exact_short.h"
#include "kernels/kernel_set.h"
#include "support/bits.h"
#include "support/isa.h"
#include "support/random_operands.h"
#include "support/reference_residual.h"

using corx_internal::Matrix;
using corx_test::randomOperand;
using corx_test::sameBits;

namespace {

void expectSame(const Matrix& a, const std::vector<double>& b, const std::vector<double>& x,
                const std::string& what) {
    const auto want = corx_test::referenceResidual(a, b, x);
    const auto got = corx_internal::residual(a, b, x);
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < want.size(); ++i)
        ASSERT_TRUE(sameBits(got[i], want[i])) << what << " row " << i << ": got " << got[i] << " want " << want[i];
}

// Values spread over many binades, so the products land in every chunk
// range, including below the accumulator's lowest chunk.
std::vector<double> wideScale(std::mt19937_64& rng, std::int64_t count, double specialRate) {
    auto v = randomOperand(rng, count, specialRate);
    std::uniform_int_distribution<int> exponent(-560, 500);
    for (double& x : v)
        if (std::isfinite(x) && x != 0.0) x = std::ldexp(x, exponent(rng));
    return v;
}

TEST(ResidualKernel, RandomShapesScalesAndSpecials) {
    std::mt19937_64 rng(44);
    struct Shape {
        std::int64_t rows, cols;
    };
    for (const Shape& s : {Shape{1, 1}, Shape{1, 3}, Shape{3, 1}, Shape{7, 5}, Shape{40, 9}, Shape{5, 67},
                           Shape{33, 33}}) {
        for (double rate : {0.0, 0.01, 0.1}) {
            const std::string what = std::to_string(s.rows) + "x" + std::to_string(s.cols) + " rate " +
                                     std::to_string(rate);
            expectSame(corx_internal::matrix(s.rows, s.cols, randomOperand(rng, s.rows * s.cols, rate)),
                       randomOperand(rng, s.rows, rate), randomOperand(rng, s.cols, rate), what);
            expectSame(corx_internal::matrix(s.rows, s.cols, wideScale(rng, s.rows * s.cols, rate)),
                       wideScale(rng, s.rows, rate), wideScale(rng, s.cols, rate), what + " wide");
        }
    }
}

TEST(ResidualKernel, ExactCancellationInfinitiesAndLongRows) {
    const double inf = std::numeric_limits<double>::infinity();
    // b equal to the exact dot product: the residual is exactly zero (-0.0).
    Matrix a = corx_internal::matrix(2, 4, std::vector<double>{1, 2, 3, 4, 0.5, -0.25, 8, -1});
    const std::vector<double> x = {1, 1, 1, 1};
    expectSame(a, {10, 7.25}, x, "exact");
    EXPECT_EQ(corx_test::bitsOf(corx_internal::residual(a, std::vector<double>{10, 7.25}, x)[0]),
              corx_test::bitsOf(-0.0));

    // Infinite products of one sign, of both signs, and 0 * Inf, spread over
    // the four interleaved positions.
    Matrix s = corx_internal::matrix(3, 5, std::vector<double>{inf, 1, 1, 1, 1, inf, 1, 1, -inf, 1, 0, 1, inf, 1, 1});
    expectSame(s, {0, 0, 0}, {1, 1, 1, 1, 1}, "infinities");
    expectSame(s, {0, 0, 0}, {1, 0, 1, 1, 1}, "zero times infinity");

    // Rows long enough that each accumulator propagates carries several
    // times, with large products that cancel to a small remainder.
    std::mt19937_64 rng(9);
    const std::int64_t n = 9001;
    auto row = randomOperand(rng, 2 * n, 0.0, 1e300);
    auto xs = randomOperand(rng, n, 0.0, 1.0);
    for (std::int64_t j = 1; j < n; j += 2) {
        row[j] = -row[j - 1];
        xs[j] = xs[j - 1];
    }
    expectSame(corx_internal::matrix(2, n, row), {1e-300, -3.0}, xs, "long rows");
}

// One row's sum c + y.z by the plain accumulator.
double accumulated(double c, const std::vector<double>& y, const std::vector<double>& z) {
    corx_internal::ExactAccumulator acc;
    corx_internal::clear(acc);
    corx_internal::addTerm(acc, c);
    acc.countdown = corx_internal::ExactAccumulator::kCountdown;
    for (std::size_t j = 0; j < y.size(); ++j) corx_internal::addProduct(acc, y[j], z[j]);
    return corx_internal::round(acc);
}

// The routes without an accumulator (the 256-bit sum of short rows and,
// on every instruction-set path, the split route's levels and the
// compensated sums of short rows in lanes) may decline a row but never
// give other bits than the accumulator. Rows of 1 to 16
// products, some to 300 and at the level route's limit: residuals that
// cancel to the last bits, sums of 54 significant bits (a tie every other
// time), sums near the smallest normal and the largest finite double,
// products spread to the edges of the windows, and special values.
TEST(ResidualKernel, ShortRowRoutesMatchTheAccumulator) {
    corx_test::IsaGuard guard;
    std::mt19937_64 rng(2026);
    std::uniform_int_distribution<int> length(1, 16), shift(-140, 20);
    std::uniform_int_distribution<std::int64_t> half(-(std::int64_t{1} << 27), std::int64_t{1} << 27);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    enum Kind { Residual, Ties, Tiny, Huge, Spread, Special, kKinds };
    const char* names[kKinds] = {"residual", "ties", "tiny", "huge", "spread", "special"};
    std::int64_t decided[3][kKinds] = {}, tried[kKinds] = {}, shortTried[kKinds] = {};
    constexpr int L = corx_internal::kernels::kShortLanes;
    double lanesC[L] = {}, lanesY[corx_internal::kernels::kShortMost * L] = {},
           lanesZ[corx_internal::kernels::kShortMost * L] = {}, lanesWant[L] = {};
    int lanesKind[L] = {};
    int lanesN = 0;
    // Sums a hair off a tie. (2^52 + 1) + 0.5 - 2^-20 lies below the tie
    // (to even: 2^52 + 2), so rounds to 2^52 + 1. (2^52 + 2) + 0.5 + 2^-149,
    // the 2^-149 left of two products of about 2^-45, lies above its tie,
    // so rounds to 2^52 + 3: that last bit lies 201 binades below the
    // sum's first, beyond the 127 bits the split route rounds from. Also
    // the mirror images.
    struct NearTie {
        std::vector<double> y, z;
        double c, want;
    };
    for (double sign : {1.0, -1.0})
        for (const NearTie& t :
             {NearTie{{1.0, 0x1p-20}, {0.5, -1.0}, 0x1p52 + 1.0, 0x1p52 + 1.0},
              NearTie{{1.0, 0x1p-45 * (1.0 + 0x1p-52), -0x1p-45 * (1.0 + 0x1p-51)}, {0.5, 1.0 + 0x1p-52, 1.0},
                      0x1p52 + 2.0, 0x1p52 + 3.0}}) {
            std::vector<double> z = t.z;
            for (double& v : z) v *= sign;
            const double c = t.c * sign, want = t.want * sign;
            const std::int64_t n = static_cast<std::int64_t>(t.y.size());
            ASSERT_EQ(accumulated(c, t.y, z), want);
            double got = 0.0;
            if (corx_internal::roundShortSum(c, t.y.data(), z.data(), n, got)) EXPECT_TRUE(sameBits(got, want)) << got;
            std::vector<double> high(z.size()), low(z.size());
            std::vector<std::int64_t> exponent(z.size());
            const auto xs = corx_internal::kernels::exactSplit(high.data(), low.data(), exponent.data(), z.data(), n);
            for (corx_internal::Isa isa : corx_test::supportedIsas()) {
                ASSERT_TRUE(corx_internal::kernelsFor(isa).exactLevelRow(c, t.y.data(), z.data(), xs, n, nullptr, got));
                EXPECT_TRUE(sameBits(got, want)) << corx_internal::isaName(isa) << " " << got;
            }
        }
    for (int trial = 0; trial < 24000; ++trial) {
        const Kind kind = static_cast<Kind>(trial % kKinds);
        // Mostly short rows; every seventh up to 300 products, and a few at
        // the level route's limit.
        std::size_t n = static_cast<std::size_t>(trial % 7 == 0 ? 17 + length(rng) * 18 : length(rng));
        if (trial % 2000 == 1) n = static_cast<std::size_t>(corx_internal::kernels::kLevelRowMost + trial % 4000 / 2000);
        std::vector<double> y(n), z(n);
        double c = 0.0;
        switch (kind) {
            case Residual:
            case Tiny:
            case Huge: {
                // c = -(the rounded products, summed in order): the exact
                // sum keeps only the rounding errors.
                // Tiny: residuals about 2^-1020, on both sides of the
                // smallest normal. Huge: products about 2^1010, or about
                // 2^960, where the split route's window ends.
                const int scale = kind == Tiny ? -484 : kind == Huge ? (trial % 12 < 6 ? 505 : 480) : 0;
                for (std::size_t j = 0; j < n; ++j) {
                    y[j] = std::ldexp(normal(rng), scale + (kind == Tiny ? 0 : shift(rng) / 20));
                    z[j] = std::ldexp(normal(rng), scale);
                    c -= y[j] * z[j];
                }
                if (coin(rng) < 0.3) c = std::nextafter(c, 0.0);
                break;
            }
            case Ties:
                for (std::size_t j = 0; j < n; ++j) {
                    y[j] = std::ldexp(static_cast<double>(half(rng) | 1), shift(rng) / 40);
                    z[j] = std::ldexp(static_cast<double>(half(rng) | 1), shift(rng) / 40);
                }
                c = coin(rng) < 0.5 ? 0.0 : std::ldexp(static_cast<double>(half(rng)), 30 + shift(rng) / 10);
                break;
            case Spread:
                for (std::size_t j = 0; j < n; ++j) {
                    y[j] = std::ldexp(normal(rng), j % 2 == 0 ? 0 : shift(rng));
                    z[j] = normal(rng);
                    c -= y[j] * z[j];
                }
                break;
            default:
                y = randomOperand(rng, static_cast<std::int64_t>(n), 0.15);
                z = randomOperand(rng, static_cast<std::int64_t>(n), 0.15);
                c = randomOperand(rng, 1, 0.15)[0];
                for (std::size_t j = 0; j < n; ++j) c -= y[j] * z[j];
                break;
        }
        tried[kind] += 1;
        const double want = accumulated(c, y, z);
        const int lane = trial % L;
        if (lane == 0) {
            // A lane whose row is too long stays empty: its sum is +0.0.
            std::fill(std::begin(lanesC), std::end(lanesC), 0.0);
            std::fill(std::begin(lanesY), std::end(lanesY), 0.0);
            std::fill(std::begin(lanesZ), std::end(lanesZ), 0.0);
            std::fill(std::begin(lanesWant), std::end(lanesWant), 0.0);
            std::fill(std::begin(lanesKind), std::end(lanesKind), -1);
            lanesN = 0;
        }
        if (n <= static_cast<std::size_t>(corx_internal::kernels::kShortMost)) {
            // The lanes route: this row in lane trial % 8 of a group of
            // eight trials (zeros padding the shorter rows), so that every
            // lane position and mixed lengths are met.
            lanesC[lane] = c;
            for (int j = 0; j < corx_internal::kernels::kShortMost; ++j) {
                lanesY[j * L + lane] = j < static_cast<int>(n) ? y[static_cast<std::size_t>(j)] : 0.0;
                lanesZ[j * L + lane] = j < static_cast<int>(n) ? z[static_cast<std::size_t>(j)] : 0.0;
            }
            lanesWant[lane] = want;
            lanesKind[lane] = kind;
            lanesN = std::max<int>(lanesN, static_cast<int>(n));
            shortTried[kind] += 1;
        }
        if (lane == L - 1) {
            for (corx_internal::Isa isa : corx_test::supportedIsas()) {
                double out[L];
                const unsigned done =
                    corx_internal::kernelsFor(isa).exactShortRows(lanesC, lanesY, lanesZ, lanesN, L, out);
                for (int l = 0; l < L; ++l) {
                    if ((done >> l & 1u) == 0) continue;
                    if (isa == corx_internal::Isa::Baseline && lanesKind[l] >= 0) decided[2][lanesKind[l]] += 1;
                    ASSERT_TRUE(sameBits(out[l], lanesWant[l]))
                        << (lanesKind[l] >= 0 ? names[lanesKind[l]] : "empty") << " trial " << trial - L + 1 + l
                        << " " << corx_internal::isaName(isa) << ": lanes route " << out[l] << ", accumulator "
                        << lanesWant[l];
                }
            }
        }
        double got = 0.0;
        if (corx_internal::roundShortSum(c, y.data(), z.data(), static_cast<std::int64_t>(n), got)) {
            decided[0][kind] += 1;
            ASSERT_TRUE(sameBits(got, want)) << names[kind] << " trial " << trial << ": 256-bit sum " << got
                                             << ", accumulator " << want;
        }
        std::vector<double> high(n), low(n);
        std::vector<std::int64_t> exponent(n);
        const auto xs = corx_internal::kernels::exactSplit(high.data(), low.data(), exponent.data(), z.data(),
                                                          static_cast<std::int64_t>(n));
        for (corx_internal::Isa isa : corx_test::supportedIsas()) {
            const corx_internal::KernelSet& kern = corx_internal::kernelsFor(isa);
            const std::int64_t len = static_cast<std::int64_t>(n);
            const bool taken = kern.exactLevelRow(c, y.data(), z.data(), xs, len, nullptr, got);
            if (taken) {
                if (isa == corx_internal::Isa::Baseline) decided[1][kind] += 1;
                ASSERT_TRUE(sameBits(got, want)) << names[kind] << " trial " << trial << " "
                                                 << corx_internal::isaName(isa) << ": split route " << got
                                                 << ", accumulator " << want;
            }
            // With the row scanned apart, the route takes the same rows
            // and gives the same bits.
            const corx_internal::kernels::ExactRowScan scan = kern.exactRowScan(y.data(), len);
            double viaScan = 0.0;
            ASSERT_EQ(kern.exactLevelRow(c, y.data(), z.data(), xs, len, &scan, viaScan), taken)
                << names[kind] << " trial " << trial << " " << corx_internal::isaName(isa);
            if (taken) ASSERT_TRUE(sameBits(viaScan, got)) << names[kind] << " trial " << trial;
        }
    }
    // Ordinary rows are the routes' to take: they must not leave them all
    // to the accumulator.
    for (Kind kind : {Residual, Ties, Huge})
        EXPECT_GT(decided[0][kind], tried[kind] * 8 / 10) << "256-bit sum (short rows only), " << names[kind];
    EXPECT_GT(decided[1][Residual], tried[Residual] * 9 / 10) << "split route";
    EXPECT_GT(decided[2][Residual], shortTried[Residual] * 9 / 10) << "lanes route";
    EXPECT_GT(decided[2][Ties], shortTried[Ties] * 8 / 10) << "lanes route, ties";
    EXPECT_GT(decided[1][Huge], tried[Huge] / 4) << "split route, huge";
    // Near the smallest normal the 256-bit sum still takes some rows (the
    // split route's window stops far above).
    EXPECT_GT(decided[0][Tiny], tried[Tiny] / 20);
}

}  // namespace
