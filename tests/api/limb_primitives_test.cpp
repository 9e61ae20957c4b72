// SPDX-License-Identifier: BSD-3-Clause
// The exported limb primitives through the public header.
#include <corx/corx.h>

#include <gmp.h>
#include <gtest/gtest.h>

#include <random>
#include <utility>

namespace {

constexpr uint64_t kOnes = ~uint64_t{0};
static_assert(sizeof(unsigned long) == sizeof(uint64_t) && GMP_NUMB_BITS == 64);

// hi*2^64 + lo divided by divisor, by GMP: the quotient modulo 2^64 and the
// remainder.
std::pair<uint64_t, uint64_t> wideDivision(uint64_t hi, uint64_t lo, uint64_t divisor) {
    mpz_t n, q;
    mpz_init_set_ui(n, hi);
    mpz_mul_2exp(n, n, 64);
    mpz_add_ui(n, n, lo);
    mpz_init(q);
    const uint64_t r = mpz_fdiv_q_ui(q, n, divisor);
    const uint64_t low = mpz_getlimbn(q, 0);
    mpz_clears(n, q, nullptr);
    return {low, r};
}

std::pair<uint64_t, uint64_t> divide(uint64_t hi, uint64_t lo, uint64_t divisor) {
    uint64_t q = 0xdead, r = 0xbeef;
    corvane_udiv128(hi, lo, divisor, &q, &r);
    return {q, r};
}

// Also with hi >= divisor: the true quotient modulo 2^64 and the exact
// remainder, without a trap.
TEST(LimbApi, Udiv128AgreesWithWideDivision) {
    EXPECT_EQ(divide(0, 7, 2), std::make_pair(uint64_t{3}, uint64_t{1}));
    EXPECT_EQ(divide(2, 0, 2), std::make_pair(uint64_t{0}, uint64_t{0}));
    EXPECT_EQ(divide(kOnes, kOnes, 1), std::make_pair(kOnes, uint64_t{0}));
    std::mt19937_64 rng(51);
    for (int k = 0; k < 5000; ++k) {
        const uint64_t divisor = (rng() >> rng() % 64) | 1;
        const uint64_t hi = k % 2 ? rng() : rng() % divisor, lo = rng();
        ASSERT_EQ(divide(hi, lo, divisor), wideDivision(hi, lo, divisor)) << hi << ":" << lo << " / " << divisor;
    }
}

TEST(LimbApi, Udiv128ZeroDivisorAndNullPointersAreHarmless) {
    for (uint64_t hi : {uint64_t{0}, kOnes}) EXPECT_EQ(divide(hi, 1234, 0), std::make_pair(kOnes, uint64_t{1234}));
    uint64_t q = 0, r = 0, both = 0;
    corvane_udiv128(0, 7, 2, &q, nullptr);
    corvane_udiv128(0, 7, 2, nullptr, &r);
    corvane_udiv128(0, 7, 0, nullptr, nullptr);
    EXPECT_EQ(std::make_pair(q, r), std::make_pair(uint64_t{3}, uint64_t{1}));
    corvane_udiv128(0, 7, 2, &both, &both);  // the remainder is written last
    EXPECT_EQ(both, 1u);
}

TEST(LimbApi, Clz64CountsLeadingZeros) {
    EXPECT_EQ(corvane_clz64(0), 64);
    for (int bit = 0; bit < 64; ++bit) {
        const uint64_t single = uint64_t{1} << bit;
        EXPECT_EQ(corvane_clz64(single), 63 - bit);
        EXPECT_EQ(corvane_clz64(single | (single - 1)), 63 - bit);
    }
}

}  // namespace
