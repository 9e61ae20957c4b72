// SPDX-License-Identifier: BSD-3-Clause
// The series (atanTaylor, lnGeneric, piBigFloat) and the six start-up
// caches: their values, their life through start-up and teardown, a racing
// first corx_init, and an error escaping a module. What calls corx_init runs
// in a child process, which prints the caches for the checks here.
#include <gtest/gtest.h>

#include <corx/corx.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>
#include <vector>

#include "constants/constants.h"
#include "constants/float_math.h"
#include "constants/reduction.h"
#include "float/arithmetic.h"
#include "float/comparison.h"
#include "runtime/errors.h"
#include "runtime/startup.h"
#include "support/bigfloat_oracle.h"
#include "support/child.h"

using namespace corx_test;
using corx_internal::initBigFloat;

namespace {

const char kPi[] = "+C90FDAA22168C234 C4C6628B80DC1CD1 29024E088A67CC74 020BBEA63B139B23 * 2^";
const char k3Pi4[] = "+96CBE3F9990E91A7 9394C9E8A0A5159C DEC1BA8667CDD957 0188CEFCAC4EB45A * 2^-254";
const char kLn2[] = "+B17217F7D1CF79AB C9E3B39803F2F6AF 40F343267298B62D 8A0D175B8BAAFA2C * 2^-256";

void printCaches() {
    for (const BigFloat* x : {&corx_internal::piCache, &corx_internal::twoPiCache, &corx_internal::halfPiCache, &corx_internal::quarterPiCache,
                              &corx_internal::threeQuarterPiCache, &corx_internal::ln2Cache})
        std::printf("%s\n", describe(*x).c_str());
}

std::string filled() {
    return std::string(kPi) + "-254\n" + kPi + "-253\n" + kPi + "-255\n" + kPi + "-256\n" + k3Pi4 + "\n" + kLn2 + "\n";
}
std::string zeros() {
    std::string s;
    for (int k = 0; k < 6; ++k) s += describe(BigFloat{}) + "\n";
    return s;
}

TEST(Caches, FilledByTheFirstInitAndZeroOtherwise) {
    auto outcome = runInChild([] {
        printCaches();
        corx_init();
        printCaches();
    });
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.out, zeros() + filled());
}

TEST(Caches, ValuesAgreeWithOracle) {
    // pi is one unit above pi correctly rounded (the series steps' rounding),
    // ln 2 is correctly rounded, and 3·pi/4 is 3/4 of piCache rounded to nearest.
    auto outcome = runInChild([] {
        corx_init();
        Mpfr mine, want(256), three(8);
        mpfr_const_pi(want, MPFR_RNDN);
        mpfr_nextabove(want);
        assignExact(mine, corx_internal::piCache);
        const bool pi = mpfr_equal_p(mine, want);
        mpfr_const_log2(want, MPFR_RNDN);
        assignExact(mine, corx_internal::ln2Cache);
        const bool ln2 = mpfr_equal_p(mine, want);
        mpfr_set_ui(three, 3, MPFR_RNDN);
        assignExact(mine, corx_internal::piCache);
        roundedOp(want, 256, mpfr_mul, mine, three, corx_internal::rmNearest);
        mpfr_div_2ui(want, want, 2, MPFR_RNDN);
        assignExact(mine, corx_internal::threeQuarterPiCache);
        std::printf("%d %d %d", pi, ln2, mpfr_equal_p(mine, want) != 0);
    });
    EXPECT_EQ(outcome.out, "1 1 1");
}

TEST(Caches, TeardownLeavesZeroRecordsIsSafeTwiceAndStartUpStaysDone) {
    auto outcome = runInChild([] {
        corx_init();
        corxrt_teardown();
        printCaches();
        corxrt_teardown();
        corx_init();
        printCaches();
    });
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out, zeros() + zeros());
}

TEST(Caches, RacingFirstInitsRunTheStartUpOnce) {
    auto outcome = runInChild([] {
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&] {
                ready.fetch_add(1);
                while (ready.load() < 8) {
                }
                if (corx_init() != 1) _exit(2);
            });
        }
        for (auto& th : threads) th.join();
        printCaches();
    });
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.out, filled());
}

void failAfterReduction() {
    if (!corx_internal::isZero(corx_internal::piCache)) std::fputs("pi ready\n", stderr);
    corx_internal::lnGeneric(initBigFloat(-2.0, 256), 10);
}
void mustNotRun() { std::fputs("float_math ran\n", stderr); }

TEST(Caches, AnErrorInAModuleEndsTheStartUpWithTheReport) {
    const corx_internal::ModuleInit modules[] = {
        {corx_internal::initReduction, nullptr}, {failAfterReduction, nullptr}, {mustNotRun, nullptr}};
    auto outcome = runInChild([&] { corx_internal::runStartup(modules); });
    EXPECT_EQ(outcome.exitCode, 1);
    const std::string& err = outcome.err;
    ASSERT_GT(err.size(), 1u);
    EXPECT_EQ(err.substr(0, 9), "pi ready\n");
    EXPECT_NE(err.find("logarithm_generic"), std::string::npos) << err;  // the raise site's trace line
    EXPECT_EQ(err.substr(err.rfind('\n', err.size() - 2) + 1),
              "Error: unhandled exception: lnGeneric: input <= 0 (real log undefined) [ValueError]\n");
}

// --- the series, every step rounded by MPFR --------------------------------

class Series : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mpfr_set_emin(mpfr_get_emin_min()); }

    // r := op(a, b) at 256 bits, nearest with ties away; r := a when op is null.
    static void step(Mpfr& r, MpfrBinary op, mpfr_ptr a, mpfr_ptr b) {
        if (op == nullptr) return (void)(mpfr_set_prec(r, 256), mpfr_set(r, a, MPFR_RNDN));
        Mpfr t;
        roundedOp(t, 256, op, a, b, corx_internal::rmNearest);
        mpfr_swap(r, t);
    }
    static void integer(Mpfr& r, long n) { mpfr_set_prec(r, 64), mpfr_set_si(r, n, MPFR_RNDN); }

    // The series sum_{k < terms} sign^k y^(2k+1) / (2k+1), step by step.
    static void series(Mpfr& sum, mpfr_ptr y, std::int64_t terms, bool alternating) {
        Mpfr power, y2, divisor, q;
        step(sum, nullptr, y, y);
        step(power, nullptr, y, y);
        step(y2, mpfr_mul, y, y);
        for (std::int64_t i = 1; i < terms; ++i) {
            step(power, mpfr_mul, power, y2);
            integer(divisor, 2 * i + 1);
            step(q, mpfr_div, power, divisor);
            step(sum, alternating && i % 2 == 1 ? mpfr_sub : mpfr_add, sum, q);
        }
    }
    static BigFloat atanReference(const BigFloat& x, std::int64_t terms) {
        Mpfr xv, sum;
        assignExact(xv, x);
        series(sum, xv, terms, true);
        return fromMpfr(sum);
    }
    static BigFloat lnReference(const BigFloat& x, std::int64_t terms) {
        Mpfr xv, one, two, num, den, t, sum;
        assignExact(xv, x);
        integer(one, 1), integer(two, 2);
        step(num, mpfr_sub, xv, one);
        step(den, mpfr_add, xv, one);
        step(t, mpfr_div, num, den);
        series(sum, t, terms, false);
        step(sum, mpfr_mul, two, sum);
        return fromMpfr(sum);
    }
};

BigFloat ratio(double a, double b) { return initBigFloat(a, 256) / initBigFloat(b, 256); }

TEST_F(Series, AtanTaylorAndLnGenericRoundEveryStepToNearest) {
    // Arguments whose terms stay comparable to the sum, so the rounding of
    // every term shows in the result, and the constants' own arguments.
    std::mt19937_64 rng(5);
    for (int k = 0; k < 200; ++k) {
        const double denominator = (rng() & 1) != 0 ? 1001.0 : -1001.0;  // drawn first
        const BigFloat x = ratio(static_cast<double>(rng() % 1000 + 1), denominator);
        ASSERT_EQ(describe(corx_internal::atanTaylor(x, 60)), describe(atanReference(x, 60)));
        const BigFloat y = ratio(static_cast<double>(rng() % 100000 + 1), 997.0);
        ASSERT_EQ(describe(corx_internal::lnGeneric(y, 40)), describe(lnReference(y, 40)));
    }
    for (std::int64_t terms : {2, 17, 96})
        EXPECT_EQ(describe(corx_internal::atanTaylor(ratio(1, 239), terms)), describe(atanReference(ratio(1, 239), terms)));
    EXPECT_EQ(describe(corx_internal::lnGeneric(initBigFloat(2.0, 256), 200)), kLn2);
}

TEST_F(Series, EdgeCases) {
    const BigFloat x = ratio(-1, 7);
    for (std::int64_t terms : {1, 0, -4}) EXPECT_EQ(describe(corx_internal::atanTaylor(x, terms)), describe(x));
    // pi's precision argument only governs the conversion of its integers.
    EXPECT_EQ(describe(corx_internal::piBigFloat(64, 96)), std::string(kPi) + "-254");
    for (std::int64_t terms : {0, 1, 200}) {
        const BigFloat z = corx_internal::lnGeneric(initBigFloat(1.0, 256), terms);
        EXPECT_TRUE(corx_internal::isZero(z) && !z.negative && z.exponent == 0);
    }
    // One term gives 2t, t = 1/3: twice the rounded third.
    BigFloat twoThirds = ratio(1, 3);
    twoThirds.exponent += 1;
    EXPECT_EQ(describe(corx_internal::lnGeneric(initBigFloat(2.0, 256), 1)), describe(twoThirds));
    BigFloat negativeZero;
    negativeZero.negative = true;
    for (const BigFloat& bad : {BigFloat{}, negativeZero, initBigFloat(-1e-300, 256)}) {
        try {
            corx_internal::lnGeneric(bad, 200);
            ADD_FAILURE() << describe(bad);
        } catch (const corx_internal::ValueError& e) {
            EXPECT_EQ(e.message(), "lnGeneric: input <= 0 (real log undefined)");
        }
    }
}

}  // namespace
