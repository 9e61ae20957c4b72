// SPDX-License-Identifier: BSD-3-Clause
// Lifecycle functions, status texts and the process-wide effects of the
// start-up (signal dispositions), the latter in child processes. This
// program also defines functions named like three of the library's exported
// entries, as a host may by accident: the library's own calls must stay
// inside the library.
#include <corx/corx.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>

#include <atomic>
#include <cfenv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/bits.h"
#include "support/child.h"

using corx_test::runInChild;
using corx_test::runProgram;

namespace {

// Calls that reached the host's definitions below. Each forwards to the
// library's entry of the same name, so the library works either way.
std::atomic<int> gHostCalls{0};

template <class Function>
Function libraryEntry(const char* name) {
    void* entry = dlsym(RTLD_NEXT, name);
    if (entry == nullptr) std::abort();
    return reinterpret_cast<Function>(entry);
}

}  // namespace

extern "C" int32_t corvane_clz64(uint64_t x) {
    ++gHostCalls;
    static const auto entry = libraryEntry<int32_t (*)(uint64_t)>("corvane_clz64");
    return entry(x);
}

extern "C" void corvane_udiv128(uint64_t hi, uint64_t lo, uint64_t divisor, uint64_t* quotient,
                                uint64_t* remainder) {
    ++gHostCalls;
    static const auto entry =
        libraryEntry<void (*)(uint64_t, uint64_t, uint64_t, uint64_t*, uint64_t*)>("corvane_udiv128");
    entry(hi, lo, divisor, quotient, remainder);
}

extern "C" void corxrt_startup(void) {
    ++gHostCalls;
    static const auto entry = libraryEntry<void (*)()>("corxrt_startup");
    entry();
}

namespace {

TEST(Lifecycle, TheStartUpNeverCallsTheHostsFunctionsOfTheSameNames) {
    // Whichever test ran the start-up in this process, it has run by now;
    // its limb divisions and leading-zero counts, and corx_init's start-up
    // call, are all the library's own.
    EXPECT_EQ(corx_init(), 1);
    EXPECT_EQ(gHostCalls.load(), 0);
    struct sigaction current {};
    sigaction(SIGINT, nullptr, &current);
    EXPECT_NE(current.sa_handler, SIG_DFL);  // the library's start-up ran all the same
}

TEST(Status, TextsOfEveryCode) {
    EXPECT_STREQ(corx_get_error_string(0), "Success");
    EXPECT_STREQ(corx_get_error_string(1), "Null handle");
    EXPECT_STREQ(corx_get_error_string(2), "Shape mismatch");
    EXPECT_STREQ(corx_get_error_string(3), "Singular matrix");
    EXPECT_STREQ(corx_get_error_string(4), "Matrix is not symmetric positive-definite");
    EXPECT_STREQ(corx_get_error_string(5), "Output buffer too small");
    for (int32_t code : {-1, -5, 6, 100, INT_MIN, INT_MAX})
        EXPECT_STREQ(corx_get_error_string(code), "Unknown error") << code;
    // The same static text every time.
    EXPECT_EQ(corx_get_error_string(3), corx_get_error_string(3));
}

TEST(Lifecycle, VersionAndInitAndCleanup) {
    EXPECT_STREQ(corx_version(), "1.0.0");
    // Matrix functions work before any corx_init.
    CorxMatrix before = corx_matrix_create(2, 2);
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(corx_init(), 1);
    EXPECT_EQ(corx_init(), 1);
    corx_cleanup();
    EXPECT_EQ(corx_matrix_rows(before), 2);  // handles survive cleanup
    EXPECT_EQ(corx_init(), 1);
    corx_matrix_destroy(before);
}

// Neither loading the library (start-up code linked into it would run
// then) nor its start-up changes the host's floating-point environment:
// rounding to nearest, a subnormal neither read as zero nor flushed to it.
TEST(Lifecycle, TheHostsFloatingPointEnvironmentIsLeftAlone) {
    EXPECT_EQ(corx_init(), 1);
    EXPECT_EQ(std::fegetround(), FE_TONEAREST);
    volatile double tiny = 0x1p-1060;
    // Compared as bits: with denormals-are-zero a comparison would read the
    // expected subnormal as zero too.
    EXPECT_EQ(corx_test::bitsOf(tiny * 0.5), corx_test::bitsOf(0x1p-1061));
}

TEST(Lifecycle, ConcurrentFirstInitRunsTheStartUpOnce) {
    auto outcome = runInChild([] {
        std::vector<std::thread> threads;
        std::vector<int> results(8, 0);
        for (int t = 0; t < 8; ++t) threads.emplace_back([&results, t] { results[t] = corx_init(); });
        for (auto& th : threads) th.join();
        for (int r : results)
            if (r != 1) _exit(2);
        struct sigaction current {};
        sigaction(SIGPIPE, nullptr, &current);
        _exit(current.sa_handler == SIG_IGN ? 0 : 3);
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.err, "");
}

struct SignalCase {
    int sig;
    const char* message;
};

class StartupSignals : public ::testing::TestWithParam<SignalCase> {};

TEST_P(StartupSignals, WriteTheirMessageThenDieByTheSameSignal) {
    const SignalCase c = GetParam();
    auto outcome = runInChild([c] {
        corx_init();
        raise(c.sig);
        _exit(7);  // not reached: the default disposition ends the process
    });
    EXPECT_TRUE(outcome.signaled);
    EXPECT_EQ(outcome.signal, c.sig);
    EXPECT_EQ(outcome.err, std::string(c.message) + "\n");
}

// A host that is not linked against the library loads it, runs corx_init
// and unloads it, then gets the signal: the library stays resident once
// loaded, so the handler is still mapped and behaves as before the unload.
TEST_P(StartupSignals, StillHandledAfterTheHostUnloadsTheLibrary) {
    const SignalCase c = GetParam();
    auto outcome = runProgram({CORX_TEST_DLOPEN_HOST, CORX_TEST_LIBRARY, "unload-kill", std::to_string(c.sig)});
    EXPECT_TRUE(outcome.signaled) << outcome.err;
    EXPECT_EQ(outcome.signal, c.sig);
    EXPECT_EQ(outcome.err, std::string(c.message) + "\n");
    EXPECT_EQ(outcome.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    AllHandled, StartupSignals,
    ::testing::Values(SignalCase{SIGINT, "SIGINT: Interrupted by Ctrl-C."},
                      SignalCase{SIGSEGV, "SIGSEGV: Illegal storage access. (Attempt to read from nil?)"},
                      SignalCase{SIGABRT, "SIGABRT: Abnormal termination."},
                      SignalCase{SIGFPE, "SIGFPE: Arithmetic error."},
                      SignalCase{SIGILL, "SIGILL: Illegal operation."}));

TEST(StartupSignalsPipe, SigpipeIsIgnoredAfterInit) {
    auto outcome = runInChild([] {
        corx_init();
        raise(SIGPIPE);
        _exit(0);
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.err, "");
}

// A process started with SIGINT ignored (a shell's background job) keeps
// ignoring it after corx_init. The host is a fresh process, so the start-up
// really runs there.
TEST(StartupSignalsInherited, AnIgnoredSigintStaysIgnored) {
    auto outcome = runProgram({CORX_TEST_DLOPEN_HOST, CORX_TEST_LIBRARY, "init-raise", std::to_string(SIGINT)}, {},
                              /*ignoreSigint=*/true);
    EXPECT_TRUE(outcome.exited) << (outcome.signaled ? "killed by signal " + std::to_string(outcome.signal) : "");
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.out, "survived\n");
    EXPECT_EQ(outcome.err, "");
}

// Loading and unloading over and over does not grow the heap: the library
// stays resident after the first load, so what a load allocates (the C++
// runtime's reserve for exceptions, the start-up's tables) is allocated once.
TEST(Unloading, LoadInitUnloadCyclesKeepTheHeapFlat) {
    if (CORX_TEST_UNDER_ASAN) GTEST_SKIP() << "the address sanitizer's allocator keeps no malloc statistics";
    auto outcome = runProgram({CORX_TEST_DLOPEN_HOST, CORX_TEST_LIBRARY, "cycles", "1000"});
    ASSERT_TRUE(outcome.exited) << outcome.err;
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    unsigned long long before = 0, after = 0;
    ASSERT_EQ(std::sscanf(outcome.out.c_str(), "%llu %llu", &before, &after), 2) << outcome.out;
    // One cycle that kept what it allocated would already be near the limit.
    EXPECT_LE(after, before + 16 * 1024) << "heap in use: " << before << " bytes before 1000 cycles, " << after
                                         << " after";
}

}  // namespace
