// SPDX-License-Identifier: BSD-3-Clause
// The blocked Cholesky factorisation against the plain column-by-column
// form, bit for bit, on every instruction set; failures must name the same
// pivot.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "algorithms/cholesky.h"
#include "kernels/kernel_set.h"
#include "runtime/errors.h"
#include "support/bits.h"
#include "support/isa.h"
#include "support/random_operands.h"
#include "support/reference_cholesky.h"

using corx_internal::Isa;
using corx_test::IsaGuard;
using corx_test::supportedIsas;
using corx_internal::Matrix;
using corx_test::randomOperand;
using corx_test::sameBits;

namespace {

// Outcome of one factorisation: the factor, or the error message.
struct Outcome {
    Matrix l;
    std::string error;
};

template <class F>
Outcome run(F f, const Matrix& a) {
    Outcome o;
    try {
        o.l = f(a);
    } catch (const corx_internal::ValueError& e) {
        o.error = e.message();
    }
    return o;
}

void expectSame(const Matrix& a, const std::string& what) {
    const Outcome want = run(corx_test::referenceCholesky, a);
    const Outcome got = run(corx_internal::cholesky, a);
    ASSERT_EQ(got.error, want.error) << what;
    ASSERT_EQ(got.l.data.size(), want.l.data.size()) << what;
    for (std::size_t k = 0; k < want.l.data.size(); ++k)
        ASSERT_TRUE(sameBits(got.l.data[k], want.l.data[k]))
            << what << " element " << k << ": got " << got.l.data[k] << " want " << want.l.data[k];
}

// G*G^T/n + I from a random G (special values mixed into G at `rate`),
// mirrored so that it is exactly symmetric.
Matrix spd(std::mt19937_64& rng, std::int64_t n, double rate, double scale = 1.0) {
    const auto g = randomOperand(rng, n * n, rate, scale);
    Matrix a = corx_internal::initMatrix(n, n);
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = 0; j <= i; ++j) {
            double s = 0.0;
            for (std::int64_t k = 0; k < n; ++k) s += g[i * n + k] * g[j * n + k];
            s = s / static_cast<double>(n);
            if (i == j) s += scale * scale;
            a(i, j) = s;
            a(j, i) = s;
        }
    return a;
}

// Sizes around the 96-column panels and the product's tiles.
const std::vector<std::int64_t> kSizes = {1, 2, 5, 25, 95, 96, 97, 150, 193};

TEST(CholeskyKernel, RandomPositiveDefiniteMatricesOnEveryPath) {
    IsaGuard guard;
    for (Isa isa : supportedIsas()) {
        ASSERT_TRUE(corx_internal::forceIsa(isa));
        std::mt19937_64 rng(17);
        for (std::int64_t n : kSizes)
            for (double rate : {0.0, 0.002}) {
                const std::string what = std::string(corx_internal::isaName(isa)) + " n=" + std::to_string(n);
                expectSame(spd(rng, n, rate), what);
                // Entries near 1e-300: squares and products underflow.
                expectSame(spd(rng, n, rate, 1e-155), what + " subnormal");
            }
    }
}

TEST(CholeskyKernel, FailingPivotsNaNAndZerosAcrossPanels) {
    IsaGuard guard;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (Isa isa : supportedIsas()) {
        ASSERT_TRUE(corx_internal::forceIsa(isa));
        std::mt19937_64 rng(3);
        const std::string tag = corx_internal::isaName(isa);
        for (std::int64_t bad : {0, 40, 95, 96, 139}) {
            Matrix a = spd(rng, 140, 0.0);
            a(bad, bad) = -a(bad, bad);  // the first non-positive pivot is this one
            expectSame(a, tag + " negative pivot " + std::to_string(bad));
            EXPECT_EQ(run(corx_internal::cholesky, a).error,
                      "cholesky: matrix is not positive definite (pivot " + std::to_string(bad) + ")");
        }
        Matrix n1 = spd(rng, 130, 0.0);
        n1(100, 100) = nan;  // a NaN pivot flows on
        expectSame(n1, tag + " NaN pivot");
        Matrix n2 = spd(rng, 130, 0.0);
        n2(100, 3) = n2(3, 100) = inf;
        expectSame(n2, tag + " infinite entry");
        // Asymmetry: the first differing pair in row order is reported,
        // wherever the other differing pairs lie.
        Matrix u = spd(rng, 130, 0.0);
        u(70, 2) = u(70, 2) + 1.0;
        u(39, 40) = -u(39, 40);  // the pair (40, 39) comes first
        u(100, 99) = nan;
        expectSame(u, tag + " asymmetric");
        EXPECT_EQ(run(corx_internal::cholesky, u).error, "cholesky: matrix is not symmetric (a[40,39] != a[39,40])");
        Matrix z = spd(rng, 130, 0.0);
        for (std::int64_t i = 70; i < 130; ++i) z(i, 65) = z(65, i) = (i % 2) ? 0.0 : -0.0;
        expectSame(z, tag + " signed zeros");
    }
}

}  // namespace
