// SPDX-License-Identifier: BSD-3-Clause
// Memory exhaustion inside every allocating exported function. Each case
// runs in a child process: the operands are built first, then the child's
// address space is capped a little above what it already uses, and the
// call must end the process with exactly "out of memory\n" on standard
// error, status 1 and nothing on standard output. A call that returns
// instead exits with status 0 and fails the case.
#include <gtest/gtest.h>

#include <corx/corx.h>

#include <malloc.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support/child.h"

using corx_test::capAddressSpace;
using corx_test::runInChild;
using corx_test::runProgram;

namespace {

// Operands of 1600 x 1600 doubles: 20 MB each, far above the headroom.
constexpr std::int32_t kN = 1600;

// A symmetric, diagonally dominant kN x kN matrix with every element
// non-zero (so its sparse form stores all of them). Its staging buffer is
// left allocated: the library keeps a freed large block for reuse, and the
// call under test could take it instead of asking for new memory. (Each
// child process calls this once and ends without freeing.)
CorxMatrix spdOperand() {
    auto* data = new std::vector<double>(static_cast<std::size_t>(kN) * kN, 1.0);
    for (std::int32_t i = 0; i < kN; ++i) (*data)[static_cast<std::size_t>(i) * (kN + 1)] = kN + 1.0;
    return corx_matrix_create_from_buffer(kN, kN, data->data(), static_cast<std::int64_t>(data->size()));
}

void expectOutOfMemory(const char* what, const corx_test::ChildOutcome& outcome) {
    EXPECT_TRUE(outcome.exited) << what << (outcome.signaled ? ": killed by a signal" : "");
    EXPECT_EQ(outcome.exitCode, 1) << what;
    EXPECT_EQ(outcome.err, "out of memory\n") << what;
    EXPECT_EQ(outcome.out, "") << what;
}

// Headroom left above what the child has mapped when the cap is taken:
// room for small bookkeeping, far below any operand or result.
constexpr std::size_t kHeadroom = std::size_t{1} << 20;

// Runs call(operand) in a child whose address space is capped once the
// operand exists: the first allocation of operand size inside the call
// (a copy, a factor or the result) must take the out-of-memory path.
void expectOutOfMemoryIn(const char* what, const std::function<void(CorxMatrix)>& call) {
    expectOutOfMemory(what, runInChild([&] {
        CorxMatrix m = spdOperand();
        capAddressSpace(kHeadroom);
        call(m);
        std::_Exit(0);  // the call returned: the test sees status 0
    }));
}

class OutOfMemoryEverywhere : public ::testing::Test {
protected:
    void SetUp() override {
        if (CORX_TEST_UNDER_ASAN) GTEST_SKIP() << "the address sanitizer reserves more than the limit";
        // Blocks of a megabyte or more are mapped and unmapped one by one
        // by the C library too: a buffer freed before the cap must not stay
        // cached in the heap, where the call could reuse it instead of
        // asking for new memory.
        mallopt(M_MMAP_THRESHOLD, 1 << 20);
    }
};

TEST_F(OutOfMemoryEverywhere, Creation) {
    expectOutOfMemory("create", runInChild([] {
        capAddressSpace(kHeadroom);
        corx_matrix_create(kN, kN);
        std::_Exit(0);
    }));
    expectOutOfMemory("create_from_buffer", runInChild([] {
        std::vector<double> data(static_cast<std::size_t>(kN) * kN, 1.5);
        capAddressSpace(kHeadroom);
        corx_matrix_create_from_buffer(kN, kN, data.data(), static_cast<std::int64_t>(data.size()));
        std::_Exit(0);
    }));
}

TEST_F(OutOfMemoryEverywhere, DenseArithmetic) {
    expectOutOfMemoryIn("add", [](CorxMatrix m) { corx_matrix_add(m, m); });
    expectOutOfMemoryIn("sub", [](CorxMatrix m) { corx_matrix_sub(m, m); });
    expectOutOfMemoryIn("mul", [](CorxMatrix m) { corx_matrix_mul(m, m); });
    expectOutOfMemoryIn("scale", [](CorxMatrix m) { corx_matrix_scale(m, 2.0); });
    expectOutOfMemoryIn("transpose", [](CorxMatrix m) { corx_matrix_transpose(m); });
}

// Operands are read in place, never copied: a comparison has nothing to
// allocate and completes under the same cap.
TEST_F(OutOfMemoryEverywhere, OperandsAreNotCopied) {
    auto outcome = runInChild([] {
        CorxMatrix m = spdOperand();
        capAddressSpace(kHeadroom);
        std::_Exit(corx_matrix_almost_equal(m, m, 0.0) ? 0 : 2);
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.err, "");
}

TEST_F(OutOfMemoryEverywhere, SolversAndDecompositions) {
    expectOutOfMemoryIn("determinant", [](CorxMatrix m) {
        int32_t ok = 0;
        corx_matrix_determinant(m, &ok);
    });
    expectOutOfMemoryIn("lu_solve", [](CorxMatrix m) {
        static double b[kN], x[kN];
        corx_matrix_lu_solve(m, b, kN, x, kN, true);
    });
    expectOutOfMemoryIn("cholesky", [](CorxMatrix m) { corx_matrix_cholesky(m); });
    expectOutOfMemoryIn("qr", [](CorxMatrix m) {
        CorxMatrix q = nullptr, r = nullptr;
        corx_matrix_qr(m, &q, &r);
    });
    expectOutOfMemoryIn("svd", [](CorxMatrix m) {
        static double s[kN];
        CorxMatrix u = nullptr, v = nullptr;
        corx_matrix_svd(m, &u, s, kN, &v);
    });
}

TEST_F(OutOfMemoryEverywhere, SparseConversionAndProduct) {
    expectOutOfMemoryIn("sparse_from_dense", [](CorxMatrix m) { corx_sparse_from_dense(m); });
    // A dense rows x cols matrix with every element stored; the staging
    // buffer and the dense form stay allocated, as in spdOperand.
    auto fullSparse = [](std::int32_t rows, std::int32_t cols) {
        auto* data = new std::vector<double>(static_cast<std::size_t>(rows) * cols, 0.25);
        CorxMatrix d =
            corx_matrix_create_from_buffer(rows, cols, data->data(), static_cast<std::int64_t>(data->size()));
        return corx_sparse_from_dense(d);
    };
    expectOutOfMemory("sparse_to_dense", runInChild([&] {
        CorxSparse s = fullSparse(kN, kN);
        capAddressSpace(kHeadroom);
        corx_sparse_to_dense(s);
        std::_Exit(0);
    }));
    // The product with x and y in one buffer: x is read from a copy, and a
    // long row makes that copy far larger than the headroom.
    expectOutOfMemory("sparse_matvec", runInChild([&] {
        constexpr std::int32_t kCols = 1 << 20;
        CorxSparse s = fullSparse(1, kCols);
        std::vector<double> xy(kCols, 1.0);
        capAddressSpace(kHeadroom);
        corx_sparse_matvec(s, xy.data(), kCols, xy.data(), kCols);
        std::_Exit(0);
    }));
}

// A thread of the library's pool that runs out of memory ends the process
// as the calling thread would. A product on one thread first grows the
// caller's working buffers to full size (and leaves its result's block kept
// for reuse), and a small split product starts the worker, whose buffers
// stay small: under the cap, only the worker's part of the large split
// product needs more memory. On one thread the same call completes.
TEST_F(OutOfMemoryEverywhere, InsideAThreadOfThePool) {
    const auto splitProduct = [](std::int32_t threads) {
        return runInChild([threads] {
            CorxMatrix m = spdOperand();
            corx_matrix_destroy(corx_matrix_mul(m, m));
            corx_set_threads(threads);
            const std::vector<double> small(256 * 256, 0.5);
            CorxMatrix s = corx_matrix_create_from_buffer(256, 256, small.data(), 256 * 256);
            corx_matrix_destroy(corx_matrix_mul(s, s));
            capAddressSpace(kHeadroom);
            CorxMatrix p = corx_matrix_mul(m, m);
            std::_Exit(p != nullptr ? 0 : 2);
        });
    };
    expectOutOfMemory("mul on two threads", splitProduct(2));
    const auto control = splitProduct(1);
    EXPECT_TRUE(control.exited);
    EXPECT_EQ(control.exitCode, 0) << "on one thread";
    EXPECT_EQ(control.err, "");
}

// Freed blocks the library keeps for reuse are given back when the system
// refuses a new mapping: under a cap that leaves no room beside a kept
// 40 MB block, a 25 MB result (too small to take that block) is still made.
TEST_F(OutOfMemoryEverywhere, KeptBlocksAreGivenBackFirst) {
    auto outcome = runInChild([] {
        corx_matrix_destroy(corx_matrix_create(5000, 1000));
        capAddressSpace(kHeadroom);
        CorxMatrix m = corx_matrix_create(3125, 1000);
        std::_Exit(m != nullptr ? 0 : 2);
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.err, "");
}

// Freed blocks the library keeps must not starve the host. Under a cap of
// 300 MiB above what is mapped, four 60 MiB matrices are made and
// destroyed, then the host takes 66 blocks of 3 MB with malloc, as many as
// it can get, and fills what is left with blocks of 64 KiB: the library's
// next allocation (2.8 MB, below the large-block size) must still succeed,
// since every failing allocation gives the kept blocks back first. In a
// second child corx_cleanup gives them back on request, and then all 66 of
// the host's blocks must fit.
TEST_F(OutOfMemoryEverywhere, KeptBlocksYieldToTheHost) {
    constexpr int kHostBlocks = 66;
    constexpr std::size_t kHostBlock = 3000000;
    const auto makeAndDestroyFour = [] {
        CorxMatrix big[4];
        for (CorxMatrix& m : big) m = corx_matrix_create(3840, 2048);  // 60 MiB each
        for (CorxMatrix m : big) corx_matrix_destroy(m);
    };
    auto outcome = runInChild([&] {
        capAddressSpace(std::size_t{300} << 20);
        makeAndDestroyFour();
        static void* volatile host[kHostBlocks];
        int got = 0;
        for (void* p; got < kHostBlocks && (p = std::malloc(kHostBlock)) != nullptr; ++got) host[got] = p;
        std::printf("%d", got);
        std::fflush(stdout);
        static void* volatile rest;
        for (int i = 0; i < 8192; ++i) {
            void* p = std::malloc(std::size_t{64} << 10);
            if (p == nullptr) break;
            rest = p;
        }
        std::_Exit(corx_matrix_create(700, 500) != nullptr ? 0 : 2);
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0) << "host blocks taken first: " << outcome.out;
    EXPECT_EQ(outcome.err, "");

    outcome = runInChild([&] {
        capAddressSpace(std::size_t{300} << 20);
        makeAndDestroyFour();
        corx_cleanup();
        static void* volatile host[kHostBlocks];
        int got = 0;
        for (void* p; got < kHostBlocks && (p = std::malloc(kHostBlock)) != nullptr; ++got) host[got] = p;
        std::printf("%d", got);
        std::fflush(stdout);
        std::_Exit(got == kHostBlocks ? 0 : 2);
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0) << "host blocks taken after corx_cleanup: " << outcome.out;
    EXPECT_EQ(outcome.err, "");
}

// The cap itself leaves room for ordinary work: the same calls on a small
// operand under the same cap complete and return normally.
TEST_F(OutOfMemoryEverywhere, TheCapLeavesRoomForSmallWork) {
    auto outcome = runInChild([] {
        CorxMatrix m = corx_matrix_create(8, 8);
        for (int i = 0; i < 8; ++i) corx_matrix_set(m, i, i, 2.0);
        capAddressSpace(kHeadroom);
        CorxMatrix q = nullptr, r = nullptr, u = nullptr, v = nullptr;
        double s[8];
        const bool ok = corx_matrix_mul(m, m) != nullptr && corx_matrix_cholesky(m) != nullptr &&
                        corx_matrix_qr(m, &q, &r) == 0 && corx_matrix_svd(m, &u, s, 8, &v) == 0 &&
                        corx_sparse_to_dense(corx_sparse_from_dense(m)) != nullptr;
        std::_Exit(ok ? 0 : 2);
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.err, "");
}

// The same end when the C++ runtime could not even reserve its emergency
// memory for exceptions when the library was loaded, and an internal error
// (the singular solve, the refused Cholesky factorisation) then cannot
// allocate its exception object. A host loads the library with the
// preloaded shim refusing every request of 64 KiB or more (the runtime's
// reserve among them); during the call the k-th allocation and every later
// one fail, for k = 1, 2, ... until the call completes and returns its
// failure result. Every k must end with exactly "out of memory".
TEST(OutOfMemoryWithoutReserves, EveryAllocationOfAnInternalErrorFailingInTurn) {
    if (CORX_TEST_UNDER_ASAN) GTEST_SKIP() << "the shim cannot be preloaded ahead of the address sanitizer";
    struct Scenario {
        const char* mode;
        const char* completed;
    };
    for (const Scenario sc : {Scenario{"singular", "-3\n"}, Scenario{"notspd", "refused\n"}}) {
        int k = 1;
        for (; k < 10000; ++k) {
            const std::string what = std::string(sc.mode) + ", failing from allocation " + std::to_string(k);
            auto outcome = runProgram({CORX_TEST_DLOPEN_HOST, CORX_TEST_LIBRARY, sc.mode},
                                      {std::string("LD_PRELOAD=") + CORX_TEST_FAILING_MALLOC,
                                       "CORX_FAIL_AT_LEAST=65536", "CORX_FAIL_FROM=" + std::to_string(k)});
            if (outcome.exited && outcome.exitCode == 0) {
                EXPECT_EQ(outcome.out, sc.completed) << what;
                EXPECT_EQ(outcome.err, "") << what;
                break;
            }
            expectOutOfMemory(what.c_str(), outcome);
            if (outcome.exitCode != 1 || outcome.err != "out of memory\n") break;
        }
        // The error's message, trace and exception object all allocate.
        EXPECT_GT(k, 3) << sc.mode;
    }
}

}  // namespace
