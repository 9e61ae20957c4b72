// SPDX-License-Identifier: BSD-3-Clause
// Several threads at once through the C interface: concurrent first calls
// of corx_init, every family on private handles, and shared handles read
// from all threads. Each thread's results must be bit-identical to the same
// work done on one thread. Then the library's own threads and a host's
// executor: results independent of the split, fork, exit and signals with
// the pool alive, calls from inside a task, and the settings. CI runs this
// test under ThreadSanitizer as well, where any data race is a failure.
#include <gtest/gtest.h>

#include <corx/corx.h>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <latch>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "support/child.h"

namespace {

// Run again by ThreadSettings.ReadFromTheEnvironment with this variable
// set: the program prints the thread count the library took from
// CORX_THREADS, before any test (or anything else) has used the library.
const bool gReportedThreads = [] {
    if (std::getenv("CORX_TEST_REPORT_THREADS") == nullptr) return false;
    std::printf("%d\n", corx_get_threads());
    std::fflush(stdout);
    std::_Exit(0);
}();

constexpr int kThreads = 4;
constexpr int kRounds = 6;

std::uint64_t bitsOf(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Collects the bits of every result; two runs of the same work must
// produce the same trace.
struct Trace {
    std::vector<std::uint64_t> bits;
    void add(double v) { bits.push_back(bitsOf(v)); }
    void add(std::int64_t v) { bits.push_back(static_cast<std::uint64_t>(v)); }
    void add(CorxMatrix m) {
        add(static_cast<std::int64_t>(corx_matrix_rows(m)));
        add(static_cast<std::int64_t>(corx_matrix_cols(m)));
        std::vector<double> out(static_cast<std::size_t>(corx_matrix_rows(m)) * corx_matrix_cols(m));
        add(static_cast<std::int64_t>(corx_matrix_get_buffer(m, out.data(), static_cast<std::int64_t>(out.size()))));
        for (double v : out) add(v);
    }
};

// A deterministic, well-conditioned n x n matrix that depends on seed.
std::vector<double> sample(int n, int seed) {
    std::vector<double> a(static_cast<std::size_t>(n) * n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            a[static_cast<std::size_t>(i * n + j)] = (i == j ? n + 1.0 : 0.0) + 1.0 / (1 + i + 2 * j + seed);
    return a;
}

// Read-only use of shared handles: operands only, never set or destroyed.
void readShared(CorxMatrix m, CorxSparse s, Trace& t) {
    const int n = corx_matrix_rows(m);
    t.add(corx_matrix_get(m, 1, 2));
    t.add(m);
    CorxMatrix p = corx_matrix_mul(m, m);
    t.add(p);
    CorxMatrix sum = corx_matrix_add(m, p);
    t.add(sum);
    CorxMatrix tr = corx_matrix_transpose(m);
    t.add(tr);
    t.add(static_cast<std::int64_t>(corx_matrix_almost_equal(m, tr, 1e-9)));
    int32_t ok = 0;
    t.add(corx_matrix_determinant(m, &ok));
    std::vector<double> b(static_cast<std::size_t>(n), 1.0), x(static_cast<std::size_t>(n));
    t.add(static_cast<std::int64_t>(corx_matrix_lu_solve(m, b.data(), n, x.data(), n, true)));
    for (double v : x) t.add(v);
    CorxMatrix q = nullptr, r = nullptr;
    t.add(static_cast<std::int64_t>(corx_matrix_qr(m, &q, &r)));
    t.add(q);
    t.add(r);
    CorxMatrix u = nullptr, v = nullptr;
    std::vector<double> sv(static_cast<std::size_t>(n));
    t.add(static_cast<std::int64_t>(corx_matrix_svd(m, &u, sv.data(), n, &v)));
    for (double e : sv) t.add(e);
    t.add(u);
    t.add(v);
    t.add(static_cast<std::int64_t>(corx_sparse_nnz(s)));
    t.add(static_cast<std::int64_t>(corx_sparse_matvec(s, b.data(), n, x.data(), n)));
    for (double e : x) t.add(e);
    CorxMatrix back = corx_sparse_to_dense(s);
    t.add(back);
    for (CorxMatrix h : {p, sum, tr, q, r, u, v, back}) corx_matrix_destroy(h);
}

// Every family on handles this call creates and releases itself.
void privateWork(int seed, Trace& t) {
    const int n = 6;
    const std::vector<double> a = sample(n, seed);
    CorxMatrix m = corx_matrix_create_from_buffer(n, n, a.data(), static_cast<std::int64_t>(a.size()));
    corx_matrix_set(m, 0, 0, 10.0 + seed);  // the handle is private: writing is allowed
    CorxMatrix mt = corx_matrix_transpose(m);
    CorxMatrix gram = corx_matrix_mul(m, mt);
    CorxMatrix l = corx_matrix_cholesky(gram);
    t.add(l);
    CorxMatrix scaled = corx_matrix_scale(m, 0.5);
    CorxMatrix diff = corx_matrix_sub(scaled, m);
    t.add(diff);
    CorxSparse s = corx_sparse_from_dense(m);
    readShared(m, s, t);
    corx_sparse_destroy(s);
    for (CorxMatrix h : {m, mt, gram, l, scaled, diff}) corx_matrix_destroy(h);

    const CorxVec3 p{1.0 + seed, 2.0, 3.0}, q{-1.0, 0.5, 4.0};
    const CorxVec3 c = corx_vec3_cross(p, q);
    t.add(c.x);
    t.add(corx_vec3_length(corx_vec3_normalize(p)));
    const CorxVec4 w = corx_vec4_scale(CorxVec4{1, 2, 3, 4.0 + seed}, 1.5);
    t.add(corx_vec4_dot(w, w));
    t.add(corx_vec2_cross2d(CorxVec2{1.0, seed + 0.25}, corx_vec2_perp(CorxVec2{3.0, 1.0})));
    std::uint64_t quo = 0, rem = 0;
    corvane_udiv128(static_cast<std::uint64_t>(seed), 12345, 1000003, &quo, &rem);
    t.add(static_cast<std::int64_t>(quo));
    t.add(static_cast<std::int64_t>(rem));
    t.add(static_cast<std::int64_t>(corvane_clz64(quo)));
    t.add(static_cast<std::int64_t>(std::strlen(corx_get_error_string(seed % 7))));
    t.add(static_cast<std::int64_t>(std::strlen(corx_version())));
}

// Runs body(thread index) on kThreads threads released together.
template <class Body>
void together(Body body) {
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k)
        threads.emplace_back([&, k] {
            start.arrive_and_wait();
            body(k);
        });
    for (auto& th : threads) th.join();
}

// Must be the first test of this program: nothing has called corx_init yet.
TEST(Threads, ConcurrentFirstInitRunsTheStartUpOnce) {
    std::atomic<int> ones{0};
    std::vector<Trace> traces(kThreads);
    together([&](int k) {
        if (k % 2 == 0) {
            ones += corx_init();
        } else {
            // Work that needs no start-up races the start-up.
            privateWork(k, traces[static_cast<std::size_t>(k)]);
            ones += corx_init();
        }
        corx_cleanup();
    });
    EXPECT_EQ(ones.load(), kThreads);
    Trace again;
    privateWork(1, again);
    EXPECT_EQ(traces[1].bits, again.bits);
    EXPECT_EQ(corx_init(), 1);
}

TEST(Threads, AllFamiliesOnPrivateHandles) {
    std::vector<Trace> expected(kThreads);
    for (int k = 0; k < kThreads; ++k)
        for (int round = 0; round < kRounds; ++round) privateWork(k + 10 * round, expected[static_cast<std::size_t>(k)]);
    std::vector<Trace> got(kThreads);
    together([&](int k) {
        for (int round = 0; round < kRounds; ++round) privateWork(k + 10 * round, got[static_cast<std::size_t>(k)]);
    });
    for (int k = 0; k < kThreads; ++k) {
        EXPECT_FALSE(got[static_cast<std::size_t>(k)].bits.empty());
        EXPECT_EQ(got[static_cast<std::size_t>(k)].bits, expected[static_cast<std::size_t>(k)].bits) << "thread " << k;
    }
}

TEST(Threads, SharedHandlesReadFromEveryThread) {
    const int n = 7;
    const std::vector<double> a = sample(n, 3);
    CorxMatrix m = corx_matrix_create_from_buffer(n, n, a.data(), static_cast<std::int64_t>(a.size()));
    CorxSparse s = corx_sparse_from_dense(m);
    ASSERT_NE(m, nullptr);
    ASSERT_NE(s, nullptr);
    Trace expected;
    readShared(m, s, expected);
    std::vector<Trace> got(kThreads);
    together([&](int k) {
        for (int round = 0; round < kRounds; ++round) {
            Trace t;
            readShared(m, s, t);
            if (round == 0) got[static_cast<std::size_t>(k)] = t;
            else if (t.bits != got[static_cast<std::size_t>(k)].bits) got[static_cast<std::size_t>(k)].bits.clear();
        }
    });
    for (int k = 0; k < kThreads; ++k) EXPECT_EQ(got[static_cast<std::size_t>(k)].bits, expected.bits) << "thread " << k;
    // The shared operands are unchanged by all of it.
    std::vector<double> out(a.size());
    ASSERT_EQ(corx_matrix_get_buffer(m, out.data(), static_cast<std::int64_t>(out.size())), n * n);
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(bitsOf(out[i]), bitsOf(a[i]));
    corx_sparse_destroy(s);
    corx_matrix_destroy(m);
}

// Large matrices (4 MB, past the size from which freed blocks are kept for
// reuse) made on one thread and destroyed on the next, while one thread
// gives the kept blocks back now and then: a block may pass between
// threads any number of times, and every result must still be exact.
TEST(Threads, LargeBlocksPassBetweenThreads) {
    constexpr std::int32_t rows = 1024, cols = 520;
    std::vector<double> a(static_cast<std::size_t>(rows) * cols);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = 1.0 + static_cast<double>(i % 977) / 64.0;
    std::atomic<CorxMatrix> handoff[kThreads] = {};
    std::atomic<int> wrong{0};
    together([&](int k) {
        for (int round = 0; round < kRounds; ++round) {
            CorxMatrix m = corx_matrix_create_from_buffer(rows, cols, a.data(), static_cast<std::int64_t>(a.size()));
            CorxMatrix t = corx_matrix_transpose(m);
            CorxMatrix twice = corx_matrix_scale(t, 2.0);
            corx_matrix_destroy(t);
            for (std::int32_t i = 0; i < rows; i += 97)
                for (std::int32_t j = 0; j < cols; j += 31)
                    if (bitsOf(corx_matrix_get(twice, j, i)) != bitsOf(2.0 * a[static_cast<std::size_t>(i) * cols + j]))
                        wrong.fetch_add(1);
            corx_matrix_destroy(twice);
            // m goes to the next thread; what the previous thread handed
            // this one is checked and destroyed here (and what the next
            // thread has not taken yet, too).
            CorxMatrix passed = handoff[k].exchange(nullptr);
            corx_matrix_destroy(handoff[(k + 1) % kThreads].exchange(m));
            if (passed != nullptr && bitsOf(corx_matrix_get(passed, rows - 1, cols - 1)) != bitsOf(a.back()))
                wrong.fetch_add(1);
            corx_matrix_destroy(passed);
            if (k == 0) corx_cleanup();
        }
    });
    for (std::atomic<CorxMatrix>& h : handoff) corx_matrix_destroy(h.load());
    EXPECT_EQ(wrong.load(), 0);
}

// ---- the library's threads and the host's executor ------------------------

// Puts the default settings back at the end of a test: one thread, no
// executor.
struct DefaultSettingsAfter {
    ~DefaultSettingsAfter() {
        corx_set_executor(nullptr, nullptr, 0);
        corx_set_threads(1);
    }
};

// A host parallel-for that runs every task on the calling thread, last
// first, counting the calls that reach it.
std::atomic<long> gReverseCalls{0};
void reverseExecutor(void*, std::int64_t count, CorxTask task, void* data) {
    gReverseCalls.fetch_add(1);
    for (std::int64_t i = count - 1; i >= 0; --i) task(data, i);
}

// A host parallel-for that runs each task on a thread made for it.
void freshThreadsExecutor(void* calls, std::int64_t count, CorxTask task, void* data) {
    static_cast<std::atomic<long>*>(calls)->fetch_add(1);
    std::vector<std::thread> threads;
    for (std::int64_t i = 0; i < count; ++i) threads.emplace_back(task, data, i);
    for (auto& th : threads) th.join();
}

// Threads of this process now.
int processThreads() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// The bits of a result, every NaN counted as one (a NaN's payload is not
// part of the contract).
void addCanonical(Trace& t, CorxMatrix m) {
    ASSERT_NE(m, nullptr);
    const Trace raw = [&] {
        Trace r;
        r.add(m);
        return r;
    }();
    for (std::uint64_t b : raw.bits) {
        double v;
        std::memcpy(&v, &b, sizeof v);
        t.add(std::isnan(v) ? std::numeric_limits<double>::quiet_NaN() : v);
    }
}

CorxMatrix fromBuffer(std::int32_t rows, std::int32_t cols, const std::vector<double>& a) {
    return corx_matrix_create_from_buffer(rows, cols, a.data(), static_cast<std::int64_t>(a.size()));
}

// A rows x cols matrix of mixed signs and magnitudes from a seed; with
// `special`, NaN, infinities, -0.0 and subnormals are strewn in.
std::vector<double> mixed(std::int32_t rows, std::int32_t cols, std::uint64_t seed, bool special) {
    std::vector<double> a(static_cast<std::size_t>(rows) * cols);
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        a[i] = static_cast<double>(static_cast<std::int64_t>(x % 2001) - 1000) / 64.0;
        if (!special) continue;
        switch (x >> 56) {
            case 0: a[i] = std::numeric_limits<double>::quiet_NaN(); break;
            case 1: a[i] = std::numeric_limits<double>::infinity(); break;
            case 2: a[i] = -std::numeric_limits<double>::infinity(); break;
            case 3: a[i] = -0.0; break;
            case 4: case 5: a[i] = std::numeric_limits<double>::denorm_min() * static_cast<double>(x % 4096); break;
            default: break;
        }
    }
    return a;
}

// The mid-size work that splits without CORX_SPLIT_SMALL: a 300 x 300
// product (with special values), refined LU solves of order 300 and 700,
// Cholesky of order 300, QR of a 300 x 200 matrix with Q, and a sparse
// product with about 300000 non-zeros (and special values in x).
Trace midSizeWork() {
    Trace t;
    const std::int32_t n = 300;
    CorxMatrix a = fromBuffer(n, n, mixed(n, n, 1, true));
    CorxMatrix b = fromBuffer(n, n, mixed(n, n, 2, false));
    CorxMatrix p = corx_matrix_mul(a, b);
    addCanonical(t, p);
    CorxMatrix q = corx_matrix_mul(b, b);
    addCanonical(t, q);

    std::vector<double> well = mixed(n, n, 3, false);
    for (std::int32_t i = 0; i < n; ++i) well[static_cast<std::size_t>(i) * (n + 1)] += 20000.0;
    well[5] = std::numeric_limits<double>::denorm_min();
    well[7] = -0.0;
    CorxMatrix w = fromBuffer(n, n, well);
    std::vector<double> rhs = mixed(1, n, 4, false), x(static_cast<std::size_t>(n));
    rhs[9] = 4.9e-322;
    t.add(static_cast<std::int64_t>(corx_matrix_lu_solve(w, rhs.data(), n, x.data(), n, true)));
    for (double v : x) t.add(v);
    // Order 700: its forward substitutions split too.
    const std::int32_t big = 700;
    std::vector<double> wide = mixed(big, big, 8, false);
    for (std::int32_t i = 0; i < big; ++i) wide[static_cast<std::size_t>(i) * (big + 1)] += 50000.0;
    CorxMatrix wb = fromBuffer(big, big, wide);
    std::vector<double> rhsBig = mixed(1, big, 9, false), xBig(static_cast<std::size_t>(big));
    rhsBig[3] = -0.0;
    rhsBig[11] = std::numeric_limits<double>::denorm_min();
    t.add(static_cast<std::int64_t>(corx_matrix_lu_solve(wb, rhsBig.data(), big, xBig.data(), big, true)));
    for (double v : xBig) t.add(v);
    corx_matrix_destroy(wb);

    // The Gram matrix of b plus n on the diagonal: symmetric positive definite.
    CorxMatrix bt = corx_matrix_transpose(b);
    CorxMatrix gram = corx_matrix_mul(bt, b);
    std::vector<double> g(static_cast<std::size_t>(n) * n);
    corx_matrix_get_buffer(gram, g.data(), static_cast<std::int64_t>(g.size()));
    for (std::int32_t i = 0; i < n; ++i) g[static_cast<std::size_t>(i) * (n + 1)] += n;
    CorxMatrix spd = fromBuffer(n, n, g);
    CorxMatrix l = corx_matrix_cholesky(spd);
    addCanonical(t, l);

    CorxMatrix tall = fromBuffer(n, 200, mixed(n, 200, 5, false));
    CorxMatrix qq = nullptr, rr = nullptr;
    t.add(static_cast<std::int64_t>(corx_matrix_qr(tall, &qq, &rr)));
    addCanonical(t, qq);
    addCanonical(t, rr);

    // 1000 x 1000 with about 30% non-zeros.
    const std::int32_t sn = 1000;
    std::vector<double> dense = mixed(sn, sn, 6, false);
    for (std::size_t i = 0; i < dense.size(); ++i)
        if ((i * 7919) % 10 >= 3) dense[i] = 0.0;
    CorxMatrix dm = fromBuffer(sn, sn, dense);
    CorxSparse s = corx_sparse_from_dense(dm);
    t.add(static_cast<std::int64_t>(corx_sparse_nnz(s)));
    std::vector<double> sx = mixed(1, sn, 7, true), sy(static_cast<std::size_t>(sn));
    t.add(static_cast<std::int64_t>(corx_sparse_matvec(s, sx.data(), sn, sy.data(), sn)));
    for (double v : sy) t.add(std::isnan(v) ? std::numeric_limits<double>::quiet_NaN() : v);
    corx_sparse_destroy(s);
    for (CorxMatrix h : {a, b, p, q, w, bt, gram, spd, l, tall, qq, rr, dm}) corx_matrix_destroy(h);
    return t;
}

TEST(ThreadsSplit, MidSizeResultsDoNotDependOnTheSplit) {
    const DefaultSettingsAfter restore;
    ASSERT_EQ(corx_set_threads(1), 1);
    const Trace one = midSizeWork();
    ASSERT_GT(one.bits.size(), 300000u);
    for (std::int32_t n : {2, 3, 8}) {
        ASSERT_EQ(corx_set_threads(n), n);
        EXPECT_EQ(midSizeWork().bits, one.bits) << n << " threads";
        // The pool was used: its n - 1 workers are running.
        if (n == 8) EXPECT_GE(processThreads(), 8);
    }
    ASSERT_EQ(corx_set_threads(1), 1);
    gReverseCalls = 0;
    ASSERT_EQ(corx_set_executor(reverseExecutor, nullptr, 3), 0);
    EXPECT_EQ(midSizeWork().bits, one.bits) << "reverse executor";
    EXPECT_GE(gReverseCalls.load(), 5) << "every family should have split";
}

// The child of a fork starts a pool of its own; the parent's keeps working.
TEST(ThreadsSplit, ForkWhileThePoolExists) {
    const DefaultSettingsAfter restore;
    const std::int32_t n = 300;
    CorxMatrix a = fromBuffer(n, n, mixed(n, n, 11, false));
    ASSERT_EQ(corx_set_threads(1), 1);
    Trace expected;
    CorxMatrix p1 = corx_matrix_mul(a, a);
    expected.add(p1);
    ASSERT_EQ(corx_set_threads(3), 3);
    CorxMatrix p3 = corx_matrix_mul(a, a);  // starts the pool
    Trace parent;
    parent.add(p3);
    EXPECT_EQ(parent.bits, expected.bits);
    const auto outcome = corx_test::runInChild([&] {
        alarm(20);  // a child stalled on the parent's pool ends by SIGALRM
        Trace child;
        CorxMatrix p = corx_matrix_mul(a, a);
        child.add(p);
        corx_matrix_destroy(p);
        std::_Exit(child.bits == expected.bits ? 0 : 2);
    });
    EXPECT_TRUE(outcome.exited) << "signal " << outcome.signal;
    EXPECT_EQ(outcome.exitCode, 0) << "2: the child's product differs; " << outcome.err;
    CorxMatrix again = corx_matrix_mul(a, a);
    Trace after;
    after.add(again);
    EXPECT_EQ(after.bits, expected.bits);
    for (CorxMatrix h : {a, p1, p3, again}) corx_matrix_destroy(h);
}

// exit() with the workers alive, still spinning after the last split: the
// process ends at once, by the ordinary path (static destructors, atexit).
TEST(ThreadsSplit, TheProcessExitsWithThePoolAlive) {
    const auto start = std::chrono::steady_clock::now();
    const auto outcome = corx_test::runInChild([] {
        alarm(20);
        corx_set_threads(4);
        const std::int32_t n = 300;
        CorxMatrix a = fromBuffer(n, n, mixed(n, n, 12, false));
        CorxMatrix p = corx_matrix_mul(a, a);
        std::printf("%d\n", p != nullptr && processThreads() >= 4);
        corx_matrix_destroy(p);
        corx_matrix_destroy(a);
        std::exit(0);
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(outcome.exited) << "signal " << outcome.signal;
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "1\n") << "the product did not start the pool";
    EXPECT_LT(seconds, 5.0);
}

std::atomic<int> gUsr1Count{0};
std::atomic<pthread_t> gUsr1Thread{};
void onUsr1(int) {
    gUsr1Thread.store(pthread_self());
    gUsr1Count.fetch_add(1);
}

// A signal for the process is pending while the only thread of the host's
// that accepts it has it blocked: the pool's threads, which block every
// signal, must leave it pending, and it is handled on the host's thread
// once that unblocks it.
TEST(ThreadsSplit, ThePoolNeverHandlesASignal) {
    const DefaultSettingsAfter restore;
    struct sigaction action {}, previous{};
    action.sa_handler = onUsr1;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    const std::int32_t n = 300;
    CorxMatrix a = fromBuffer(n, n, mixed(n, n, 13, false));
    ASSERT_EQ(corx_set_threads(3), 3);
    corx_matrix_destroy(corx_matrix_mul(a, a));  // the pool is up
    ASSERT_GE(processThreads(), 3);
    sigset_t usr1, old;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, &old), 0);
    gUsr1Count = 0;
    ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
    // The workers spin, run tasks and go to sleep meanwhile.
    for (int round = 0; round < 3; ++round) {
        corx_matrix_destroy(corx_matrix_mul(a, a));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    EXPECT_EQ(gUsr1Count.load(), 0) << "a pool thread handled the signal";
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &old, nullptr), 0);
    for (int i = 0; i < 100 && gUsr1Count.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(gUsr1Count.load(), 1);
    EXPECT_TRUE(pthread_equal(gUsr1Thread.load(), pthread_self()));
    sigaction(SIGUSR1, &previous, nullptr);
    corx_matrix_destroy(a);
}

struct HostWork {
    CorxMatrix a;
    std::vector<Trace> results;
};

// The host runs its own work through its executor, and that work calls the
// library, which splits through the same executor from inside the task.
TEST(ThreadsSplit, CallsFromInsideAnExecutorTask) {
    const DefaultSettingsAfter restore;
    const std::int32_t n = 300;
    HostWork work{fromBuffer(n, n, mixed(n, n, 14, true)), std::vector<Trace>(4)};
    Trace expected;
    CorxMatrix p = corx_matrix_mul(work.a, work.a);
    addCanonical(expected, p);
    corx_matrix_destroy(p);
    std::atomic<long> calls{0};
    ASSERT_EQ(corx_set_executor(freshThreadsExecutor, &calls, 3), 0);
    freshThreadsExecutor(
        &calls, 4,
        [](void* data, std::int64_t i) {
            auto* w = static_cast<HostWork*>(data);
            CorxMatrix r = corx_matrix_mul(w->a, w->a);
            addCanonical(w->results[static_cast<std::size_t>(i)], r);
            corx_matrix_destroy(r);
        },
        &work);
    EXPECT_GE(calls.load(), 5) << "the calls inside the tasks did not split";
    for (const Trace& t : work.results) EXPECT_EQ(t.bits, expected.bits);
    corx_matrix_destroy(work.a);
}

// Eight host threads at once, with two threads per call: one call has the
// pool, the others compute on their own threads; all are exact.
TEST(ThreadsSplit, ManyHostThreadsShareThePool) {
    const DefaultSettingsAfter restore;
    constexpr int kHosts = 8;
    const std::int32_t n = 240;
    std::vector<CorxMatrix> a(kHosts);
    std::vector<Trace> expected(kHosts), got(kHosts);
    for (int k = 0; k < kHosts; ++k) {
        a[static_cast<std::size_t>(k)] = fromBuffer(n, n, mixed(n, n, 20 + static_cast<std::uint64_t>(k), k % 2 == 0));
        CorxMatrix p = corx_matrix_mul(a[static_cast<std::size_t>(k)], a[static_cast<std::size_t>(k)]);
        addCanonical(expected[static_cast<std::size_t>(k)], p);
        corx_matrix_destroy(p);
    }
    ASSERT_EQ(corx_set_threads(2), 2);
    std::latch start(kHosts);
    std::vector<std::thread> hosts;
    for (int k = 0; k < kHosts; ++k)
        hosts.emplace_back([&, k] {
            start.arrive_and_wait();
            const auto i = static_cast<std::size_t>(k);
            for (int round = 0; round < 3; ++round) {
                CorxMatrix p = corx_matrix_mul(a[i], a[i]);
                Trace t;
                addCanonical(t, p);
                corx_matrix_destroy(p);
                if (round == 0) got[i] = t;
                else if (t.bits != got[i].bits) got[i].bits.clear();
            }
        });
    for (auto& h : hosts) h.join();
    for (int k = 0; k < kHosts; ++k)
        EXPECT_EQ(got[static_cast<std::size_t>(k)].bits, expected[static_cast<std::size_t>(k)].bits) << "host " << k;
    for (CorxMatrix m : a) corx_matrix_destroy(m);
}

TEST(ThreadSettings, RangesAndRefusals) {
    const DefaultSettingsAfter restore;
    ASSERT_EQ(corx_set_threads(3), 3);
    EXPECT_EQ(corx_set_threads(-1), -1);
    EXPECT_EQ(corx_set_threads(std::numeric_limits<std::int32_t>::min()), -1);
    EXPECT_EQ(corx_get_threads(), 3);
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    const int processors = std::min(CPU_COUNT(&set), 256);
    EXPECT_EQ(corx_set_threads(0), processors);
    EXPECT_EQ(corx_get_threads(), processors);
    EXPECT_EQ(corx_set_threads(100000), 256);
    EXPECT_EQ(corx_get_threads(), 256);
    EXPECT_EQ(corx_set_threads(2), 2);
    // An executor with no width is refused and changes nothing: the calls
    // still split on the library's two threads, never through it.
    gReverseCalls = 0;
    EXPECT_EQ(corx_set_executor(reverseExecutor, nullptr, 0), -1);
    EXPECT_EQ(corx_set_executor(reverseExecutor, nullptr, -4), -1);
    const std::int32_t n = 300;
    CorxMatrix a = fromBuffer(n, n, mixed(n, n, 30, false));
    corx_matrix_destroy(corx_matrix_mul(a, a));
    EXPECT_EQ(gReverseCalls.load(), 0);
    // Set, it takes the place of the threads, which are kept for later.
    EXPECT_EQ(corx_set_executor(reverseExecutor, nullptr, 2), 0);
    corx_matrix_destroy(corx_matrix_mul(a, a));
    EXPECT_EQ(gReverseCalls.load(), 1);
    EXPECT_EQ(corx_get_threads(), 2);
    EXPECT_EQ(corx_set_executor(nullptr, nullptr, 0), 0);
    corx_matrix_destroy(corx_matrix_mul(a, a));
    EXPECT_EQ(gReverseCalls.load(), 1);
    corx_matrix_destroy(a);
}

// CORX_THREADS, read by a fresh run of this program (see gReportedThreads).
TEST(ThreadSettings, ReadFromTheEnvironment) {
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    const std::string processors = std::to_string(std::min(CPU_COUNT(&set), 256));
    const std::pair<const char*, std::string> cases[] = {
        {"5", "5"}, {"0", processors}, {"999", "256"}, {"", "1"}, {"-2", "1"}, {"3x", "1"}, {"two", "1"}};
    // The program's own path (under valgrind /proc/self/exe names the tool).
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    self[length] = '\0';
    for (const auto& [value, want] : cases) {
        const auto outcome = corx_test::runProgram({self}, {"CORX_TEST_REPORT_THREADS=1",
                                                            std::string("CORX_THREADS=") + value});
        EXPECT_EQ(outcome.exitCode, 0) << value;
        EXPECT_EQ(outcome.out, want + "\n") << "CORX_THREADS=" << value;
    }
}

}  // namespace
