// SPDX-License-Identifier: BSD-3-Clause
// The Jacobi SVD, which sweeps anti-diagonal by anti-diagonal with many
// pairs side by side, against the plain one-pair-at-a-time cyclic form,
// bit for bit, on every instruction set: U, S and V, for square, tall and
// single-column matrices of every width up to past several vector runs,
// with special values, NaN, rank deficiency, equal and zero columns and
// early sweep limits; and split across threads, against one thread.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "algorithms/svd.h"
#include "kernels/kernel_set.h"
#include "runtime/parallel.h"
#include "support/bits.h"
#include "support/isa.h"
#include "support/random_operands.h"
#include "support/reference_svd.h"

using corx_internal::Isa;
using corx_test::IsaGuard;
using corx_test::supportedIsas;
using corx_internal::Matrix;
using corx_test::randomOperand;
using corx_test::sameBits;

namespace {

void expectSameBits(const std::vector<double>& got, const std::vector<double>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t k = 0; k < want.size(); ++k)
        ASSERT_TRUE(sameBits(got[k], want[k])) << what << " element " << k << ": got " << got[k] << " want "
                                               << want[k];
}

void expectSame(const Matrix& a, std::int64_t sweeps, double tol, const std::string& what) {
    const corx_internal::SvdFactors want = corx_test::referenceSvdDecompose(a, sweeps, tol);
    const corx_internal::SvdFactors got = corx_internal::svdDecompose(a, sweeps, tol);
    expectSameBits(got.s, want.s, what + " s");
    expectSameBits(got.u.data, want.u.data, what + " u");
    expectSameBits(got.v.data, want.v.data, what + " v");
}

// The reference once, then the library on every path.
void expectSameOnEveryPath(const Matrix& a, std::int64_t sweeps, double tol, const std::string& what) {
    const corx_internal::SvdFactors want = corx_test::referenceSvdDecompose(a, sweeps, tol);
    for (Isa isa : supportedIsas()) {
        ASSERT_TRUE(corx_internal::forceIsa(isa));
        const corx_internal::SvdFactors got = corx_internal::svdDecompose(a, sweeps, tol);
        const std::string tag = what + " " + corx_internal::isaName(isa);
        expectSameBits(got.s, want.s, tag + " s");
        expectSameBits(got.u.data, want.u.data, tag + " u");
        expectSameBits(got.v.data, want.v.data, tag + " v");
    }
}

struct Shape {
    std::int64_t m, n;
};

TEST(SvdKernel, RandomShapesWithSpecialsOnEveryPath) {
    IsaGuard guard;
    // Widths around the batches of 8 pairs; tall and single-column shapes.
    const std::vector<Shape> shapes = {{1, 1}, {3, 1}, {2, 2}, {9, 8}, {9, 9}, {10, 10}, {30, 17}, {40, 40}, {61, 25}};
    for (Isa isa : supportedIsas()) {
        ASSERT_TRUE(corx_internal::forceIsa(isa));
        std::mt19937_64 rng(12);
        for (const Shape& s : shapes)
            for (double rate : {0.0, 0.01}) {
                const std::string what = std::string(corx_internal::isaName(isa)) + " " + std::to_string(s.m) + "x" +
                                          std::to_string(s.n) + " rate " + std::to_string(rate);
                expectSame(corx_internal::matrix(s.m, s.n, randomOperand(rng, s.m * s.n, rate)), 60, 1e-12, what);
            }
    }
}

TEST(SvdKernel, DeficientEqualAndTinyColumnsAndSweepLimits) {
    IsaGuard guard;
    for (Isa isa : supportedIsas()) {
        ASSERT_TRUE(corx_internal::forceIsa(isa));
        std::mt19937_64 rng(4);
        const std::string tag = corx_internal::isaName(isa);
        // Rank deficient, with repeated and zero columns: many pairs are
        // skipped as orthogonal, many rotate; singular values tie at 0.
        const std::int64_t m = 26, n = 21;
        auto d = randomOperand(rng, m * n, 0.0);
        for (std::int64_t i = 0; i < m; ++i) {
            d[i * n + 5] = d[i * n + 2];
            d[i * n + 11] = -0.0;
            d[i * n + 17] = 2.0 * d[i * n + 3] - d[i * n + 9];
        }
        expectSame(corx_internal::matrix(m, n, d), 60, 1e-12, tag + " deficient");
        // Already orthogonal columns: whole batches are skipped.
        Matrix eye = corx_internal::identity(19);
        eye(3, 3) = 5.0;
        expectSame(eye, 60, 1e-12, tag + " identity");
        // Tiny and huge scales (decomposed scaled); a loose tolerance; one
        // sweep only.
        expectSame(corx_internal::matrix(20, 20, randomOperand(rng, 400, 0.0, 1e-160)), 60, 1e-12, tag + " tiny");
        expectSame(corx_internal::matrix(21, 19, randomOperand(rng, 399, 0.0, 1e300)), 60, 1e-12, tag + " huge");
        expectSame(corx_internal::matrix(33, 30, randomOperand(rng, 990, 0.0)), 60, 1e-3, tag + " loose tolerance");
        expectSame(corx_internal::matrix(33, 30, randomOperand(rng, 990, 0.0)), 1, 1e-12, tag + " one sweep");
    }
}

// Every width from 1 to 70 (square and tall alternately) crosses the
// lane counts, the runs of vectors and the partial last vector of every
// anti-diagonal; zero columns at every fifth position leave some lanes of
// a run unrotated in every sweep.
TEST(SvdKernel, EveryWidthToSeventyOnEveryPath) {
    IsaGuard guard;
    std::mt19937_64 rng(70);
    for (std::int64_t n = 1; n <= 70; ++n) {
        const std::int64_t m = n % 2 == 1 ? n : n + 1 + n / 8;
        auto d = randomOperand(rng, m * n, 0.0);
        if (n % 3 == 0)
            for (std::int64_t i = 0; i < m; ++i)
                for (std::int64_t j = 4; j < n; j += 5) d[static_cast<std::size_t>(i * n + j)] = 0.0;
        expectSameOnEveryPath(corx_internal::matrix(m, n, d), 60, 1e-12,
                              std::to_string(m) + "x" + std::to_string(n));
    }
}

// A larger rank-deficient matrix (copied, combined and zero columns),
// nearly diagonal matrices, and matrices with a single NaN, which reaches
// every column and keeps every pair rotating until the sweep limit.
TEST(SvdKernel, LargeDeficientAndNanBearingOnEveryPath) {
    IsaGuard guard;
    std::mt19937_64 rng(130);
    {
        const std::int64_t m = 130, n = 100;
        auto d = randomOperand(rng, m * n, 0.0);
        auto at = [&](std::int64_t i, std::int64_t j) -> double& { return d[static_cast<std::size_t>(i * n + j)]; };
        for (std::int64_t i = 0; i < m; ++i) {
            for (std::int64_t j = 7; j < n; j += 9) at(i, j) = at(i, j - 5);
            for (std::int64_t j = 11; j < n; j += 13) at(i, j) = 0.0;
            at(i, 50) = at(i, 1) - 3.0 * at(i, 2);
        }
        expectSameOnEveryPath(corx_internal::matrix(m, n, d), 60, 1e-12, "130x100 deficient");
    }
    // Nearly diagonal with sparse couplings: few pairs rotate after the
    // first sweep, so most pairs keep their columns from one sweep to the
    // next while their partners change.
    for (std::int64_t n : {23, 48}) {
        const std::int64_t m = n + 5;
        std::vector<double> d(static_cast<std::size_t>(m * n), 0.0);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (std::int64_t i = 0; i < m; ++i)
            for (std::int64_t j = 0; j < n; ++j) {
                double& x = d[static_cast<std::size_t>(i * n + j)];
                if (i == j) x = 1.0 + static_cast<double>(j % 7);
                else if (unit(rng) < 0.1) x = unit(rng) - 0.5;
            }
        expectSameOnEveryPath(corx_internal::matrix(m, n, d), 60, 1e-12, std::to_string(n) + " sparse couplings");
    }
    for (std::int64_t n : {2, 9, 17, 24, 33}) {
        const std::int64_t m = n + 2;
        auto d = randomOperand(rng, m * n, 0.0);
        d[static_cast<std::size_t>((m / 2) * n + n / 3)] = std::numeric_limits<double>::quiet_NaN();
        expectSameOnEveryPath(corx_internal::matrix(m, n, d), 60, 1e-12, std::to_string(n) + " with NaN");
    }
}

// Restores the thread count and removes any executor when a test that
// changed them ends.
struct ThreadGuard {
    std::int32_t threads = corx_internal::threadCount();
    ~ThreadGuard() {
        corx_internal::setExecutor(nullptr, nullptr, 0);
        corx_internal::setThreads(threads);
    }
};

// A host's executor that runs the tasks one after the other, last first.
void backwards(void*, std::int64_t count, corx_internal::TaskFunction task, void* data) {
    for (std::int64_t i = count - 1; i >= 0; --i) task(data, i);
}

// The decomposition on one thread (against the reference when asked),
// then on 2, 3 and 8 threads and on a backwards executor 4 parts wide,
// bit for bit.
void expectSameSplit(const Matrix& a, std::int64_t sweeps, const std::string& what, bool withReference) {
    corx_internal::setThreads(1);
    const corx_internal::SvdFactors one = corx_internal::svdDecompose(a, sweeps, 1e-12);
    if (withReference) {
        const corx_internal::SvdFactors want = corx_test::referenceSvdDecompose(a, sweeps, 1e-12);
        expectSameBits(one.s, want.s, what + " reference s");
        expectSameBits(one.u.data, want.u.data, what + " reference u");
        expectSameBits(one.v.data, want.v.data, what + " reference v");
    }
    const auto check = [&](const std::string& tag) {
        const corx_internal::SvdFactors got = corx_internal::svdDecompose(a, sweeps, 1e-12);
        expectSameBits(got.s, one.s, what + " " + tag + " s");
        expectSameBits(got.u.data, one.u.data, what + " " + tag + " u");
        expectSameBits(got.v.data, one.v.data, what + " " + tag + " v");
    };
    for (std::int32_t threads : {2, 3, 8}) {
        corx_internal::setThreads(threads);
        check(std::to_string(threads) + " threads");
    }
    corx_internal::setThreads(1);
    ASSERT_EQ(corx_internal::setExecutor(backwards, nullptr, 4), 0);
    check("backwards executor");
    corx_internal::setExecutor(nullptr, nullptr, 0);
}

// Values over 2^-40 .. 2^40 with signed zeros, subnormals (which make the
// decomposition run scaled) and a zero and a repeated column.
std::vector<double> wideRange(std::mt19937_64& rng, std::int64_t m, std::int64_t n) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-40, 40);
    std::vector<double> d(static_cast<std::size_t>(m * n));
    for (double& x : d) x = std::ldexp(unit(rng), exponent(rng));
    for (std::int64_t i = 0; i < m; ++i) {
        d[static_cast<std::size_t>(i * n + n / 3)] = i % 2 == 0 ? -0.0 : 0.0;
        d[static_cast<std::size_t>(i * n + n / 2)] = d[static_cast<std::size_t>(i * n + 1)];
    }
    for (std::int64_t k = 0; k < m; k += 37) d[static_cast<std::size_t>(k * n + k % n)] = 4.9e-324 * (k % 3 + 1);
    return d;
}

// Shapes past every threshold at which the sweep splits its work: the
// right factor's blocks of columns (n > 128), the pairs of an
// anti-diagonal (rows times pairs of about 2^17 and more), and the final
// norms. Under CORX_SPLIT_SMALL=1 every pass of every shape is split into
// as many chunks as it has blocks of 8 pairs.
TEST(SvdKernel, SplitAcrossThreadsKeepsEveryBit) {
    ThreadGuard guard;
    std::mt19937_64 rng(2027);
    expectSameSplit(corx_internal::matrix(300, 200, wideRange(rng, 300, 200)), 60, "300x200 wide range", true);
    expectSameSplit(corx_internal::matrix(257, 257, wideRange(rng, 257, 257)), 60, "257x257 wide range", false);
    expectSameSplit(corx_internal::matrix(2400, 150, randomOperand(rng, 2400 * 150, 0.0)), 60, "2400x150", true);
    // The finite special values (subnormals, 1e-160, 1e160, the extremes
    // for the infinities and NaN, which would reach every column within a
    // sweep): the decomposition runs scaled down, and the small values
    // fall to subnormals and zero in the sums.
    auto d = randomOperand(rng, 2400 * 150, 2e-4);
    for (std::size_t k = 0; k < d.size(); ++k)
        if (!std::isfinite(d[k])) d[k] = k % 2 == 0 ? std::numeric_limits<double>::max() : -1e300;
    expectSameSplit(corx_internal::matrix(2400, 150, d), 4, "2400x150 specials, 4 sweeps", true);
}

}  // namespace
