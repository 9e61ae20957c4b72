// Micro-kernels of the dense product, one per instruction set.
//
// A micro-kernel continues an MR x NR tile of sums over kc steps:
//     for k: c(r, j) = b[k*NR + j] * a[k*MR + r] + c(r, j)          (add)
//     for k: c(r, j) = c(r, j) - b[k*NR + j] * a[k*MR + r]          (subtract)
// with a and b packed panels (a: kc x MR, b: kc x NR) and c row-major with
// leading dimension ldc. Multiplication and addition are separate rounded
// operations; nothing is fused.
#pragma once

#include <cstdint>

namespace corx_internal::kernels {

using MicroKernel = void (*)(std::int64_t kc, const double* a, const double* b, double* c, std::int64_t ldc);

struct ProductKernel {
    int mr;
    int nr;
    MicroKernel add;
    MicroKernel subtract;
};

ProductKernel productKernelBaseline() noexcept;
ProductKernel productKernelAvx2() noexcept;
ProductKernel productKernelAvx512() noexcept;

}  // namespace corx_internal::kernels
