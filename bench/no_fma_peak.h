// SPDX-License-Identifier: BSD-3-Clause
// The most double operations per second one core does without fused
// multiply-add: separate vector multiplies and adds on independent
// registers, the rate against which the benchmarks state a kernel's share.
// For comparison only, the same with fused multiply-adds (two operations
// each), the rate the peers' kernels can reach; the library never uses them.
#pragma once

#include <immintrin.h>

#include <chrono>

namespace bench {

inline volatile double peakSink;

__attribute__((target("avx512f"))) inline double mulAddPeakAvx512(long iters) {
    __m512d m[12], s[12];
    const __m512d f = _mm512_set1_pd(1.0000000001), e = _mm512_set1_pd(1e-9);
    for (int r = 0; r < 12; ++r) m[r] = s[r] = _mm512_set1_pd(1.0 + r);
    const auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < iters; ++i)
        for (int r = 0; r < 12; ++r) {
            m[r] = _mm512_mul_pd(m[r], f);
            s[r] = _mm512_add_pd(s[r], e);
        }
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double acc = 0;
    for (int r = 0; r < 12; ++r) acc += _mm512_reduce_add_pd(_mm512_add_pd(m[r], s[r]));
    peakSink = acc;
    return 24.0 * 8.0 * static_cast<double>(iters) / t;
}

__attribute__((target("avx2"))) inline double mulAddPeakAvx2(long iters) {
    __m256d m[6], s[6];
    const __m256d f = _mm256_set1_pd(1.0000000001), e = _mm256_set1_pd(1e-9);
    for (int r = 0; r < 6; ++r) m[r] = s[r] = _mm256_set1_pd(1.0 + r);
    const auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < iters; ++i)
        for (int r = 0; r < 6; ++r) {
            m[r] = _mm256_mul_pd(m[r], f);
            s[r] = _mm256_add_pd(s[r], e);
        }
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    alignas(32) double out[4];
    __m256d acc = _mm256_setzero_pd();
    for (int r = 0; r < 6; ++r) acc = _mm256_add_pd(acc, _mm256_add_pd(m[r], s[r]));
    _mm256_store_pd(out, acc);
    peakSink = out[0] + out[1] + out[2] + out[3];
    return 12.0 * 4.0 * static_cast<double>(iters) / t;
}

__attribute__((target("avx512f"))) inline double fmaPeakAvx512(long iters) {
    __m512d a[12];
    const __m512d f = _mm512_set1_pd(1.0000000001), e = _mm512_set1_pd(1e-9);
    for (int r = 0; r < 12; ++r) a[r] = _mm512_set1_pd(1.0 + r);
    const auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < iters; ++i)
        for (int r = 0; r < 12; ++r) a[r] = _mm512_fmadd_pd(a[r], f, e);
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double acc = 0;
    for (int r = 0; r < 12; ++r) acc += _mm512_reduce_add_pd(a[r]);
    peakSink = acc;
    return 12.0 * 8.0 * 2.0 * static_cast<double>(iters) / t;
}

__attribute__((target("avx2,fma"))) inline double fmaPeakAvx2(long iters) {
    __m256d a[12];
    const __m256d f = _mm256_set1_pd(1.0000000001), e = _mm256_set1_pd(1e-9);
    for (int r = 0; r < 12; ++r) a[r] = _mm256_set1_pd(1.0 + r);
    const auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < iters; ++i)
        for (int r = 0; r < 12; ++r) a[r] = _mm256_fmadd_pd(a[r], f, e);
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    alignas(32) double out[4];
    __m256d acc = _mm256_setzero_pd();
    for (int r = 0; r < 12; ++r) acc = _mm256_add_pd(acc, a[r]);
    _mm256_store_pd(out, acc);
    peakSink = out[0] + out[1] + out[2] + out[3];
    return 12.0 * 4.0 * 2.0 * static_cast<double>(iters) / t;
}

// One sample of the fused rate, FLOP/s, from as many operations as
// mulAddPeakSample(iters) (0 without AVX2 and FMA).
inline double fmaPeakSample(long iters) {
    return __builtin_cpu_supports("avx512f")                                    ? fmaPeakAvx512(iters)
           : __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? fmaPeakAvx2(iters)
                                                                                : 0.0;
}

// One sample of the rate, FLOP/s, from `iters` rounds on the widest vectors
// the processor has (0 without AVX2).
inline double mulAddPeakSample(long iters) {
    return __builtin_cpu_supports("avx512f") ? mulAddPeakAvx512(iters)
           : __builtin_cpu_supports("avx2")  ? mulAddPeakAvx2(2 * iters)
                                             : 0.0;
}

}  // namespace bench
