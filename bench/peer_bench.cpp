// SPDX-License-Identifier: BSD-3-Clause
// corx against its peers in one process: the dense product, LU solve (with
// and without refinement), Cholesky, QR with Q, the Jacobi SVD and the
// sparse product, through corx's C interface (handles, copies and all).
// Each case reports the median of several repetitions, corx's and its
// peers' taken in turn; "speed" is peer time / corx time, so 1.0 means as
// fast as the peer, and (+x%) after a time is the spread: slowest over
// fastest repetition. "fastest" beside it is the same ratio of the fastest
// repetitions: on a shared machine a slow spell only ever adds time, and
// it adds more to a run on two cores, which waits for the slower of them,
// than to a run on one.
//
//   corx_peer_bench [--quick] [--csv FILE] [--only CASE[,CASE...]]
//                   [--threads T[,T...]]
//   (cases: product, lu, cholesky, qr, svd, sparse, small; they run in this
//   order)
//
// --threads runs every case at each thread count (default 1): corx with
// corx_set_threads(T), OpenBLAS and LAPACKE with openblas_set_num_threads(T).
// The dense cases take their repetitions at every count in turn, so that
// the one-thread and T-thread times of a case come from the same minutes.
// Eigen and GSL are single-threaded builds and run at 1 thread only. The
// 1-thread run is always made: for every further count the program prints
// corx's speed-up over its own 1-thread time and whether its result is
// bit-identical to the 1-thread result. "small" times corx_matrix_mul and
// corx_matrix_lu_solve at n = 2, 8 and 32 over many calls, at each count:
// the cost of the thread machinery on calls too small to split.
//
// OpenBLAS picks its kernels and sizes its thread pool when it is loaded,
// from OPENBLAS_CORETYPE and OPENBLAS_NUM_THREADS; the program sets them to
// the best core this processor supports and the largest thread count asked
// for, and re-executes itself before any peer code runs.
#include <corx/corx.h>
#include <cblas.h>
#include <dlfcn.h>
#include <lapacke.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "no_fma_peak.h"
#include "peer_eigen.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

volatile double sink;

// The median of several timed repetitions, with the fastest and slowest
// (the spread shows how much a shared machine disturbed the run).
struct Timing {
    double median;
    double lo;
    double hi;
    operator double() const { return median; }
};

Timing timingOf(const std::vector<double>& t) {
    return {median(t), *std::min_element(t.begin(), t.end()), *std::max_element(t.begin(), t.end())};
}

Timing timeMedian(int reps, const std::function<void()>& f) {
    std::vector<double> t;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = Clock::now();
        f();
        t.push_back(seconds(t0));
    }
    return timingOf(t);
}

// Seconds one call of f takes.
double timed(const std::function<void()>& f) {
    const auto t0 = Clock::now();
    f();
    return seconds(t0);
}

// `reps` rounds of every function in turn, each round starting one further
// along, so that all sides' repetitions fall in the same minutes of this
// shared machine's drifting speed (timed one after the other, a slow spell
// could land on one side only). Each function returns its own time.
std::vector<Timing> timeInTurn(int reps, const std::vector<std::function<double()>>& fs) {
    const std::size_t k = fs.size();
    std::vector<std::vector<double>> t(k);
    for (int r = 0; r < reps; ++r)
        for (std::size_t i = 0; i < k; ++i) {
            const std::size_t f = (static_cast<std::size_t>(r) + i) % k;
            t[f].push_back(fs[f]());
        }
    std::vector<Timing> out;
    for (const auto& samples : t) out.push_back(timingOf(samples));
    return out;
}

// The thread counts of this run, ascending, 1 first; and the one the case
// being measured runs at.
std::vector<int> threadCounts{1};
int threads = 1;

struct Row {
    std::string name;
    int threads;
    Timing corx;
    std::string peer;
    Timing peerTime;
    std::string bits;  // "same" or "DIFFER" against 1 thread; empty at 1 thread
};
std::vector<Row> rows;

// Spread of a timing: slowest over fastest repetition, minus one, in %.
double spread(const Timing& t) { return t.lo > 0.0 ? 100.0 * (t.hi / t.lo - 1.0) : 0.0; }

void printRow(const std::string& name, int t, const Timing& corxTime, const std::string& peer,
              const Timing& peerTime) {
    std::printf("%-28s %2d thr  corx %10.4f ms (+%4.1f%%)   %-22s %10.4f ms (+%4.1f%%)   speed %6.3f (fastest %6.3f)\n",
                name.c_str(), t, corxTime * 1e3, spread(corxTime), peer.c_str(), peerTime * 1e3, spread(peerTime),
                peerTime / corxTime, peerTime.lo / corxTime.lo);
}

// The printed rows, kept (with their spreads) for the tables by thread
// count at the end.
struct Printed {
    std::string name;
    int threads;
    Timing corx;
    std::string peer;
    Timing peerTime;
};
std::vector<Printed> printed;

void report(const std::string& name, const Timing& corxTime, const std::string& peer, const Timing& peerTime) {
    rows.push_back({name, threads, corxTime, peer, peerTime, ""});
    printed.push_back({name, threads, corxTime, peer, peerTime});
    printRow(name, threads, corxTime, peer, peerTime);
    std::fflush(stdout);
}

// --- corx at several thread counts ----------------------------------------

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// corx's time and result of each case at 1 thread, against which the other
// counts are measured.
struct OneThread {
    Timing seconds;
    std::vector<double> result;
};
std::map<std::string, OneThread> oneThread;

struct Scaling {
    std::string name;
    int threads;
    Timing one;
    Timing many;
    bool same;
    bool small;  // a small-calls case: reported as time / 1-thread time
};
std::vector<Scaling> scalings;

std::string scalingLine(const Scaling& s) {
    char line[256];
    if (s.small) {
        std::snprintf(line, sizeof line,
                      "%-28s %2d thr  corx %8.1f ns/call, 1 thread %8.1f ns/call: time / 1-thread time %5.3f (fastest %5.3f)   bits: %s",
                      s.name.c_str(), s.threads, s.many * 1e9, s.one * 1e9, s.many / s.one, s.many.lo / s.one.lo,
                      s.same ? "same" : "DIFFER");
        return line;
    }
    std::snprintf(line, sizeof line,
                  "%-28s %2d thr  corx %10.4f ms, 1 thread %10.4f ms: speed-up %5.2f (fastest %5.2f)   bits: %s",
                  s.name.c_str(), s.threads, s.many * 1e3, s.one * 1e3, s.one / s.many, s.one.lo / s.many.lo,
                  s.same ? "same" : "DIFFER");
    return line;
}

// Records corx's median time and result for a case at the current thread
// count; beyond 1 thread, prints the speed-up and the bit comparison, and
// marks the case's rows at this count with it.
void corxResult(const std::string& name, const Timing& seconds, std::vector<double> result) {
    if (threads == 1) {
        oneThread[name] = {seconds, std::move(result)};
        return;
    }
    const auto it = oneThread.find(name);
    if (it == oneThread.end()) return;
    const Scaling s{name, threads, it->second.seconds, seconds, sameBits(it->second.result, result), false};
    scalings.push_back(s);
    for (Row& row : rows)
        if (row.name == name && row.threads == threads) row.bits = s.same ? "same" : "DIFFER";
    rows.push_back({name, threads, seconds, "corx 1 thread", s.one, s.same ? "same" : "DIFFER"});
    std::printf("%s\n", scalingLine(s).c_str());
    std::fflush(stdout);
}

// Sets corx's and OpenBLAS's thread count for the next measurements.
void useThreads(int t) {
    threads = t;
    const int32_t got = corx_set_threads(t);
    if (got != t) std::printf("corx_set_threads(%d) gives %d threads\n", t, got);
    openblas_set_num_threads(t);
}

using Calls = std::vector<std::function<double()>>;

// The functions make() gives at each thread count (made at that count),
// all timed in turn, each call at its own count: corx's and the peers'
// calls at 1 thread and at T threads then share the same minutes of the
// machine, and so do the speed-ups taken from them. Then, at each count,
// report() gets that count's timings, in make()'s order.
void timeAtEachThreadCount(int reps, const std::function<Calls()>& make,
                           const std::function<void(const std::vector<Timing>&)>& report) {
    Calls all;
    std::vector<std::size_t> first;
    for (int t : threadCounts) {
        useThreads(t);
        first.push_back(all.size());
        for (std::function<double()>& f : make())
            all.push_back([t, f = std::move(f)] {
                useThreads(t);
                return f();
            });
    }
    first.push_back(all.size());
    const std::vector<Timing> timings = timeInTurn(reps, all);
    for (std::size_t i = 0; i < threadCounts.size(); ++i) {
        useThreads(threadCounts[i]);
        report(std::vector<Timing>(timings.begin() + static_cast<std::ptrdiff_t>(first[i]),
                                   timings.begin() + static_cast<std::ptrdiff_t>(first[i + 1])));
    }
    useThreads(1);
}

// Runs `body` once per thread count, at that count.
void atEachThreadCount(const std::function<void()>& body) {
    for (int t : threadCounts) {
        useThreads(t);
        body();
    }
    useThreads(1);
}

std::vector<double> bufferOf(CorxMatrix m) {
    std::vector<double> out(static_cast<std::size_t>(corx_matrix_rows(m)) * corx_matrix_cols(m));
    corx_matrix_get_buffer(m, out.data(), static_cast<int64_t>(out.size()));
    return out;
}

void append(std::vector<double>& to, const std::vector<double>& v) { to.insert(to.end(), v.begin(), v.end()); }

std::vector<double> randomValues(std::mt19937_64& rng, std::size_t n) {
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = d(rng);
    return v;
}

CorxMatrix handleOf(const std::vector<double>& rowMajor, int rows, int cols) {
    return corx_matrix_create_from_buffer(rows, cols, rowMajor.data(), static_cast<int64_t>(rowMajor.size()));
}

// --- machine limits -----------------------------------------------------

// One sample of the separate multiply and add rate, FLOP/s (0 without AVX2).
double mulAddPeakSample() { return bench::mulAddPeakSample(20000000); }

double mulAddPeak() {
    double best = 0;
    for (int r = 0; r < 7; ++r) best = std::max(best, mulAddPeakSample());
    return best;
}

// Samples of the separate and the fused rate taken in turn, a fraction of a
// second each; prints the range of each and the median of fused / separate.
// On a core of its own the two are about equal (multiplies and adds go to
// separate pipes); a lower separate rate beside a steady fused one shows
// that the no-FMA peak itself is disturbed, not only our kernels.
void reportFusedBeside() {
    std::vector<double> sep, fused, ratio;
    for (int r = 0; r < 15; ++r) {
        sep.push_back(mulAddPeakSample());
        fused.push_back(bench::fmaPeakSample(20000000));
        if (sep.back() > 0) ratio.push_back(fused.back() / sep.back());
    }
    if (ratio.empty() || fused[0] == 0) return;
    std::sort(sep.begin(), sep.end());
    std::sort(fused.begin(), fused.end());
    std::sort(ratio.begin(), ratio.end());
    std::printf("in turn, 15 samples each: no-FMA %.1f to %.1f GFLOP/s, FMA %.1f to %.1f GFLOP/s; "
                "FMA / no-FMA median %.2f (%.2f to %.2f)\n",
                sep.front() / 1e9, sep.back() / 1e9, fused.front() / 1e9, fused.back() / 1e9,
                ratio[ratio.size() / 2], ratio.front(), ratio.back());
}

// a[i] = b[i] + s*c[i] over `bytes` bytes in all: bytes per second, best of
// several passes.
double triadBandwidth(std::size_t bytes) {
    const std::size_t n = bytes / 24;
    std::vector<double> a(n, 0.0), b(n, 1.0), c(n, 2.0);
    const double s = 0.5;
    double best = 0;
    for (int r = 0; r < 50; ++r) {
        const auto t0 = Clock::now();
        double* __restrict pa = a.data();
        const double* __restrict pb = b.data();
        const double* __restrict pc = c.data();
        for (std::size_t i = 0; i < n; ++i) pa[i] = pb[i] + s * pc[i];
        best = std::max(best, 24.0 * static_cast<double>(n) / seconds(t0));
        sink = a[r % n];
    }
    return best;
}

// --- GSL's own CBLAS, loaded privately so OpenBLAS's cblas_dgemm cannot
// stand in for it ---------------------------------------------------------
using DgemmFn = void (*)(int, int, int, int, int, int, double, const double*, int, const double*, int, double,
                         double*, int);

DgemmFn gslDgemm() {
    void* h = dlopen("libgslcblas.so.0", RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
    if (h == nullptr) return nullptr;
    return reinterpret_cast<DgemmFn>(dlsym(h, "cblas_dgemm"));
}

// --- cases ---------------------------------------------------------------

void benchProduct(int n, int reps, double peak) {
    std::mt19937_64 rng(n);
    const auto a = randomValues(rng, static_cast<std::size_t>(n) * n);
    const auto b = randomValues(rng, static_cast<std::size_t>(n) * n);
    CorxMatrix ha = handleOf(a, n, n), hb = handleOf(b, n, n);
    const std::string name = "product n=" + std::to_string(n);
    // Each repetition is followed by one sample of the peak: this shared
    // VM changes speed from minute to minute, so the share of the peak
    // is the median over repetitions of the product's rate over the peak
    // measured right after it (one core's peak times the thread count).
    // dgemm's share is taken the same way: the measure of what this
    // machine lets a tuned FMA kernel reach.
    std::map<int, std::vector<double>> sharesAt, peerSharesAt;
    std::vector<double> c(static_cast<std::size_t>(n) * n);
    const auto make = [&] {
        std::vector<double>& shares = sharesAt[threads];
        std::vector<double>& peerShares = peerSharesAt[threads];
        Calls fs{[&, t = threads] {
                     const double s = timed([&] {
                         CorxMatrix p = corx_matrix_mul(ha, hb);
                         sink = corx_matrix_get(p, n - 1, n - 1);
                         corx_matrix_destroy(p);
                     });
                     shares.push_back(2.0 * n * n * n / s / (t * mulAddPeakSample()));
                     return s;
                 },
                 [&, t = threads] {
                     const double s = timed([&] {
                         cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, 1.0, a.data(), n, b.data(),
                                     n, 0.0, c.data(), n);
                         sink = c.back();
                     });
                     peerShares.push_back(2.0 * n * n * n / s / (t * mulAddPeakSample()));
                     return s;
                 }};
        if (threads == 1) fs.push_back([&] { return timed([&] { sink = eigen_peer::product(a, b, n); }); });
        return fs;
    };
    timeAtEachThreadCount(reps, make, [&](const std::vector<Timing>& t) {
        const std::vector<double>& shares = sharesAt[threads];
        const std::vector<double>& peerShares = peerSharesAt[threads];
        const Timing& tc = t[0];
        report(name, tc, "OpenBLAS dgemm", t[1]);
        if (threads == 1) {
            report(name, tc, "Eigen", t[2]);
            if (DgemmFn g = gslDgemm())
                report(name, tc, "GSL CBLAS dgemm", timeMedian(n > 1024 ? 1 : 3, [&] {
                           g(101, 111, 111, n, n, n, 1.0, a.data(), n, b.data(), n, 0.0, c.data(), n);
                           sink = c.back();
                       }));
        }
        const double gflops = 2.0 * n * n * n / tc / 1e9;
        std::printf("%-28s %2d thr  corx %.1f GFLOP/s = %.1f%% of %d x the %.1f GFLOP/s no-FMA peak of one core at "
                    "the start; %.1f%% of the peak measured after each repetition (median; %.1f%% to %.1f%%)\n",
                    name.c_str(), threads, gflops, 100.0 * gflops * 1e9 / (threads * peak), threads, peak / 1e9,
                    100.0 * median(shares), 100.0 * *std::min_element(shares.begin(), shares.end()),
                    100.0 * *std::max_element(shares.begin(), shares.end()));
        std::printf("%-28s %2d thr  OpenBLAS dgemm, the same way: %.1f%% (median; %.1f%% to %.1f%%)\n", name.c_str(),
                    threads, 100.0 * median(peerShares),
                    100.0 * *std::min_element(peerShares.begin(), peerShares.end()),
                    100.0 * *std::max_element(peerShares.begin(), peerShares.end()));
        CorxMatrix p = corx_matrix_mul(ha, hb);
        corxResult(name, tc, bufferOf(p));
        corx_matrix_destroy(p);
    });
    corx_matrix_destroy(ha);
    corx_matrix_destroy(hb);
}

void benchLu(int n, int reps) {
    std::mt19937_64 rng(n + 1);
    const auto a = randomValues(rng, static_cast<std::size_t>(n) * n);
    const auto b = randomValues(rng, static_cast<std::size_t>(n));
    CorxMatrix ha = handleOf(a, n, n);
    std::vector<double> x(static_cast<std::size_t>(n));
    std::vector<double> work(a.size()), rhs(b.size());
    std::vector<lapack_int> ipiv(static_cast<std::size_t>(n));
    const std::string name = "LU solve n=" + std::to_string(n);
    const std::string refinedName = "LU solve refined n=" + std::to_string(n);
    const auto make = [&] {
        Calls fs{
            [&] { return timed([&] { sink = corx_matrix_lu_solve(ha, b.data(), n, x.data(), n, false); }); },
            [&] { return timed([&] { sink = corx_matrix_lu_solve(ha, b.data(), n, x.data(), n, true); }); },
            [&] {
                return timed([&] {
                    work = a;
                    rhs = b;
                    LAPACKE_dgesv(LAPACK_COL_MAJOR, n, 1, work.data(), n, ipiv.data(), rhs.data(), n);
                    sink = rhs[0];
                });
            }};
        if (threads == 1) fs.push_back([&] { return timed([&] { sink = eigen_peer::luSolve(a, b, n); }); });
        return fs;
    };
    timeAtEachThreadCount(reps, make, [&](const std::vector<Timing>& t) {
        const Timing &plain = t[0], &refined = t[1];
        report(name, plain, "LAPACKE dgesv", t[2]);
        if (threads == 1) report(name, plain, "Eigen PartialPivLU", t[3]);
        report(refinedName, refined, "corx unrefined", plain);
        corx_matrix_lu_solve(ha, b.data(), n, x.data(), n, false);
        corxResult(name, plain, x);
        corx_matrix_lu_solve(ha, b.data(), n, x.data(), n, true);
        corxResult(refinedName, refined, x);
    });
    corx_matrix_destroy(ha);
}

void benchCholesky(int n, int reps) {
    // B*B^T + n*I, mirrored so that it is exactly symmetric.
    std::mt19937_64 rng(n + 2);
    const auto g = randomValues(rng, static_cast<std::size_t>(n) * n);
    std::vector<double> a(static_cast<std::size_t>(n) * n);
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasTrans, n, n, n, 1.0, g.data(), n, g.data(), n, 0.0, a.data(), n);
    for (int i = 0; i < n; ++i) {
        a[static_cast<std::size_t>(i) * n + i] += n;
        for (int j = 0; j < i; ++j) a[static_cast<std::size_t>(i) * n + j] = a[static_cast<std::size_t>(j) * n + i];
    }
    CorxMatrix ha = handleOf(a, n, n);
    std::vector<double> work;
    const std::string name = "Cholesky n=" + std::to_string(n);
    const auto make = [&] {
        Calls fs{[&] {
                     return timed([&] {
                         CorxMatrix l = corx_matrix_cholesky(ha);
                         sink = corx_matrix_get(l, n - 1, n - 1);
                         corx_matrix_destroy(l);
                     });
                 },
                 [&] {
                     return timed([&] {
                         work = a;
                         LAPACKE_dpotrf(LAPACK_COL_MAJOR, 'L', n, work.data(), n);
                         sink = work.back();
                     });
                 }};
        if (threads == 1) fs.push_back([&] { return timed([&] { sink = eigen_peer::cholesky(a, n); }); });
        return fs;
    };
    timeAtEachThreadCount(reps, make, [&](const std::vector<Timing>& t) {
        report(name, t[0], "LAPACKE dpotrf", t[1]);
        if (threads == 1) report(name, t[0], "Eigen LLT", t[2]);
        CorxMatrix l = corx_matrix_cholesky(ha);
        corxResult(name, t[0], bufferOf(l));
        corx_matrix_destroy(l);
    });
    corx_matrix_destroy(ha);
}

void benchQr(int n, int reps) {
    std::mt19937_64 rng(n + 3);
    const auto a = randomValues(rng, static_cast<std::size_t>(n) * n);
    CorxMatrix ha = handleOf(a, n, n);
    std::vector<double> work, tau(static_cast<std::size_t>(n));
    const std::string name = "QR with Q n=" + std::to_string(n);
    const auto make = [&] {
        Calls fs{
            [&] {
                return timed([&] {
                    CorxMatrix q = nullptr, r = nullptr;
                    corx_matrix_qr(ha, &q, &r);
                    sink = corx_matrix_get(q, n - 1, n - 1) + corx_matrix_get(r, n - 1, n - 1);
                    corx_matrix_destroy(q);
                    corx_matrix_destroy(r);
                });
            },
            [&] {
                return timed([&] {
                    work = a;
                    LAPACKE_dgeqrf(LAPACK_COL_MAJOR, n, n, work.data(), n, tau.data());
                    sink = work.back();
                    LAPACKE_dorgqr(LAPACK_COL_MAJOR, n, n, n, work.data(), n, tau.data());
                    sink = work.back();
                });
            }};
        if (threads == 1) fs.push_back([&] { return timed([&] { sink = eigen_peer::qrWithQ(a, n); }); });
        return fs;
    };
    timeAtEachThreadCount(reps, make, [&](const std::vector<Timing>& t) {
        report(name, t[0], "LAPACKE dgeqrf+dorgqr", t[1]);
        if (threads == 1) report(name, t[0], "Eigen HouseholderQR", t[2]);
        CorxMatrix q = nullptr, r = nullptr;
        corx_matrix_qr(ha, &q, &r);
        std::vector<double> result = bufferOf(q);
        append(result, bufferOf(r));
        corxResult(name, t[0], std::move(result));
        corx_matrix_destroy(q);
        corx_matrix_destroy(r);
    });
    corx_matrix_destroy(ha);
}

void benchSvd(int n, int reps) {
    std::mt19937_64 rng(n + 4);
    const auto a = randomValues(rng, static_cast<std::size_t>(n) * n);
    CorxMatrix ha = handleOf(a, n, n);
    std::vector<double> s(static_cast<std::size_t>(n));
    std::vector<double> work, sva(static_cast<std::size_t>(n)), vv(static_cast<std::size_t>(n) * n), stat(6);
    const std::string name = "SVD n=" + std::to_string(n);
    const auto make = [&] {
        Calls fs{
            [&] {
                return timed([&] {
                    CorxMatrix u = nullptr, v = nullptr;
                    corx_matrix_svd(ha, &u, s.data(), n, &v);
                    sink = s[0];
                    corx_matrix_destroy(u);
                    corx_matrix_destroy(v);
                });
            },
            [&] {
                return timed([&] {
                    work = a;
                    LAPACKE_dgesvj(LAPACK_COL_MAJOR, 'G', 'U', 'V', n, n, work.data(), n, sva.data(), 0, vv.data(),
                                   n, stat.data());
                    sink = sva[0];
                });
            }};
        if (threads == 1) fs.push_back([&] { return timed([&] { sink = eigen_peer::jacobiSvd(a, n); }); });
        return fs;
    };
    timeAtEachThreadCount(reps, make, [&](const std::vector<Timing>& t) {
        report(name, t[0], "LAPACKE dgesvj", t[1]);
        if (threads == 1) report(name, t[0], "Eigen JacobiSVD", t[2]);
        CorxMatrix u = nullptr, v = nullptr;
        corx_matrix_svd(ha, &u, s.data(), n, &v);
        std::vector<double> result = bufferOf(u);
        append(result, s);
        append(result, bufferOf(v));
        corxResult(name, t[0], std::move(result));
        corx_matrix_destroy(u);
        corx_matrix_destroy(v);
    });
    corx_matrix_destroy(ha);
}

// A sparse handle can only be made from a dense one: the dense matrix is
// built with corx_matrix_set, converted once, and only the products are
// timed.
void benchSparse(const std::string& name, int n, const std::vector<std::int64_t>& ri,
                 const std::vector<std::int64_t>& ci, const std::vector<double>& v, int reps) {
    CorxMatrix dense = corx_matrix_create(n, n);
    for (std::size_t k = 0; k < v.size(); ++k)
        corx_matrix_set(dense, static_cast<int32_t>(ri[k]), static_cast<int32_t>(ci[k]), v[k]);
    CorxSparse s = corx_sparse_from_dense(dense);
    corx_matrix_destroy(dense);
    const std::int64_t nnz = corx_sparse_nnz(s);
    std::mt19937_64 rng(n + 5);
    const auto x = randomValues(rng, static_cast<std::size_t>(n));
    std::vector<double> y(static_cast<std::size_t>(n));
    eigen_peer::Sparse* e = eigen_peer::sparseFromTriplets(n, n, ri, ci, v);
    std::vector<double> ye(static_cast<std::size_t>(n));
    // Bytes one product must move in corx's layout: values and 32-bit column
    // indices per entry, row starts, x and y.
    const double bytes = 12.0 * static_cast<double>(nnz) + 8.0 * (n + 1) + 16.0 * n;
    atEachThreadCount([&] {
        // One product takes a fraction of a millisecond, so each sample times
        // a batch of them, and the two libraries' samples alternate: a
        // disturbance of the shared machine then falls on both sides alike.
        // Eigen runs at 1 thread only.
        constexpr int kBatch = 20;
        std::vector<double> tcs, tes;
        for (int r = 0; r < reps; ++r) {
            auto t0 = Clock::now();
            for (int b = 0; b < kBatch; ++b) sink = corx_sparse_matvec(s, x.data(), n, y.data(), n);
            tcs.push_back(seconds(t0) / kBatch);
            if (threads > 1) continue;
            t0 = Clock::now();
            for (int b = 0; b < kBatch; ++b) {
                eigen_peer::sparseProduct(e, x, ye);
                sink = ye[0];
            }
            tes.push_back(seconds(t0) / kBatch);
        }
        const Timing tc = timingOf(tcs);
        if (threads == 1) report(name, tc, "Eigen RowMajor SpMV", timingOf(tes));
        const double triad = triadBandwidth(static_cast<std::size_t>(bytes));
        std::printf("%-28s %2d thr  corx %.4f ms (+%4.1f%%), %.1f GB/s = %.1f%% of a one-core triad over the same "
                    "%.1f MB (%.1f GB/s)\n",
                    name.c_str(), threads, tc * 1e3, spread(tc), bytes / tc / 1e9, 100.0 * bytes / tc / triad,
                    bytes / 1e6, triad / 1e9);
        corx_sparse_matvec(s, x.data(), n, y.data(), n);
        corxResult(name, tc, y);
    });
    eigen_peer::sparseDestroy(e);
    corx_sparse_destroy(s);
}

void benchSparseCases(int reps) {
    {
        const int n = 16000;
        std::mt19937_64 rng(11);
        std::uniform_int_distribution<int> col(0, n - 1);
        std::uniform_real_distribution<double> val(-1.0, 1.0);
        std::vector<std::int64_t> ri, ci;
        std::vector<double> v;
        for (int i = 0; i < n; ++i) {
            std::vector<int> cols;
            while (cols.size() < 10) {
                const int c = col(rng);
                if (std::find(cols.begin(), cols.end(), c) == cols.end()) cols.push_back(c);
            }
            std::sort(cols.begin(), cols.end());
            for (int c : cols) {
                ri.push_back(i);
                ci.push_back(c);
                double x = val(rng);
                v.push_back(x == 0.0 ? 0.5 : x);
            }
        }
        benchSparse("sparse random 16000 (10/row)", n, ri, ci, v, reps);
    }
    {
        const int g = 126, n = g * g;
        std::vector<std::int64_t> ri, ci;
        std::vector<double> v;
        for (int r = 0; r < g; ++r)
            for (int c = 0; c < g; ++c) {
                const int i = r * g + c;
                auto add = [&](int j, double x) {
                    ri.push_back(i);
                    ci.push_back(j);
                    v.push_back(x);
                };
                if (r > 0) add(i - g, -1.0);
                if (c > 0) add(i - 1, -1.0);
                add(i, 4.0);
                if (c < g - 1) add(i + 1, -1.0);
                if (r < g - 1) add(i + g, -1.0);
            }
        benchSparse("sparse Laplacian 126x126", n, ri, ci, v, reps);
    }
}

// corx_matrix_mul and corx_matrix_lu_solve on matrices far too small to
// split, over enough calls for about `target` seconds a measurement: what
// asking for threads costs a caller whose calls all stay on its own thread.
// The thread counts' measurements are taken in turn, as in timeInTurn.
void benchSmallCalls(double target, int reps) {
    const std::size_t k = threadCounts.size();
    if (k > 1)
        std::printf("small calls: time at T threads / time at 1 thread; the aim is at most 1.05 at 2 threads\n");
    for (int n : {2, 8, 32}) {
        std::mt19937_64 rng(n + 6);
        const auto a = randomValues(rng, static_cast<std::size_t>(n) * n);
        const auto b = randomValues(rng, static_cast<std::size_t>(n) * n);
        const auto rhs = randomValues(rng, static_cast<std::size_t>(n));
        CorxMatrix ha = handleOf(a, n, n), hb = handleOf(b, n, n);
        std::vector<double> x(static_cast<std::size_t>(n));
        struct Op {
            std::string name;
            std::function<void()> call;
            std::function<std::vector<double>()> result;
        };
        const std::vector<Op> ops{
            {"small mul n=" + std::to_string(n),
             [&] {
                 CorxMatrix p = corx_matrix_mul(ha, hb);
                 sink = corx_matrix_get(p, 0, 0);
                 corx_matrix_destroy(p);
             },
             [&] {
                 CorxMatrix p = corx_matrix_mul(ha, hb);
                 std::vector<double> out = bufferOf(p);
                 corx_matrix_destroy(p);
                 return out;
             }},
            {"small LU solve n=" + std::to_string(n),
             [&] { sink = corx_matrix_lu_solve(ha, rhs.data(), n, x.data(), n, false); },
             [&] {
                 corx_matrix_lu_solve(ha, rhs.data(), n, x.data(), n, false);
                 return x;
             }}};
        for (const Op& op : ops) {
            // Calls per measurement, from their time at 1 thread.
            useThreads(1);
            std::int64_t calls = 1;
            for (;;) {
                const auto t0 = Clock::now();
                for (std::int64_t c = 0; c < calls; ++c) op.call();
                const double s = seconds(t0);
                if (s >= target / 8) {
                    calls = std::max<std::int64_t>(1, static_cast<std::int64_t>(calls * target / s));
                    break;
                }
                calls *= 2;
            }
            std::vector<std::vector<double>> t(k);
            for (int r = 0; r < reps; ++r)
                for (std::size_t i = 0; i < k; ++i) {
                    const std::size_t at = (static_cast<std::size_t>(r) + i) % k;
                    useThreads(threadCounts[at]);
                    op.call();
                    const auto t0 = Clock::now();
                    for (std::int64_t c = 0; c < calls; ++c) op.call();
                    t[at].push_back(seconds(t0) / static_cast<double>(calls));
                }
            std::vector<double> one;
            Timing oneTime{};
            for (std::size_t i = 0; i < k; ++i) {
                useThreads(threadCounts[i]);
                const Timing ti = timingOf(t[i]);
                std::vector<double> result = op.result();
                if (threads == 1) {
                    one = std::move(result);
                    oneTime = ti;
                    rows.push_back({op.name, 1, ti, "corx 1 thread", ti, ""});
                    std::printf("%-28s %2d thr  corx %8.1f ns/call (+%4.1f%%), %lld calls a measurement\n",
                                op.name.c_str(), threads, ti * 1e9, spread(ti), static_cast<long long>(calls));
                    continue;
                }
                const Scaling sc{op.name, threads, oneTime, ti, sameBits(one, result), true};
                scalings.push_back(sc);
                rows.push_back({op.name, threads, ti, "corx 1 thread", oneTime, sc.same ? "same" : "DIFFER"});
                std::printf("%s\n", scalingLine(sc).c_str());
            }
            std::fflush(stdout);
        }
        useThreads(1);
        corx_matrix_destroy(ha);
        corx_matrix_destroy(hb);
    }
}

const char* bestOpenBlasCore() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
        return "SkylakeX";
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return "Haswell";
    return nullptr;
}

// Parses "1,2,4": thread counts of at least 1, sorted, each once, with 1
// added if missing; empty on a malformed list.
std::vector<int> parseThreadCounts(const std::string& list) {
    std::vector<int> out{1};
    std::size_t at = 0;
    while (at <= list.size()) {
        const std::size_t end = std::min(list.find(',', at), list.size());
        const std::string item = list.substr(at, end - at);
        char* stop = nullptr;
        const long t = std::strtol(item.c_str(), &stop, 10);
        if (item.empty() || *stop != '\0' || t < 1 || t > 256) return {};
        out.push_back(static_cast<int>(t));
        at = end + 1;
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    // The very first corx_init of the process, before anything else runs.
    const auto t0 = Clock::now();
    const int32_t initStatus = corx_init();
    const double initTime = seconds(t0);

    bool quick = false;
    const char* csv = nullptr;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) quick = true;
        else if (std::strcmp(argv[i], "--csv") == 0 && i + 1 < argc) csv = argv[++i];
        else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) only = argv[++i];
        else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
            threadCounts = parseThreadCounts(argv[++i]);
            if (threadCounts.empty()) {
                std::fprintf(stderr, "--threads wants counts from 1 to 256, separated by commas: %s\n", argv[i]);
                return 2;
            }
        }
    }
    const int maxThreads = threadCounts.back();

    if (std::getenv("CORX_BENCH_REEXEC") == nullptr) {
        setenv("CORX_BENCH_REEXEC", "1", 1);
        // OpenBLAS sizes its pool from these when it is loaded; each case
        // then sets the count it runs at.
        setenv("OPENBLAS_NUM_THREADS", std::to_string(maxThreads).c_str(), 1);
        setenv("OMP_NUM_THREADS", std::to_string(maxThreads).c_str(), 1);
        if (std::getenv("OPENBLAS_CORETYPE") == nullptr)
            if (const char* core = bestOpenBlasCore()) setenv("OPENBLAS_CORETYPE", core, 1);
        execv("/proc/self/exe", argv);
        std::perror("re-exec");
        return 1;
    }

    auto wanted = [&](const char* name) {
        if (only.empty()) return true;
        const std::string list = "," + only + ",";
        return list.find("," + std::string(name) + ",") != std::string::npos;
    };
    useThreads(1);
    std::printf("first corx_init: %.1f us (status %d)\n", initTime * 1e6, initStatus);
    std::printf("OpenBLAS: core %s (OPENBLAS_CORETYPE=%s), config %s, threads %d (pool sized for %s)\n",
                openblas_get_corename(), std::getenv("OPENBLAS_CORETYPE") ? std::getenv("OPENBLAS_CORETYPE") : "(unset)",
                openblas_get_config(), openblas_get_num_threads(),
                std::getenv("OPENBLAS_NUM_THREADS") ? std::getenv("OPENBLAS_NUM_THREADS") : "(unset)");
    std::string countList;
    for (int t : threadCounts) countList += (countList.empty() ? "" : ",") + std::to_string(t);
    std::printf("threads: %s (corx with corx_set_threads, OpenBLAS and LAPACKE with openblas_set_num_threads; "
                "Eigen and GSL single-threaded, at 1 thread only)\n",
                countList.c_str());
    const double peak = mulAddPeak();
    std::printf("no-FMA peak (separate vector mul and add), one core, measured: %.1f GFLOP/s\n", peak / 1e9);
    if (!quick) reportFusedBeside();
    std::printf("\n");

    // Cases that take well under a second per repetition get nine, so that
    // one slow spell of a shared machine moves their medians less; the
    // larger sizes get five.
    const int r = quick ? 1 : 9, rLarge = quick ? 1 : 5;
    if (wanted("product")) {
        benchProduct(quick ? 512 : 1024, r, peak);
        if (!quick) benchProduct(2048, rLarge, peak);
    }
    if (wanted("lu")) benchLu(quick ? 500 : 2000, r);
    if (wanted("cholesky")) benchCholesky(quick ? 500 : 2000, r);
    if (wanted("qr")) {
        benchQr(quick ? 300 : 1000, r);
        if (!quick) benchQr(2000, rLarge);
    }
    if (wanted("svd")) {
        benchSvd(quick ? 100 : 400, r);
        if (!quick) benchSvd(1000, rLarge);
    }
    if (wanted("sparse")) benchSparseCases(quick ? 3 : 51);
    if (wanted("small")) benchSmallCalls(quick ? 0.05 : 0.2, quick ? 1 : 5);

    // The same rows again, one table per thread count.
    if (threadCounts.size() > 1) {
        for (int t : threadCounts) {
            std::printf("\n--- %d thread%s%s ---\n", t, t == 1 ? "" : "s",
                        t == 1 ? "" : " (Eigen and GSL: 1 thread only, in the first table)");
            for (const Printed& p : printed)
                if (p.threads == t) printRow(p.name, p.threads, p.corx, p.peer, p.peerTime);
            for (const Scaling& s : scalings)
                if (s.threads == t) std::printf("%s\n", scalingLine(s).c_str());
        }
    }

    if (csv != nullptr) {
        if (FILE* f = std::fopen(csv, "w")) {
            // Names are quoted: they may contain commas. "corx 1 thread" rows
            // hold corx against itself: its time at `threads` threads over
            // its time at 1 thread, and whether the bits are the same.
            std::fprintf(f, "case,peer,corx_seconds,peer_seconds,speed,threads,bits,corx_fastest,peer_fastest\n");
            for (const Row& row : rows)
                std::fprintf(f, "\"%s\",\"%s\",%.9g,%.9g,%.6g,%d,%s,%.9g,%.9g\n", row.name.c_str(), row.peer.c_str(),
                             row.corx.median, row.peerTime.median, row.peerTime / row.corx, row.threads,
                             row.bits.c_str(), row.corx.lo, row.peerTime.lo);
            std::fclose(f);
        }
    }
    return 0;
}
