// SPDX-License-Identifier: BSD-3-Clause
// Limb primitives, the BigUInt core, addition, subtraction, comparison,
// shifts and bitwise or, checked against GMP.
#include "support/biguint_oracle.h"

#include "arithmetic/addition_big.h"
#include "arithmetic/bitwise_big.h"
#include "arithmetic/comparison_big.h"
#include "arithmetic/subtraction_big.h"

namespace {

using namespace corx_internal;
using namespace corx_test;
using Limbs = std::vector<Limb>;
using Wide = DoubleLimb;

TEST(LimbPrimitives, DivisionAndProductMatchWideArithmetic) {
    EXPECT_EQ(udiv128(0, 7, 2), std::make_pair(Limb{3}, Limb{1}));
    EXPECT_EQ(udiv128(1, 0, 2), std::make_pair(kTop, Limb{0}));
    EXPECT_EQ(mulWide(kOnes, kOnes), std::make_pair(kOnes - 1, Limb{1}));
    Operands source(11);
    for (int k = 0; k < 5000; ++k) {
        const Limb a = source.limb(), b = source.limb(), d = source.limb() | 1;
        const Wide product = static_cast<Wide>(a) * b;
        ASSERT_EQ(mulWide(a, b), std::make_pair(Limb(product >> 64), Limb(product))) << a << " * " << b;
        const Wide dividend = (static_cast<Wide>(a % d) << 64) | b;
        ASSERT_EQ(udiv128(a % d, b, d), std::make_pair(Limb(dividend / d), Limb(dividend % d)));
    }
    const char* tooBig = "udiv128: high limb must be < divisor (quotient must fit a Limb)";
    expectRaises<DivByZeroDefect>([] { udiv128(9, 5, 0); }, "DivByZeroDefect", "udiv128: divisor is zero");
    expectRaises<ValueError>([] { udiv128(2, 0, 2); }, "ValueError", tooBig);
}

#if defined(__SIZEOF_INT128__)
// The portable 128-bit classes, which targets without __int128 build the
// library on, against the compiler's type: every operator the library uses,
// on operands of every length, signs and the edges of the range.
TEST(LimbPrimitives, PortableWideIntegersMatchTheCompilersType) {
    __extension__ typedef unsigned __int128 U;
    __extension__ typedef __int128 S;
    using PU = PortableUInt128;
    using PS = PortableInt128;
    auto bits = [](auto v) {
        const U u = static_cast<U>(static_cast<Limb>(v >> 64)) << 64 | static_cast<Limb>(v);
        return u;
    };
    auto portable = [](U v) { return PU(static_cast<Limb>(v >> 64)) << 64 | PU(static_cast<Limb>(v)); };
    std::mt19937_64 rng(128);
    std::vector<U> values{0, 1, 2, 63, 64, 127, ~U{0}, U{1} << 63, U{1} << 64, U{1} << 127, (U{1} << 127) - 1,
                          ~Limb{0}, U{~Limb{0}} << 64};
    for (int k = 0; k < 400; ++k) {
        const U v = static_cast<U>(rng()) << 64 | rng();
        values.push_back(v >> (rng() % 128));
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        for (std::size_t j = i % 7; j < values.size(); j += 7) {
            const U a = values[i], b = values[j];
            const PU pa = portable(a), pb = portable(b);
            const S sa = static_cast<S>(a), sb = static_cast<S>(b);
            const PS qa(pa), qb(pb);
            const unsigned s = static_cast<unsigned>(b % 128);
            ASSERT_EQ(bits(pa + pb), a + b);
            ASSERT_EQ(bits(pa - pb), a - b);
            ASSERT_EQ(bits(pa * pb), a * b);
            ASSERT_EQ(bits(pa & pb), a & b);
            ASSERT_EQ(bits(pa | pb), a | b);
            ASSERT_EQ(bits(pa ^ pb), a ^ b);
            ASSERT_EQ(bits(~pa), ~a);
            ASSERT_EQ(bits(pa << s), a << s);
            ASSERT_EQ(bits(pa >> s), a >> s);
            ASSERT_EQ(bits(qa >> s), static_cast<U>(sa >> s));
            ASSERT_EQ(bits(qa * qb), a * b);  // the signed product wraps as the unsigned one
            ASSERT_EQ(pa < pb, a < b);
            ASSERT_EQ(pa == pb, a == b);
            ASSERT_EQ(qa < qb, sa < sb);
            ASSERT_EQ(qa >= qb, sa >= sb);
            ASSERT_EQ(static_cast<std::int64_t>(qa), static_cast<std::int64_t>(sa));
            if (b != 0) {
                ASSERT_EQ(bits(pa / pb), a / b);
                ASSERT_EQ(bits(pa % pb), a % b);
                // The one signed quotient that overflows is left out.
                if (!(sa == static_cast<S>(U{1} << 127) && sb == -1)) {
                    ASSERT_EQ(bits(qa / qb), static_cast<U>(sa / sb));
                    ASSERT_EQ(bits(qa % qb), static_cast<U>(sa % sb));
                }
            }
        }
        const auto word = static_cast<std::int64_t>(values[i]);
        ASSERT_EQ(bits(PS(word)), static_cast<U>(S{word}));
        ASSERT_EQ(bits(PU(word)), static_cast<U>(word));
        ASSERT_EQ(bits(PU(static_cast<Limb>(word))), U{static_cast<Limb>(word)});
    }
}
#endif

TEST(BigUIntCore, InitTrimsAndValuesOwnTheirLimbs) {
    EXPECT_TRUE(initBigUInt(Limb{0}).limbs.empty());
    EXPECT_EQ(initBigUInt({5, 0, 0}).limbs, Limbs{5});
    EXPECT_TRUE(initBigUInt({0, 0}).limbs.empty());
    Limbs limbs{1, 2, 0, 0};
    const auto capacity = limbs.capacity();
    trim(limbs);
    EXPECT_EQ(limbs, (Limbs{1, 2}));
    EXPECT_EQ(limbs.capacity(), capacity);

    const BigUInt original = initBigUInt({1, 2, 3});
    BigUInt copy = original;
    copy.limbs[0] = 9;
    EXPECT_EQ(original.limbs[0], 1u);
    BigUInt moved = std::move(copy);
    EXPECT_TRUE(copy.limbs.empty());
    copy = std::move(moved);
    EXPECT_TRUE(moved.limbs.empty());
    EXPECT_EQ(copy.limbs, (Limbs{9, 2, 3}));
}

TEST(BigUIntCore, EdgeCasesOfCmpAddSub) {
    EXPECT_EQ(cmp(BigUInt{}, BigUInt{}), 0);
    EXPECT_EQ(cmp(initBigUInt({0, 1}), initBigUInt(kOnes)), 1);
    EXPECT_EQ(cmp(initBigUInt({1, 2}), initBigUInt({2, 1})), 1);
    EXPECT_EQ(add(initBigUInt({kOnes, kOnes}), initBigUInt(1)).limbs, (Limbs{0, 0, 1}));
    EXPECT_EQ(add(initBigUInt(1), initBigUInt({kOnes, kOnes})).limbs, (Limbs{0, 0, 1}));
    EXPECT_EQ(sub(initBigUInt({0, 1}), initBigUInt(1)).limbs, Limbs{kOnes});
    EXPECT_EQ(sub(initBigUInt({0, 0, 1}), initBigUInt(1)).limbs, (Limbs{kOnes, kOnes}));
    const char* underflow = "Subtraction underflow: a < b in BigUInt";
    expectRaises<UnderflowDefect>([] { sub(initBigUInt(1), initBigUInt(2)); }, "UnderflowDefect", underflow);
    expectRaises<UnderflowDefect>([] { sub(BigUInt{}, initBigUInt(1)); }, "UnderflowDefect", underflow);
}

TEST(BigUIntCore, CmpAddSubAgreeWithGmp) {
    Operands source(12);
    for (int k = 0; k < 4000; ++k) {
        BigUInt a = source.any(100), b = k % 8 == 0 ? a : source.any(100);
        if (k % 4 == 1) {  // a power of the radix minus a short value: a long borrow chain
            a.limbs.assign(source.below(100) + 2, 0);
            a.limbs.back() = 1;
            b = source.ofLength(1 + source.below(2));
        }
        Mpz sum, diff;
        mpz_add(sum, Mpz(a), Mpz(b));
        ASSERT_EQ(add(a, b), sum.big()) << k;
        const int order = mpz_cmp(Mpz(a), Mpz(b));
        ASSERT_EQ(cmp(a, b), (order > 0) - (order < 0)) << k;
        if (order < 0) std::swap(a, b);
        mpz_sub(diff, Mpz(a), Mpz(b));
        ASSERT_EQ(sub(a, b), diff.big()) << k;
    }
}

TEST(BigUIntBitwise, EdgeCasesOfShiftsAndOr) {
    const BigUInt radix = initBigUInt({0, 1});
    EXPECT_EQ(shl(initBigUInt(1), 63).limbs, Limbs{kTop});
    EXPECT_EQ(shl(initBigUInt(1), 128).limbs, (Limbs{0, 0, 1}));
    EXPECT_EQ(shl(initBigUInt(kOnes), 1).limbs, (Limbs{kOnes - 1, 1}));
    EXPECT_EQ(shr(radix, 1).limbs, Limbs{kTop});
    EXPECT_TRUE(shr(radix, 65).limbs.empty());
    EXPECT_TRUE(shr(radix, INT64_MAX).limbs.empty());
    EXPECT_EQ(shr(initBigUInt({kOnes, 1}), 1).limbs, Limbs{kOnes});
    EXPECT_NE(shl(radix, 0).limbs.data(), radix.limbs.data());
    EXPECT_NE(shr(radix, 0).limbs.data(), radix.limbs.data());
    EXPECT_TRUE(shl(BigUInt{}, 1000).limbs.empty());
    EXPECT_TRUE(shl(radix, INT64_MIN).limbs.empty());  // negative counts shift the other way
    EXPECT_EQ(bitOr(initBigUInt(5), radix).limbs, (Limbs{5, 1}));
    EXPECT_TRUE(bitOr(BigUInt{}, BigUInt{}).limbs.empty());
}

TEST(BigUIntBitwise, ShiftsAndOrAgreeWithGmp) {
    Operands source(13);
    for (int k = 0; k < 2000; ++k) {
        const BigUInt a = source.any(40), b = source.any(40);
        // Counts cluster at multiples of 64 and one either side of them.
        const std::int64_t count = k % 2 ? 64 * (1 + source.below(45)) + source.below(3) - 1 : source.below(3000);
        Mpz up, down, cleared, either;
        mpz_mul_2exp(up, Mpz(a), count);
        mpz_fdiv_q_2exp(down, Mpz(a), count);
        mpz_mul_2exp(cleared, down, count);
        mpz_ior(either, Mpz(a), Mpz(b));
        ASSERT_EQ(shl(a, count), up.big()) << k;
        ASSERT_EQ(shr(a, count), down.big()) << k;
        ASSERT_EQ(shl(shr(a, count), count), cleared.big()) << k;
        ASSERT_EQ(shr(a, -count), up.big()) << k;
        ASSERT_EQ(shl(a, -count), down.big()) << k;
        ASSERT_EQ(bitOr(a, b), either.big()) << k;
    }
}

}  // namespace
