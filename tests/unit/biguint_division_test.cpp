// SPDX-License-Identifier: BSD-3-Clause
// BigUInt division against GMP and a = q*b + r with r < b.
#include "support/biguint_oracle.h"

#include "arithmetic/addition_big.h"
#include "arithmetic/comparison_big.h"
#include "arithmetic/division_big.h"
#include "arithmetic/multiplication_big.h"

namespace {

using namespace corx_internal;
using namespace corx_test;
using Limbs = std::vector<Limb>;

void expectDivision(const BigUInt& a, const BigUInt& b) {
    Mpz q, r;
    mpz_tdiv_qr(q, r, Mpz(a), Mpz(b));
    const auto [quotient, remainder] = divMod(a, b);
    ASSERT_EQ(quotient, q.big()) << a.limbs.size() << " / " << b.limbs.size();
    ASSERT_EQ(remainder, r.big()) << a.limbs.size() << " / " << b.limbs.size();
    ASSERT_EQ(add(mul(quotient, b), remainder), a);
    ASSERT_LT(cmp(remainder, b), 0);
}

TEST(BigUIntDivision, ErrorsAndShortCuts) {
    const char* byZero = "Division by zero in BigUInt.";
    expectRaises<DivByZeroDefect>([] { divMod(initBigUInt(4), BigUInt{}); }, "DivByZeroDefect", byZero);
    expectRaises<DivByZeroDefect>([] { divMod(BigUInt{}, BigUInt{}); }, "DivByZeroDefect", byZero);
    expectRaises<DivByZeroDefect>([] { divModLimb(BigUInt{}, 0); }, "DivByZeroDefect", "divModLimb: divisor is zero");
    const BigUInt five = initBigUInt(5);
    const auto [q, r] = divMod(five, initBigUInt(7));
    EXPECT_TRUE(q.limbs.empty());
    EXPECT_EQ(r, five);
    EXPECT_NE(r.limbs.data(), five.limbs.data());
    for (const BigUInt& x : {initBigUInt(7), initBigUInt({3, 9})}) {
        EXPECT_EQ(divMod(x, x), std::make_pair(initBigUInt(1), BigUInt{}));
    }
    EXPECT_EQ(divModLimb(initBigUInt({0, 1}), 3), std::make_pair(initBigUInt(kOnes / 3), Limb{1}));
    EXPECT_EQ(divMod(initBigUInt({0, 1}), initBigUInt(7)).second.limbs, Limbs{2});
}

TEST(BigUIntDivision, EstimatePaths) {
    // Estimated digit 2 is corrected only by the add-back step.
    const auto [q, r] = divMod(initBigUInt({0, 0, kTop}), initBigUInt({1, 0, kTop >> 1}));
    EXPECT_EQ(q.limbs, Limbs{1});
    EXPECT_EQ(r.limbs, (Limbs{kOnes, kOnes, (kTop >> 1) - 1}));
    // Equal top limbs: the digit B - 1 is taken without a limb division.
    const auto [q2, r2] = divMod(initBigUInt({0, 0, kTop}), initBigUInt({kTop >> 1, kTop}));
    EXPECT_EQ(q2.limbs, Limbs{kOnes});
    EXPECT_EQ(r2.limbs, (Limbs{kTop >> 1, kTop >> 1}));
    // No normalisation shift, and the largest one.
    EXPECT_EQ(divMod(initBigUInt({kOnes, kOnes, kOnes}), initBigUInt({kOnes, kOnes})),
              std::make_pair(initBigUInt({0, 1}), initBigUInt(kOnes)));
    expectDivision(initBigUInt({5, kOnes, 0, 1}), initBigUInt({kOnes, 1}));
}

// Divisors of one to three limbs half the time: the short division and the
// long division at its smallest sizes.
TEST(BigUIntDivision, RandomOperandsAgreeWithGmp) {
    Operands source(41);
    for (int k = 0; k < 3000; ++k) {
        expectDivision(source.any(100), source.ofLength(1 + source.below(k % 2 ? 60 : 3)));
    }
}

// Dividends built as q*b + r with all-ones quotient digits, divisors with
// their top bit set or only zeros below the top, and remainders b - 1 hit
// the equal-top-limbs estimate and the add-back step hundreds of times.
TEST(BigUIntDivision, ConstructedQuotientsAgreeWithGmp) {
    Operands source(42);
    for (int k = 0; k < 1500; ++k) {
        const std::size_t n = 2 + source.below(k % 3 == 0 ? 3 : 40);
        BigUInt b = source.ofLength(n);
        if (k % 2 == 0) b.limbs.back() |= kTop;
        if (k % 5 == 0) std::fill(b.limbs.begin(), b.limbs.end() - 1, 0);
        BigUInt q = source.ofLength(1 + source.below(30));
        if (k % 4 == 0) std::fill(q.limbs.begin(), q.limbs.end(), kOnes);
        Mpz a, r;
        mpz_sub_ui(r, Mpz(b), 1);
        if (k % 3) mpz_fdiv_r(r, Mpz(source.ofLength(n)), Mpz(b));
        mpz_mul(a, Mpz(q), Mpz(b));
        mpz_add(a, a, r);
        expectDivision(a.big(), b);
    }
}

TEST(BigUIntDivision, KnuthGuardsItsPreconditions) {
    const char* message = "divModKnuth: divisor must have at least two limbs and a non-zero top limb";
    expectRaises<ValueError>([] { divModKnuth(initBigUInt({1, 2}), initBigUInt(3)); }, "ValueError", message);
    BigUInt unnormal;
    unnormal.limbs = {4, 0};
    expectRaises<ValueError>([&] { divModKnuth(initBigUInt({1, 2}), unnormal); }, "ValueError", message);
    const BigUInt a = initBigUInt({1, 2});
    EXPECT_EQ(divModKnuth(a, initBigUInt({1, 2, 3})), std::make_pair(BigUInt{}, a));
    EXPECT_EQ(divModKnuth(a, initBigUInt({1, 3})), std::make_pair(BigUInt{}, a));
}

}  // namespace
