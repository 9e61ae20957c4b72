// SPDX-License-Identifier: BSD-3-Clause
// The blocked LU factorisation against the plain column-by-column form, bit
// for bit, on every instruction set: factors, permutation, sign, the step
// at which singularity is reported, and the solutions the substitutions
// give with those factors, one right-hand side or many side by side.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "algorithms/lu.h"
#include "algorithms/refine.h"
#include "kernels/kernel_set.h"
#include "runtime/errors.h"
#include "support/bits.h"
#include "support/isa.h"
#include "support/random_operands.h"
#include "support/reference_lu.h"

using corx_internal::Isa;
using corx_test::IsaGuard;
using corx_test::supportedIsas;
using corx_internal::Matrix;
using corx_test::randomOperand;
using corx_test::sameBits;

namespace {

// Either both factorisations fail as singular, or both succeed with the
// same bits.
void expectSameFactorisation(const Matrix& a, const std::string& what) {
    bool refSingular = false, gotSingular = false;
    corx_internal::LuFactors want, got;
    try {
        want = corx_test::referenceLuDecompose(a);
    } catch (const corx_internal::ValueError&) {
        refSingular = true;
    }
    try {
        got = corx_internal::luDecompose(a);
    } catch (const corx_internal::ValueError&) {
        gotSingular = true;
    }
    ASSERT_EQ(gotSingular, refSingular) << what;
    if (refSingular) return;
    ASSERT_EQ(got.perm, want.perm) << what;
    ASSERT_EQ(got.sign, want.sign) << what;
    for (std::size_t k = 0; k < want.factors.data.size(); ++k)
        ASSERT_TRUE(sameBits(got.factors.data[k], want.factors.data[k]))
            << what << " element " << k << ": got " << got.factors.data[k] << " want " << want.factors.data[k];

    // Solving with the factors: a right-hand side drawn from the matrix
    // (specials included), blocks of rows and their remainders.
    const std::int64_t n = a.rows;
    std::vector<double> b(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) b[static_cast<std::size_t>(i)] = a(i, (7 * i + 3) % n);
    const std::vector<double> x = corx_internal::luSolve(got, b), xWant = corx_test::referenceLuSolve(want, b);
    for (std::size_t i = 0; i < xWant.size(); ++i)
        ASSERT_TRUE(sameBits(x[i], xWant[i])) << what << " solution " << i << ": got " << x[i] << " want " << xWant[i];

    // Many right-hand sides solved side by side: each column as the single
    // substitution gives it. 70 columns fill a block held in registers and
    // leave a remainder narrower than a vector.
    constexpr std::int64_t kCols = 70;
    std::vector<double> many(static_cast<std::size_t>(n * kCols));
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = 0; j < kCols; ++j) many[static_cast<std::size_t>(i * kCols + j)] = a((i + j) % n, (5 * j + i) % n);
    const std::vector<double> xs = corx_internal::solveMany(a, many, kCols, false);
    for (std::int64_t j = 0; j < kCols; ++j) {
        std::vector<double> column(static_cast<std::size_t>(n));
        for (std::int64_t i = 0; i < n; ++i) column[static_cast<std::size_t>(i)] = many[static_cast<std::size_t>(i * kCols + j)];
        const std::vector<double> colWant = corx_test::referenceLuSolve(want, column);
        for (std::int64_t i = 0; i < n; ++i)
            ASSERT_TRUE(sameBits(xs[static_cast<std::size_t>(i * kCols + j)], colWant[static_cast<std::size_t>(i)]))
                << what << " column " << j << " row " << i;
    }
}

// Sizes around the 64-column panels, the product's tiles and the
// substitution's 16-row blocks.
const std::vector<std::int64_t> kSizes = {1, 2, 3, 7, 17, 63, 64, 65, 97, 129, 150};

TEST(LuKernel, RandomMatricesWithSpecialsOnEveryPath) {
    IsaGuard guard;
    for (Isa isa : supportedIsas()) {
        ASSERT_TRUE(corx_internal::forceIsa(isa));
        std::mt19937_64 rng(31);
        for (std::int64_t n : kSizes)
            for (double rate : {0.0, 0.001, 0.02}) {
                const Matrix a = corx_internal::matrix(n, n, randomOperand(rng, n * n, rate));
                expectSameFactorisation(a, std::string(corx_internal::isaName(isa)) + " n=" + std::to_string(n) +
                                               " rate " + std::to_string(rate));
            }
    }
}

TEST(LuKernel, PivotTiesSignedZerosAndExactSingularity) {
    IsaGuard guard;
    for (Isa isa : supportedIsas()) {
        ASSERT_TRUE(corx_internal::forceIsa(isa));
        std::mt19937_64 rng(77);
        for (std::int64_t n : {5, 66, 131}) {
            // Small integers: many equal magnitudes in each pivot column, so
            // the uppermost-row rule decides; also exact cancellations.
            std::uniform_int_distribution<int> small(-2, 2);
            std::vector<double> v(static_cast<std::size_t>(n * n));
            for (double& x : v) x = small(rng) == 0 ? -0.0 : static_cast<double>(small(rng));
            expectSameFactorisation(corx_internal::matrix(n, n, v), std::string(corx_internal::isaName(isa)) + " ties");

            // Rank deficient: row n-1 repeats row 0 times 2, so a pivot
            // column becomes exactly zero late (or a rounding keeps it alive
            // in both forms alike).
            auto w = randomOperand(rng, n * n, 0.0);
            for (std::int64_t j = 0; j < n; ++j) w[(n - 1) * n + j] = 2.0 * w[j];
            expectSameFactorisation(corx_internal::matrix(n, n, w), std::string(corx_internal::isaName(isa)) + " rank deficient");

            // A zero column in the middle: singular at that step.
            auto z = randomOperand(rng, n * n, 0.0);
            for (std::int64_t i = 0; i < n; ++i) z[i * n + n / 2] = (i % 2) ? 0.0 : -0.0;
            expectSameFactorisation(corx_internal::matrix(n, n, z), std::string(corx_internal::isaName(isa)) + " zero column");

            // NaN in the pivot columns: on the diagonal (its row stays the
            // pivot row) and below it (never chosen).
            auto q = randomOperand(rng, n * n, 0.0);
            for (std::int64_t i = 0; i < n; ++i) {
                if (i % 3 == 1) q[i * n + i] = std::numeric_limits<double>::quiet_NaN();
                if (i % 5 == 2) q[((i + 7) % n) * n + i] = -std::numeric_limits<double>::quiet_NaN();
            }
            expectSameFactorisation(corx_internal::matrix(n, n, q), std::string(corx_internal::isaName(isa)) + " NaN pivots");

            // Tiny scale: products and multipliers in the subnormal range.
            expectSameFactorisation(corx_internal::matrix(n, n, randomOperand(rng, n * n, 0.01, 1e-300)),
                                    std::string(corx_internal::isaName(isa)) + " subnormal");
        }
    }
}

// The transposing copy the leaves and the factorisations use: whole tiles
// and every shape of edge, with leading dimensions wider than the shape,
// every instruction set; nothing outside the shape is written.
TEST(LuKernel, TransposingCopyOnEveryPath) {
    IsaGuard guard;
    std::mt19937_64 rng(8);
    for (Isa isa : supportedIsas()) {
        const corx_internal::KernelSet& kern = corx_internal::kernelsFor(isa);
        for (std::int64_t rows = 1; rows <= 19; ++rows)
            for (std::int64_t cols = 1; cols <= 19; cols += (cols < 9 ? 1 : 5)) {
                const std::int64_t lds = cols + 3, ldd = rows + 2;
                const std::vector<double> src = randomOperand(rng, rows * lds, 0.05);
                std::vector<double> dst(static_cast<std::size_t>(cols * ldd), -7.0);
                kern.transposeCopy(src.data(), lds, dst.data(), ldd, rows, cols);
                for (std::int64_t j = 0; j < cols; ++j)
                    for (std::int64_t i = 0; i < ldd; ++i) {
                        const double want = i < rows ? src[static_cast<std::size_t>(i * lds + j)] : -7.0;
                        ASSERT_TRUE(sameBits(dst[static_cast<std::size_t>(j * ldd + i)], want))
                            << corx_internal::isaName(isa) << " " << rows << "x" << cols << " at " << i << "," << j;
                    }
            }
    }
}

TEST(LuKernel, LargestAffordableMatrix) {
    // Several panels and trailing blocks larger than the product's blocks.
    std::mt19937_64 rng(5);
    const std::int64_t n = 330;
    expectSameFactorisation(corx_internal::matrix(n, n, randomOperand(rng, n * n, 0.0005)), "n=330");
}

}  // namespace
