// SPDX-License-Identifier: BSD-3-Clause
// The tiled dense product against the plain i,k,j reference, bit for bit,
// on every instruction set this processor supports.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernels/kernel_set.h"
#include "kernels/product.h"
#include "support/bits.h"
#include "support/isa.h"
#include "support/random_operands.h"
#include "support/reference.h"
#include "types/matrix.h"

using corx_internal::Isa;
using corx_internal::TileForm;
using corx_test::IsaGuard;
using corx_test::pathName;
using corx_test::TileFormGuard;
using corx_test::tileForms;
using corx_test::supportedIsas;
using corx_test::randomOperand;
using corx_test::referenceProduct;
using corx_test::sameBits;

namespace {

struct Shape {
    std::int64_t m, p, n;
};

// Shapes off every tile and block size (tiles of 4x6, 6x8, 8x24; blocks of
// 512 in k, 96 rows, 3072 columns), degenerate strips, tall and wide; a
// product of 256 columns or more packs a, a narrower one reads it in place.
const std::vector<Shape>& shapes() {
    static const std::vector<Shape> s = {
        {1, 1, 1},   {1, 37, 1},  {1, 5, 53},  {53, 5, 1},  {1, 1, 70},   {70, 1, 1},    {7, 9, 25},
        {9, 25, 7},  {8, 3, 24},  {24, 8, 48}, {13, 31, 29}, {97, 11, 23}, {200, 3, 17}, {3, 600, 5},
        {17, 1030, 26}, {2, 4, 3100}, {101, 67, 131}, {250, 40, 9}, {33, 513, 49}, {37, 70, 260}};
    return s;
}

void expectSameAsReference(const std::vector<double>& a, const std::vector<double>& b, const Shape& s,
                           const std::string& what) {
    const corx_internal::Matrix x = corx_internal::matrix(s.m, s.p, a), y = corx_internal::matrix(s.p, s.n, b);
    const std::vector<double> want = referenceProduct(a, b, s.m, s.p, s.n);
    const corx_internal::Matrix got = x * y;
    ASSERT_EQ(got.rows, s.m);
    ASSERT_EQ(got.cols, s.n);
    for (std::size_t k = 0; k < want.size(); ++k)
        ASSERT_TRUE(sameBits(got.data[k], want[k]))
            << what << " shape " << s.m << "x" << s.p << "x" << s.n << " element " << k << ": got " << got.data[k]
            << " want " << want[k];
}

TEST(ProductKernel, EveryPathMatchesReferenceOnRandomShapesWithSpecials) {
    IsaGuard guard;
    TileFormGuard formGuard;
    for (Isa isa : supportedIsas()) for (TileForm form : tileForms(isa)) {
        ASSERT_TRUE(corx_internal::forceIsa(isa));
        ASSERT_EQ(corx_internal::activeIsa(), isa);
        corx_internal::forceTileForm(form);
        std::mt19937_64 rng(1234);
        for (const Shape& s : shapes()) {
            // Sparse specials keep most sums finite, so ordering faults show
            // in the low bits instead of hiding behind NaN.
            for (double rate : {0.0, 0.002, 0.05}) {
                const auto a = randomOperand(rng, s.m * s.p, rate);
                const auto b = randomOperand(rng, s.p * s.n, rate);
                expectSameAsReference(a, b, s, pathName(isa, form) + " rate " + std::to_string(rate));
            }
        }
    }
}

TEST(ProductKernel, SubnormalProductsSignedZerosAndZeroTimesInfinity) {
    IsaGuard guard;
    TileFormGuard formGuard;
    for (Isa isa : supportedIsas()) for (TileForm form : tileForms(isa)) {
        ASSERT_TRUE(corx_internal::forceIsa(isa));
        corx_internal::forceTileForm(form);
        std::mt19937_64 rng(99);
        // Products near 1e-310 are subnormal: their rounding depends on each
        // product being rounded before the sum.
        const Shape s{29, 41, 35};
        const auto a = randomOperand(rng, s.m * s.p, 0.01, 1e-155);
        const auto b = randomOperand(rng, s.p * s.n, 0.01, 1e-155);
        expectSameAsReference(a, b, s, pathName(isa, form) + " subnormal");

        // -0 * 1 = -0 accumulated onto +0.0 gives +0.0; 0 * Inf is NaN.
        const double inf = std::numeric_limits<double>::infinity();
        const corx_internal::Matrix x = corx_internal::matrix(1, 2, std::vector<double>{-0.0, 0.0});
        const corx_internal::Matrix y = corx_internal::matrix(2, 9, std::vector<double>{1, 1, 1, 1, 1, 1, 1, 1, inf,
                                                                      1, 1, 1, 1, 1, 1, 1, 1, 1});
        const corx_internal::Matrix r = x * y;
        for (int j = 0; j < 8; ++j) EXPECT_EQ(corx_test::bitsOf(r.data[j]), 0u) << corx_internal::isaName(isa);
        EXPECT_TRUE(std::isnan(r.data[8])) << corx_internal::isaName(isa);
    }
}

TEST(ProductKernel, AccumulatesIntoStridedBlocksWithoutTouchingTheRest) {
    // productAccumulate continues existing sums in sub-blocks of larger
    // arrays; the rest of the destination must be left alone.
    std::mt19937_64 rng(7);
    TileFormGuard formGuard;
    for (Isa isa : supportedIsas()) for (TileForm form : tileForms(isa)) {
        corx_internal::forceTileForm(form);
        for (const Shape& s : {Shape{13, 19, 27}, Shape{1, 600, 30}, Shape{40, 2, 1}}) {
            const std::int64_t lda = s.p + 3, ldb = s.n + 5, ldr = s.n + 2;
            auto a = randomOperand(rng, s.m * lda, 0.01);
            auto b = randomOperand(rng, s.p * ldb, 0.01);
            auto r = randomOperand(rng, s.m * ldr, 0.01);
            std::vector<double> want = r;
            for (std::int64_t i = 0; i < s.m; ++i)
                for (std::int64_t j = 0; j < s.n; ++j)
                    for (std::int64_t k = 0; k < s.p; ++k) {
                        volatile double prod = b[k * ldb + j] * a[i * lda + k];
                        want[i * ldr + j] = prod + want[i * ldr + j];
                    }
            corx_internal::productAccumulate(corx_internal::kernelsFor(isa), a.data(), lda, b.data(), ldb, r.data(), ldr, s.m, s.p, s.n);
            for (std::size_t k = 0; k < r.size(); ++k)
                ASSERT_TRUE(sameBits(r[k], want[k])) << pathName(isa, form) << " index " << k;
        }
    }
}

TEST(ProductKernel, ForcingIsLimitedToSupportedInstructionSets) {
    IsaGuard guard;
    const Isa best = corx_internal::detectedIsa();
    for (Isa isa : {Isa::Baseline, Isa::Avx2, Isa::Avx512}) {
        const bool supported = static_cast<int>(isa) <= static_cast<int>(best);
        EXPECT_EQ(corx_internal::forceIsa(isa), supported) << corx_internal::isaName(isa);
        EXPECT_EQ(corx_internal::activeIsa(), supported ? isa : Isa::Baseline) << corx_internal::isaName(isa);
        corx_internal::forceIsa(Isa::Baseline);
    }
}

TEST(ProductKernel, CorxIsaOnlyLowersThePath) {
    // Run once as is and once under CORX_ISA=baseline (see CMakeLists.txt):
    // the path is what the processor offers, lowered to a named narrower one.
    Isa processor = Isa::Baseline;
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f")) processor = Isa::Avx512;
    else if (__builtin_cpu_supports("avx2")) processor = Isa::Avx2;
#endif
    Isa want = processor;
    if (const char* named = std::getenv("CORX_ISA")) {
        for (Isa isa : {Isa::Baseline, Isa::Avx2, Isa::Avx512})
            if (std::string(named) == corx_internal::isaName(isa) && static_cast<int>(isa) < static_cast<int>(want))
                want = isa;
    }
    EXPECT_EQ(corx_internal::detectedIsa(), want);
    EXPECT_EQ(corx_internal::kernelsFor(want).isa, want);
}

}  // namespace
