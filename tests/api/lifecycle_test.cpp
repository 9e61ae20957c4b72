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
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/child.h"

using corx_test::runInChild;

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

}  // namespace
