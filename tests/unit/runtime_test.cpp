// SPDX-License-Identifier: BSD-3-Clause
// Runtime support: error kinds, the unhandled-error report, the start-up
// sequence and the out-of-memory path (fatal paths run in child processes).
#include <gtest/gtest.h>

#include <corx/corx.h>

#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/errors.h"
#include "runtime/memory.h"
#include "runtime/report.h"
#include "runtime/startup.h"
#include "support/child.h"
#include "types/matrix.h"
#include "types/sparse.h"

using corx_test::runInChild;

namespace {

std::string lastLine(const std::string& text) {
    std::string body = text;
    if (!body.empty() && body.back() == '\n') body.pop_back();
    std::size_t cut = body.rfind('\n');
    return cut == std::string::npos ? body : body.substr(cut + 1);
}

TEST(Errors, KindsFormAHierarchy) {
    try {
        throw corx_internal::DivByZeroDefect("udiv128: divisor is zero");
    } catch (const corx_internal::ValueError&) {
        FAIL() << "a defect must not be caught as a ValueError";
    } catch (const corx_internal::ArithmeticDefect& e) {
        EXPECT_STREQ(e.kind(), "DivByZeroDefect");
        EXPECT_EQ(e.message(), "udiv128: divisor is zero");
        ASSERT_EQ(e.trace().size(), 1u);
        EXPECT_NE(e.trace()[0].file.find("runtime_test"), std::string::npos);
    }
    try {
        throw corx_internal::UnderflowDefect("Subtraction underflow: a < b in BigUInt");
    } catch (const corx_internal::ArithmeticDefect&) {
        FAIL() << "an underflow defect sits directly under the defect root";
    } catch (const corx_internal::Defect& e) {
        EXPECT_STREQ(e.kind(), "UnderflowDefect");
    }
}

TEST(Report, TraceLinesThenTheErrorLine) {
    corx_internal::ValueError e("luDecompose: singular matrix");
    std::string text = corx_internal::formatUnhandled(e);
    EXPECT_EQ(lastLine(text), "Error: unhandled exception: luDecompose: singular matrix [ValueError]");
    // One recorded site, one trace line before the error line.
    std::size_t lines = 0;
    for (char c : text) lines += (c == '\n');
    EXPECT_EQ(lines, 2u);
    EXPECT_EQ(text.back(), '\n');
}

TEST(Report, PiecesThatDoNotFitAreLeftOut) {
    corx_internal::ValueError e(std::string(3000, 'x'));
    std::string text = corx_internal::formatUnhandled(e);
    EXPECT_LE(text.size(), corx_internal::kReportCapacity);
    EXPECT_EQ(text.find(std::string(3000, 'x')), std::string::npos);
    EXPECT_NE(text.find("Error: unhandled exception: "), std::string::npos);
    EXPECT_NE(text.find(" [ValueError]\n"), std::string::npos);
}

// The report needs no memory: with the heap exhausted (every further
// malloc fails) it is written whole, not turned into "out of memory".
TEST(Report, WrittenWholeWithTheHeapExhausted) {
    if (CORX_TEST_UNDER_ASAN) GTEST_SKIP() << "the address sanitizer reserves more than the limit";
    corx_internal::ValueError e("cholesky: matrix is not positive definite (pivot 1)");
    const std::string expected = corx_internal::formatUnhandled(e);
    auto outcome = runInChild([&] {
        corx_test::capAddressSpace(0);
        static void* volatile kept;  // the blocks escape: none may be optimised away
        // Every size class down to the smallest, each until malloc fails:
        // a free block kept for one class serves no other.
        for (std::size_t size = 4096; size > 0; size -= 8)
            for (void* p = std::malloc(size); p != nullptr; p = std::malloc(size)) kept = p;
        void* last = std::malloc(1);
        kept = last;
        if (last != nullptr) _exit(3);  // not exhausted: the case proves nothing
        corx_internal::reportUnhandled(e);
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.err, expected);
    EXPECT_EQ(lastLine(outcome.err),
              "Error: unhandled exception: cholesky: matrix is not positive definite (pivot 1) [ValueError]");
    EXPECT_EQ(outcome.out, "");
}

void failingInit() { throw corx_internal::ValueError("lnGeneric: input <= 0 (real log undefined)"); }
int gRan = 0;
void countingInit() { ++gRan; }

TEST(Startup, AnErrorEscapingAModuleEndsTheProcessWithTheReport) {
    const corx_internal::ModuleInit modules[] = {
        {countingInit, nullptr}, {failingInit, nullptr}, {countingInit, nullptr}};
    auto outcome = runInChild([&] {
        corx_internal::runStartup(modules);
        _exit(0);  // not reached
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(lastLine(outcome.err),
              "Error: unhandled exception: lnGeneric: input <= 0 (real log undefined) [ValueError]");
    EXPECT_EQ(outcome.out, "");
}

int gOrder[4];
int gOrderCount = 0;
void first() { gOrder[gOrderCount++] = 1; }
void second() { gOrder[gOrderCount++] = 2; }
void firstDown() { gOrder[gOrderCount++] = -1; }
void secondDown() { gOrder[gOrderCount++] = -2; }

TEST(Startup, ModulesRunInOrderAndTearDownInReverse) {
    const corx_internal::ModuleInit modules[] = {{first, firstDown}, {second, secondDown}};
    auto outcome = runInChild([&] {
        corx_internal::runStartup(modules);
        corx_internal::runTeardown(modules);
        bool ok = gOrderCount == 4 && gOrder[0] == 1 && gOrder[1] == 2 && gOrder[2] == -2 && gOrder[3] == -1;
        _exit(ok ? 0 : 2);
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0);
}

TEST(Startup, TeardownEntryIsSafeToCallTwice) {
    auto outcome = runInChild([] {
        corx_init();
        corxrt_teardown();
        corxrt_teardown();
        _exit(0);
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.err, "");
}

void expectOutOfMemory(const corx_test::ChildOutcome& outcome) {
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.err, "out of memory\n");
    EXPECT_EQ(outcome.out, "");
}

TEST(OutOfMemory, UnrepresentableSizesNeverWrap) {
    expectOutOfMemory(runInChild([] { corx_internal::checkedMul(std::size_t{1} << 40, std::size_t{1} << 40); }));
    // rows * cols fits 64 bits but the byte count does not.
    expectOutOfMemory(runInChild([] { corx_internal::initMatrix(std::int64_t{1} << 31, std::int64_t{1} << 31); }));
    expectOutOfMemory(runInChild([] { corx_internal::initMatrix(-1, 5); }));
    // The result size of a product is checked before anything is allocated:
    // two operands at the int32 limit give 2^62 elements.
    expectOutOfMemory(runInChild([] {
        corx_internal::Matrix a, b;
        a.rows = 2147483647;
        a.cols = 1;
        b.rows = 1;
        b.cols = 2147483647;
        corx_internal::Matrix r = a * b;
    }));
}

TEST(OutOfMemory, ExhaustionInsideAnExportedCall) {
    if (CORX_TEST_UNDER_ASAN) GTEST_SKIP() << "the address sanitizer reserves more than the limit";
    const rlim_t limit = rlim_t{512} << 20;  // 512 MiB of address space
    // 46340 x 46340 passes the size test: 17 GB of doubles.
    expectOutOfMemory(runInChild([] { corx_matrix_create(46340, 46340); }, limit));
    expectOutOfMemory(runInChild(
        [] {
            CorxMatrix row = corx_matrix_create(1, 40000);
            CorxMatrix col = corx_matrix_create(40000, 1);
            corx_matrix_mul(col, row);  // 1.6e9 elements
        },
        limit));
    expectOutOfMemory(runInChild(
        [] {
            CorxMatrix m = corx_matrix_create(1, 40000000);  // 320 MB
            corx_matrix_set(m, 0, 0, 1.0);
            corx_sparse_from_dense(m);  // operand read in place: fits
            corx_matrix_transpose(m);   // a second 320 MB does not
        },
        limit));
}

// Large blocks do not come from the C library's heap, even once the
// process has made its heap serve blocks of their size (here set directly;
// glibc does the same by itself after a large free): a QR repeated there
// fragmented the heap, which grew by the size of the blocks on every call.
// Freed blocks kept for reuse stay within their allowance.
TEST(LargeBlocks, RepeatedCallsStayBounded) {
    if (CORX_TEST_UNDER_ASAN) GTEST_SKIP() << "large blocks come from the sanitizer's allocator";
    auto outcome = runInChild([] {
        mallopt(M_MMAP_THRESHOLD, 64 << 20);
        constexpr std::int32_t n = 800;  // blocks of 5 MB
        CorxMatrix m = corx_matrix_create(n, n);
        for (std::int32_t i = 0; i < n; ++i)
            for (std::int32_t j = 0; j < n; ++j) corx_matrix_set(m, i, j, 1.0 / (1.0 + i + 2.0 * j) + (i == j));
        std::size_t firstHeap = 0;
        for (int call = 0; call < 8; ++call) {
            CorxMatrix q = nullptr, r = nullptr;
            if (corx_matrix_qr(m, &q, &r) != 0) std::_Exit(3);
            corx_matrix_destroy(q);
            corx_matrix_destroy(r);
            if (call == 0) firstHeap = mallinfo2().arena;
        }
        std::printf("%zu", (mallinfo2().arena - firstHeap) >> 20);
        std::fflush(stdout);
        if (mallinfo2().arena > firstHeap + (std::size_t{8} << 20)) std::_Exit(2);
        // Freed blocks are kept for reuse, but within a bound: forty
        // matrices of distinct sizes, 4 to 43 MiB, made and freed in turn
        // must not leave their 940 MiB mapped.
        const std::size_t before = corx_test::mappedBytes();
        for (std::int32_t mib = 4; mib < 44; ++mib) corx_matrix_destroy(corx_matrix_create(mib * 128, 1024));
        const std::size_t after = corx_test::mappedBytes();
        std::printf(" %zu", (after > before ? after - before : 0) >> 20);
        std::fflush(stdout);
        std::_Exit(after > before + (std::size_t{320} << 20) ? 4 : 0);
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_NE(outcome.exitCode, 2) << "the heap grew by " << outcome.out << " MiB over seven calls";
    EXPECT_NE(outcome.exitCode, 4) << "MiB grown (heap, then mappings): " << outcome.out;
    EXPECT_EQ(outcome.exitCode, 0);
}

// A freed block from 1 MiB is kept and serves the next request of its size
// without faulting its pages in again (a solve of order 500 takes blocks of
// 1.9 MiB; from the C library's heap, which trims what lies free at its
// top, they were faulted in afresh on every call).
TEST(LargeBlocks, MidSizedBlocksAreReusedWithoutFaults) {
    if (CORX_TEST_UNDER_ASAN) GTEST_SKIP() << "large blocks come from the sanitizer's allocator";
    auto outcome = runInChild([] {
        constexpr std::size_t bytes = 2000000;
        const auto touch = [](void* p) {
            asm volatile("" : : "r"(p) : "memory");
            std::memset(p, 1, bytes);
            asm volatile("" : : "r"(p) : "memory");
        };
        void* first = ::operator new(bytes);
        touch(first);
        ::operator delete(first);
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        void* again = ::operator new(bytes);
        touch(again);
        getrusage(RUSAGE_SELF, &after);
        ::operator delete(again);
        const long faults = after.ru_minflt - before.ru_minflt;
        std::printf("%ld", faults);
        std::fflush(stdout);
        std::_Exit(faults > 50 ? 2 : 0);  // afresh: some 490
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0) << "page faults touching a reused block: " << outcome.out;
}

// A handler that forks, run while a thread of the library is anywhere in
// its large-block path (taking a kept block, keeping a freed one), must
// neither stall that thread nor the child: the kept set takes no lock. The
// allocating thread is signalled again and again; each signal's handler
// forks a child that exits at once and waits for it. Both threads share
// one processor, so that a signal finds the allocating thread where it was
// last preempted (anywhere in its own code) rather than where it leaves a
// system call. An alarm bounds the whole run: a stall ends it with SIGALRM.
namespace forking {
std::atomic<int> handled{0};
std::atomic<bool> stop{false};
void forkAndReap(int) {
    const int saved = errno;
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    handled.fetch_add(1);
    errno = saved;
}
// The alarm: the run stalled. Reports how far it got and ends the child.
void stalled(int) {
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%d", handled.load());
    ssize_t ignored = ::write(STDOUT_FILENO, text, static_cast<std::size_t>(n));
    (void)ignored;
    ::_exit(9);
}
}  // namespace forking

TEST(LargeBlocks, ForkFromASignalHandlerNeverStalls) {
    if (CORX_TEST_UNDER_ASAN) GTEST_SKIP() << "large blocks come from the sanitizer's allocator";
    auto outcome = runInChild([] {
        ::signal(SIGALRM, forking::stalled);
        ::alarm(30);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu() >= 0 ? sched_getcpu() : 0, &one);
        ::sched_setaffinity(0, sizeof one, &one);
        struct sigaction action = {};
        action.sa_handler = forking::forkAndReap;
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGUSR1, &action, nullptr);
        std::thread allocating([] {
            // Mostly a kept block taken and kept again, now and then a
            // new size that evicts one.
            for (std::size_t round = 0; !forking::stop.load(); ++round) {
                void* a = ::operator new(std::size_t{6} << 20);
                ::operator delete(a);
                if (round % 64 == 0) ::operator delete(::operator new((std::size_t{8} + round / 64 % 24) << 20));
            }
        });
        constexpr int kSignals = 500;
        for (int i = 0; i < kSignals; ++i) {
            ::pthread_kill(allocating.native_handle(), SIGUSR1);
            while (forking::handled.load() <= i) std::this_thread::yield();
        }
        forking::stop.store(true);
        allocating.join();
        std::_Exit(0);
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_NE(outcome.exitCode, 9) << "stalled after " << outcome.out << " signals";
    EXPECT_EQ(outcome.exitCode, 0);
}

}  // namespace
