// SPDX-License-Identifier: BSD-3-Clause
// The vectorised Householder QR against the plain form, bit for bit, on
// every instruction set: square, tall and single-column matrices with
// special values, zero columns, and tiny, huge and widely spread scales.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "algorithms/qr.h"
#include "kernels/kernel_set.h"
#include "support/bits.h"
#include "support/isa.h"
#include "support/random_operands.h"
#include "support/reference_qr.h"

using corx_internal::Isa;
using corx_test::IsaGuard;
using corx_test::supportedIsas;
using corx_internal::Matrix;
using corx_test::randomOperand;
using corx_test::sameBits;

namespace {

void expectSameBits(const Matrix& got, const Matrix& want, const std::string& what) {
    ASSERT_EQ(got.rows, want.rows) << what;
    ASSERT_EQ(got.cols, want.cols) << what;
    for (std::size_t k = 0; k < want.data.size(); ++k)
        ASSERT_TRUE(sameBits(got.data[k], want.data[k]))
            << what << " element " << k << ": got " << got.data[k] << " want " << want.data[k];
}

void expectSame(const Matrix& a, const std::string& what) {
    const corx_internal::QrFactors want = corx_test::referenceQrDecompose(a);
    const corx_internal::QrFactors got = corx_internal::qrDecompose(a);
    expectSameBits(got.q, want.q, what + " q");
    expectSameBits(got.r, want.r, what + " r");
}

struct Shape {
    std::int64_t m, n;
};

TEST(QrKernel, RandomShapesWithSpecialsOnEveryPath) {
    IsaGuard guard;
    // Widths around the blocks of 8, 16 and 64 columns and the sub-panels
    // of 32; more than one panel (256 columns), and panels that end inside
    // a block.
    const std::vector<Shape> shapes = {{1, 1},   {2, 2},    {5, 1},    {40, 1},   {9, 9},     {17, 16},
                                       {33, 7},  {31, 31},  {64, 50},  {70, 69},  {101, 37},  {120, 120},
                                       {300, 256}, {256, 200}};
    for (Isa isa : supportedIsas()) {
        ASSERT_TRUE(corx_internal::forceIsa(isa));
        std::mt19937_64 rng(8);
        for (const Shape& s : shapes)
            for (double rate : {0.0, 0.003, 0.05}) {
                const std::string what = std::string(corx_internal::isaName(isa)) + " " + std::to_string(s.m) + "x" +
                                          std::to_string(s.n) + " rate " + std::to_string(rate);
                expectSame(corx_internal::matrix(s.m, s.n, randomOperand(rng, s.m * s.n, rate)), what);
            }
    }
}

TEST(QrKernel, ZeroColumnsNegativeZerosAndTinyScales) {
    IsaGuard guard;
    for (Isa isa : supportedIsas()) {
        ASSERT_TRUE(corx_internal::forceIsa(isa));
        std::mt19937_64 rng(21);
        const std::string tag = corx_internal::isaName(isa);
        // Columns of signed zeros are skipped; a later column still reflects.
        auto z = randomOperand(rng, 45 * 40, 0.0);
        for (std::int64_t i = 0; i < 45; ++i) {
            z[i * 40 + 3] = -0.0;
            z[i * 40 + 20] = (i % 2) ? 0.0 : -0.0;
        }
        expectSame(corx_internal::matrix(45, 40, z), tag + " zero columns");
        // A whole sub-panel of zero columns: none of its reflections exist,
        // and the columns after it still take the earlier ones.
        auto gap = randomOperand(rng, 90 * 80, 0.0);
        for (std::int64_t i = 0; i < 90; ++i)
            for (std::int64_t j = 32; j < 64; ++j) gap[i * 80 + j] = 0.0;
        expectSame(corx_internal::matrix(90, 80, gap), tag + " zero sub-panel");
        // Over 1024 rows the AVX-512 blocks are halved to 32 columns.
        expectSame(corx_internal::matrix(1030, 21, randomOperand(rng, 1030 * 21, 0.002)), tag + " tall");
        // Scales whose squares would be subnormal or zero, with and
        // without special values: factorised scaled up.
        expectSame(corx_internal::matrix(50, 37, randomOperand(rng, 50 * 37, 0.01, 1e-155)), tag + " subnormal");
        expectSame(corx_internal::matrix(30, 30, randomOperand(rng, 30 * 30, 0.0, 1e-170)), tag + " underflow");
        // Factorised scaled down, and columns 2^1600 below the others:
        // their reflections are found from the columns scaled up.
        expectSame(corx_internal::matrix(70, 40, randomOperand(rng, 70 * 40, 0.0, 1e300)), tag + " huge");
        auto spread = randomOperand(rng, 70 * 40, 0.0, 0x1p800);
        for (std::int64_t i = 0; i < 70; ++i)
            for (std::int64_t j = 1; j < 40; j += 3) {
                double& x = spread[static_cast<std::size_t>(i * 40 + j)];
                x = x * 0x1p-800 * 0x1p-800;
            }
        expectSame(corx_internal::matrix(70, 40, spread), tag + " columns 2^1600 apart");
    }
}

}  // namespace
