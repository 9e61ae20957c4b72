// SPDX-License-Identifier: BSD-3-Clause
// A process that never calls corx_init: every family works and the
// library leaves the process's signal dispositions alone. (Its own
// executable, since the other lifecycle tests initialise the library.)
#include <corx/corx.h>
#include <gtest/gtest.h>

#include <signal.h>

#include "support/child.h"

namespace {

const int kSignals[] = {SIGINT, SIGSEGV, SIGABRT, SIGFPE, SIGILL, SIGPIPE};

void (*handlerOf(int sig))(int) {
    struct sigaction current {};
    sigaction(sig, nullptr, &current);
    return current.sa_handler;
}

TEST(WithoutInit, EveryFamilyWorksAndSignalsStayAsTheyWere) {
    void (*before[6])(int);
    for (int k = 0; k < 6; ++k) before[k] = handlerOf(kSignals[k]);
    const double data[4] = {4, 1, 1, 3};
    CorxMatrix m = corx_matrix_create_from_buffer(2, 2, data, 4);
    ASSERT_NE(m, nullptr);
    CorxMatrix p = corx_matrix_mul(m, m);
    EXPECT_EQ(corx_matrix_get(p, 0, 0), 17.0);
    CorxSparse s = corx_sparse_from_dense(m);
    EXPECT_EQ(corx_sparse_nnz(s), 4);
    EXPECT_EQ(corx_vec2_dot({1, 2}, {3, 4}), 11.0);
    corx_sparse_destroy(s);
    corx_matrix_destroy(p);
    corx_matrix_destroy(m);
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(handlerOf(kSignals[k]), before[k]) << kSignals[k];
        // Nothing installed a handler at load: the disposition is still the
        // inherited one, the default or, for a process started in the
        // background, SIGINT and SIGQUIT ignored. Sanitizer runtimes install
        // handlers of their own before main.
        if (!CORX_TEST_UNDER_ASAN) EXPECT_TRUE(before[k] == SIG_DFL || before[k] == SIG_IGN) << kSignals[k];
    }
}

}  // namespace
