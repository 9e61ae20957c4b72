#include "kernels/product_kernels.h"

#include <immintrin.h>

// UPDATE(product, sum) is product + sum for the product and sum - product
// for the elimination updates of the factorisations.
// One body for every instruction set: MR rows, NV vectors of VW doubles per
// row. Accumulators live in registers across the whole k loop; the loops
// over rows and vectors have constant bounds and are unrolled.
#define CORX_MICRO_KERNEL(NAME, TARGET, VEC, VW, MR, NV, LOAD, STORE, SPLAT, MUL, UPDATE)                  \
    __attribute__((target(TARGET))) void NAME(std::int64_t kc, const double* a, const double* b, double* c, \
                                              std::int64_t ldc) {                                       \
        VEC acc[MR][NV];                                                                                \
        _Pragma("GCC unroll 16") for (int r = 0; r < MR; ++r)                                           \
            _Pragma("GCC unroll 4") for (int v = 0; v < NV; ++v) acc[r][v] = LOAD(c + r * ldc + v * VW); \
        for (std::int64_t k = 0; k < kc; ++k) {                                                         \
            VEC bv[NV];                                                                                 \
            _Pragma("GCC unroll 4") for (int v = 0; v < NV; ++v) bv[v] = LOAD(b + v * VW);              \
            _Pragma("GCC unroll 16") for (int r = 0; r < MR; ++r) {                                     \
                const VEC x = SPLAT(a[r]);                                                              \
                _Pragma("GCC unroll 4") for (int v = 0; v < NV; ++v) acc[r][v] = UPDATE(MUL(bv[v], x), acc[r][v]); \
            }                                                                                           \
            a += MR;                                                                                    \
            b += NV * VW;                                                                               \
        }                                                                                               \
        _Pragma("GCC unroll 16") for (int r = 0; r < MR; ++r)                                           \
            _Pragma("GCC unroll 4") for (int v = 0; v < NV; ++v) STORE(c + r * ldc + v * VW, acc[r][v]); \
    }

namespace corx_internal::kernels {

namespace {

#define CORX_ADD_SSE2(p, s) _mm_add_pd(p, s)
#define CORX_SUB_SSE2(p, s) _mm_sub_pd(s, p)
#define CORX_ADD_AVX2(p, s) _mm256_add_pd(p, s)
#define CORX_SUB_AVX2(p, s) _mm256_sub_pd(s, p)
#define CORX_ADD_AVX512(p, s) _mm512_add_pd(p, s)
#define CORX_SUB_AVX512(p, s) _mm512_sub_pd(s, p)

// Baseline x86-64 has SSE2: two doubles per vector, 16 registers.
CORX_MICRO_KERNEL(addSse2, "sse2", __m128d, 2, 4, 3, _mm_loadu_pd, _mm_storeu_pd, _mm_set1_pd, _mm_mul_pd,
                  CORX_ADD_SSE2)
CORX_MICRO_KERNEL(subSse2, "sse2", __m128d, 2, 4, 3, _mm_loadu_pd, _mm_storeu_pd, _mm_set1_pd, _mm_mul_pd,
                  CORX_SUB_SSE2)

// AVX2: four doubles per vector, 16 registers; 12 accumulators.
CORX_MICRO_KERNEL(addAvx2, "avx2", __m256d, 4, 6, 2, _mm256_loadu_pd, _mm256_storeu_pd, _mm256_set1_pd,
                  _mm256_mul_pd, CORX_ADD_AVX2)
CORX_MICRO_KERNEL(subAvx2, "avx2", __m256d, 4, 6, 2, _mm256_loadu_pd, _mm256_storeu_pd, _mm256_set1_pd,
                  _mm256_mul_pd, CORX_SUB_AVX2)

// AVX-512: eight doubles per vector, 32 registers; 24 accumulators.
CORX_MICRO_KERNEL(addAvx512, "avx512f", __m512d, 8, 8, 3, _mm512_loadu_pd, _mm512_storeu_pd, _mm512_set1_pd,
                  _mm512_mul_pd, CORX_ADD_AVX512)
CORX_MICRO_KERNEL(subAvx512, "avx512f", __m512d, 8, 8, 3, _mm512_loadu_pd, _mm512_storeu_pd, _mm512_set1_pd,
                  _mm512_mul_pd, CORX_SUB_AVX512)

}  // namespace

ProductKernel productKernelBaseline() noexcept { return {4, 6, addSse2, subSse2}; }
ProductKernel productKernelAvx2() noexcept { return {6, 8, addAvx2, subAvx2}; }
ProductKernel productKernelAvx512() noexcept { return {8, 24, addAvx512, subAvx512}; }

}  // namespace corx_internal::kernels
