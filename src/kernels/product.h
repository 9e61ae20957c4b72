/* SPDX-License-Identifier: BSD-3-Clause */
// Register-tiled dense product.
//
// Each element of r continues its own sum in increasing k, one product and
// one sum per step, each rounded on its own: for k = 0 .. p-1,
//     r(i,j) = b(k,j)*a(i,k) + r(i,j).
// Only the order in which independent elements advance differs from the
// plain i,k,j loop, so the bits are the same on every instruction set.
// This file is the framework (blocking, packing, edge tiles); the kernel
// set supplies the micro-kernel (kernels/product_kernels.h).
#pragma once

#include <cstdint>

#include "kernels/kernel_set.h"

namespace corx_internal {

// a: m x p, b: p x n, r: m x n, all row-major with leading dimensions lda,
// ldb, ldr. r holds the sums to continue (+0.0 for a fresh product).
// Uses the kernels of activeKernels().
void productAccumulate(const double* a, std::int64_t lda, const double* b, std::int64_t ldb, double* r,
                       std::int64_t ldr, std::int64_t m, std::int64_t p, std::int64_t n);

// The same with the micro-kernel of a given kernel set.
void productAccumulate(const KernelSet& kern, const double* a, std::int64_t lda, const double* b, std::int64_t ldb,
                       double* r, std::int64_t ldr, std::int64_t m, std::int64_t p, std::int64_t n);

// Elimination update: for k = 0 .. p-1 in increasing order,
//     r(i,j) = r(i,j) - b(k,j)*a(i,k),
// product and difference each rounded.
void productSubtract(const KernelSet& kern, const double* a, std::int64_t lda, const double* b, std::int64_t ldb,
                     double* r, std::int64_t ldr, std::int64_t m, std::int64_t p, std::int64_t n);

}  // namespace corx_internal
