// SPDX-License-Identifier: BSD-3-Clause
// Where the product and the panel of reflections lose speed: the kernels of
// the active set timed on data held at each level of the memory hierarchy,
// every figure a share of the separate multiply-and-add peak sampled right
// before and after it (the median of several samples, so that a shared
// machine's swings cancel as far as they can).
//
//   corx_kernel_roofline [samples]     (default 7)
//
// Product micro-kernel (one MR x NR tile over kc = 512 steps of k; on
// AVX-512 in both forms of the tile, the processor's first):
//   hot         the same a and b panels and tile of c, call after call;
//   row block   one b panel for a row block's tiles, their a panels cycling
//               through a block of a that stays in L2 (what the product does
//               between two b panels);
//   b from L3   as the row block, each block with the next b panel of a
//               packed block of the product's size (12 MB: it lives in L3),
//               with and without the spread prefetch of the next panel;
//   product     the whole blocked product into a result already in memory.
// Panel of reflections (32 reflections on a block as wide as the set takes
// side by side, its rows contiguous, as the QR keeps them): block of 128
// rows and of 1000 rows (the QR's blocks, held in L2), next to the best a
// plain load-update-store pass reaches on the same block, and that pass
// without its store.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "kernels/kernel_set.h"
#include "kernels/product.h"
#include "kernels/product_kernels.h"
#include "kernels/reflect_panel.h"
#include "no_fma_peak.h"

namespace {

using namespace corx_internal;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

volatile double sink;

double peakSample() { return bench::mulAddPeakSample(3000000); }

// Median share of the peak of `flops` done by f, and the median rate.
struct Share {
    double share;
    double gflops;
};

Share measure(int samples, double flops, const std::function<void()>& f) {
    f();  // first touch and warm caches
    std::vector<double> shares, rates;
    for (int s = 0; s < samples; ++s) {
        const double before = peakSample();
        const auto t0 = Clock::now();
        f();
        const double t = seconds(t0);
        const double after = peakSample();
        rates.push_back(flops / t);
        shares.push_back(flops / t / std::max(before, after));
    }
    std::sort(shares.begin(), shares.end());
    std::sort(rates.begin(), rates.end());
    return {shares[shares.size() / 2], rates[rates.size() / 2] / 1e9};
}

void print(const char* what, Share s) {
    std::printf("  %-44s %6.1f GFLOP/s  %5.1f%% of peak\n", what, s.gflops, 100 * s.share);
}

std::vector<double> randomValues(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = d(rng);
    return v;
}

// The form of an AVX-512 set's product tile, for the heading.
const char* formName(const KernelSet& k) {
    if (k.isa != Isa::Avx512) return "";
    return activeTileForm() == TileForm::Operand ? " operand broadcast" : " register broadcast";
}

void productKernel(const KernelSet& k, int samples) {
    const std::int64_t mr = k.mr, nr = k.nr, kc = 512;
    // A row block of the product (96 rows) and its packed block of b (3072
    // columns), as kernels/product.cpp blocks them.
    const std::int64_t tiles = (96 + mr - 1) / mr;
    const std::int64_t panels = (3072 + nr - 1) / nr;
    const std::int64_t panel = kc * nr, slice = kernels::kAheadDoubles(kc);
    const auto a = randomValues(static_cast<std::size_t>(mr * kc * tiles), 1);
    const auto b = randomValues(static_cast<std::size_t>(panel * panels), 2);
    std::vector<double> c(static_cast<std::size_t>(mr * nr * tiles), 0.0);
    std::vector<double> idle(static_cast<std::size_t>(slice), 0.0);  // a prefetch target already in cache
    const double tileFlops = 2.0 * mr * nr * kc;

    std::printf("product micro-kernel (%s%s, %lld x %lld tile, kc = %lld):\n", isaName(k.isa), formName(k),
                static_cast<long long>(mr), static_cast<long long>(nr), static_cast<long long>(kc));
    print("hot panels", measure(samples, tileFlops * 2000, [&] {
              for (int i = 0; i < 2000; ++i) k.productAdd(kc, a.data(), 1, mr, b.data(), c.data(), nr, idle.data());
          }));
    const int blocks = 200;
    print("row block: one b panel, a from L2", measure(samples, tileFlops * tiles * blocks, [&] {
              for (int r = 0; r < blocks; ++r)
                  for (std::int64_t t = 0; t < tiles; ++t)
                      k.productAdd(kc, a.data() + t * mr * kc, 1, mr, b.data(), c.data() + t * mr * nr, nr,
                                   idle.data());
          }));
    auto fromL3 = [&](bool ahead) {
        for (int r = 0; r < blocks; ++r) {
            const double* bp = b.data() + (r % panels) * panel;
            const double* next = b.data() + ((r + 1) % panels) * panel;
            for (std::int64_t t = 0; t < tiles; ++t) {
                const double* pf = ahead && (t + 1) * slice <= panel ? next + t * slice : idle.data();
                k.productAdd(kc, a.data() + t * mr * kc, 1, mr, bp, c.data() + t * mr * nr, nr, pf);
            }
        }
    };
    print("b panels from L3, no prefetch", measure(samples, tileFlops * tiles * blocks, [&] { fromL3(false); }));
    print("b panels from L3, next panel prefetched",
          measure(samples, tileFlops * tiles * blocks, [&] { fromL3(true); }));
    for (const std::int64_t n : {1024, 2048}) {
        const auto x = randomValues(static_cast<std::size_t>(n * n), 3);
        const auto y = randomValues(static_cast<std::size_t>(n * n), 4);
        std::vector<double> z(static_cast<std::size_t>(n * n), 0.0);
        const std::string what = "whole product n=" + std::to_string(n) + ", result in memory";
        print(what.c_str(), measure(n > 1024 ? std::max(3, samples / 2) : samples, 2.0 * n * n * n, [&] {
                  productAccumulate(k, x.data(), n, y.data(), n, z.data(), n, n, n, n);
              }));
    }
}

// x = x - v*f; d = d + x*u over rows x w, the kernel's inner pass without
// its dependence on the previous reflection: the pass's best rate. Every
// column has its own factor f (fs[0..w-1], read at run time), as in the
// kernel, so that each element costs two vector products and two vector
// sums (with one known f, the compiler would form v*f once per row and
// broadcast it). Without the store (Store = false) it shows
// what writing every element back once per reflection costs.
template <class V, int W, bool Store>
[[gnu::always_inline]] inline void plainPassBody(double* x, std::int64_t rows, const double* v, const double* fs,
                                                double* d) {
    constexpr int L = kernels::kLanes<V>, N = W / L;
    V acc[N], f[N];
    for (int i = 0; i < N; ++i) {
        acc[i] = V{};
        kernels::load(f[i], fs + i * L);
    }
    for (std::int64_t t = 0; t < rows; ++t) {
        const double vt = v[t], ut = v[rows - 1 - t];
        for (int i = 0; i < N; ++i) {
            V y;
            kernels::load(y, x + t * W + i * L);
            y = y - f[i] * vt;
            if constexpr (Store) kernels::store(x + t * W + i * L, y);
            acc[i] = acc[i] + y * ut;
        }
    }
    for (int i = 0; i < N; ++i) kernels::store(d + i * L, acc[i]);
}

template <int W, bool Store>
__attribute__((target("avx512f"))) void plainPassAvx512(double* x, std::int64_t rows, const double* v,
                                                         const double* fs, double* d) {
    plainPassBody<kernels::F64x8, W, Store>(x, rows, v, fs, d);
}

template <int W, bool Store>
__attribute__((target("avx2"))) void plainPassAvx2(double* x, std::int64_t rows, const double* v, const double* fs,
                                                    double* d) {
    plainPassBody<kernels::F64x4, W, Store>(x, rows, v, fs, d);
}

// The plain pass at the active set's width (none below AVX2).
template <int W, bool Store>
void plainPassFor(Isa isa, double* x, std::int64_t rows, const double* v, const double* fs, double* d) {
    if (isa == Isa::Avx512) plainPassAvx512<W, Store>(x, rows, v, fs, d);
    else plainPassAvx2<W, Store>(x, rows, v, fs, d);
}

template <int W>
void reflectionPanel(const KernelSet& k, int samples) {
    constexpr std::int64_t w = W, count = 32;
    std::printf("panel of %lld reflections on %lld columns (%s):\n", static_cast<long long>(count),
                static_cast<long long>(w), isaName(k.isa));
    for (const std::int64_t rows : {128, 1000}) {
        auto x = randomValues(static_cast<std::size_t>(rows * w), 5);
        const auto v = randomValues(static_cast<std::size_t>(rows), 6);
        std::vector<kernels::PanelReflection> h;
        double flops = 0;
        for (std::int64_t j = 0; j < count; ++j) {
            double vv = 0;
            for (std::int64_t t = j; t < rows; ++t) vv += v[t - j] * v[t - j];
            h.push_back({j, v.data(), vv});
            flops += 4.0 * static_cast<double>(rows - j) * w;
        }
        const auto x0 = x;
        const int reps = rows > 500 ? 40 : 300;
        const std::string kernel = "reflectPanel, " + std::to_string(rows) + " rows";
        print(kernel.c_str(), measure(samples, flops * reps, [&] {
                  for (int r = 0; r < reps; ++r) {
                      // Reflections keep the columns' norms; restart now and
                      // then all the same, so that no value drifts.
                      if (r % 8 == 0) std::copy(x0.begin(), x0.end(), x.begin());
                      k.reflectPanel(x.data(), w, rows, w, h.data(), count);
                  }
              }));
        if (k.isa != Isa::Baseline) {
            double d[w];
            std::vector<double> fs(w);
            for (std::int64_t c = 0; c < w; ++c) fs[c] = 0.25 + static_cast<double>(c) / 1024.0;
            const std::string pass = "plain update-and-sum pass, " + std::to_string(rows) + " rows";
            print(pass.c_str(), measure(samples, 4.0 * rows * w * count * reps, [&] {
                      for (int r = 0; r < reps * count; ++r) plainPassFor<w, true>(k.isa, x.data(), rows, v.data(), fs.data(), d);
                      sink = d[0];
                  }));
            const std::string noStore = "  the same without its store, " + std::to_string(rows) + " rows";
            print(noStore.c_str(), measure(samples, 4.0 * rows * w * count * reps, [&] {
                      for (int r = 0; r < reps * count; ++r) plainPassFor<w, false>(k.isa, x.data(), rows, v.data(), fs.data(), d);
                      sink = d[0];
                  }));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::max(3, std::atoi(argv[1])) : 7;
    if (!__builtin_cpu_supports("avx2")) {
        std::printf("needs AVX2 or AVX-512 for the peak measurement\n");
        return 0;
    }
    const KernelSet& k = activeKernels();
    std::printf("no-FMA peak, first sample: %.1f GFLOP/s\n", peakSample() / 1e9);
    productKernel(k, samples);
    if (k.isa == Isa::Avx512) {
        // The tile form the processor does not pick, for comparison.
        const TileForm other = activeTileForm() == TileForm::Operand ? TileForm::Register : TileForm::Operand;
        forceTileForm(other);
        productKernel(activeKernels(), samples);
        forceTileForm(TileForm::Auto);
    }
    if (k.panelColumns == 64) reflectionPanel<64>(k, samples);
    else reflectionPanel<16>(k, samples);
    return 0;
}
