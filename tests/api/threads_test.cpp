// SPDX-License-Identifier: BSD-3-Clause
// Several threads at once through the C interface: concurrent first calls
// of corx_init, every family on private handles, and shared handles read
// from all threads. Each thread's results must be bit-identical to the same
// work done on one thread. CI runs this test under ThreadSanitizer as well,
// where any data race is a failure.
#include <gtest/gtest.h>

#include <corx/corx.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <latch>
#include <thread>
#include <vector>

namespace {

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

}  // namespace
