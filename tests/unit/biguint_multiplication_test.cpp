// SPDX-License-Identifier: BSD-3-Clause
// BigUInt multiplication: every MulAlgorithm agrees with GMP; the
// Karatsuba building blocks.
#include "support/biguint_oracle.h"

#include "arithmetic/multiplication_big.h"

namespace {

using namespace corx_internal;
using namespace corx_test;
using Limbs = std::vector<Limb>;

// Every algorithm, with the operands either way round, gives GMP's product.
void expectProduct(const BigUInt& a, const BigUInt& b) {
    Mpz product;
    mpz_mul(product, Mpz(a), Mpz(b));
    const BigUInt expected = product.big();
    for (MulAlgorithm algorithm : {maAuto, maSchoolbook, maKaratsuba}) {
        ASSERT_EQ(mul(a, b, algorithm), expected) << int(algorithm) << ": " << a.limbs.size() << " x " << b.limbs.size();
        ASSERT_EQ(mul(b, a, algorithm), expected) << int(algorithm) << ": " << b.limbs.size() << " x " << a.limbs.size();
    }
}

BigUInt filled(std::size_t length, Limb value, std::size_t zeroBelow = 0) {
    BigUInt a;
    a.limbs.assign(length, value);
    std::fill(a.limbs.begin(), a.limbs.begin() + zeroBelow, 0);
    return a;
}

TEST(BigUIntMultiplication, ZeroAndCarryChains) {
    Operands source(21);
    for (std::size_t length : {0, 1, 33, 200}) expectProduct(BigUInt{}, source.ofLength(length));
    EXPECT_EQ(mul(initBigUInt({kOnes, kOnes}), initBigUInt({kOnes, kOnes})).limbs,
              (Limbs{1, 0, kOnes - 1, kOnes}));
    for (std::size_t n : {31, 32, 33, 65}) {
        expectProduct(filled(n, kOnes), filled(n, kOnes));
        expectProduct(filled(n, kOnes), filled(3, kOnes));
    }
}

TEST(BigUIntMultiplication, AlgorithmsAgreeAroundTheThreshold) {
    Operands source(22);
    for (std::size_t la = 29; la <= 35; ++la)
        for (std::size_t lb = 29; lb <= 35; ++lb) expectProduct(source.ofLength(la), source.ofLength(lb));
    for (std::size_t n : {64, 65, 66, 129}) expectProduct(source.ofLength(n), source.ofLength(n));
}

TEST(BigUIntMultiplication, UnequalLengthsAndZeroLowHalves) {
    Operands source(23);
    for (auto [s, l] : {std::pair{1, 100}, {2, 300}, {31, 1000}, {32, 1000}, {33, 700}, {34, 66}})
        expectProduct(source.ofLength(s), source.ofLength(l));
    const BigUInt b40 = filled(41, 1, 40);  // B^40: its low halves split to zero
    expectProduct(b40, b40);
    expectProduct(filled(60, 7, 40), source.ofLength(70));
}

TEST(BigUIntMultiplication, RandomOperandsAgreeWithGmp) {
    Operands source(24);
    for (int k = 0; k < 400; ++k) {
        const BigUInt a = source.any(100);
        expectProduct(a, k % 10 ? source.any(100) : a);
    }
}

TEST(BigUIntMultiplication, SplitAtAndShiftLimbsLeft) {
    const BigUInt a = initBigUInt({0, 0, 3, 4, 5});
    for (std::size_t m : {5, 9}) {
        auto [low, high] = splitAt(a, m);
        EXPECT_EQ(low, a);
        EXPECT_NE(low.limbs.data(), a.limbs.data());
        EXPECT_TRUE(high.limbs.empty());
    }
    auto [low2, high2] = splitAt(a, 2);
    EXPECT_TRUE(low2.limbs.empty());
    EXPECT_EQ(high2.limbs, (Limbs{3, 4, 5}));
    auto [low4, high4] = splitAt(initBigUInt({1, 0, 0, 2}), 3);
    EXPECT_EQ(low4.limbs, Limbs{1});
    EXPECT_EQ(high4.limbs, Limbs{2});
    EXPECT_TRUE(shiftLimbsLeft(BigUInt{}, 5).limbs.empty());
    EXPECT_EQ(shiftLimbsLeft(initBigUInt(1), 3).limbs, (Limbs{0, 0, 0, 1}));
}

}  // namespace
