/* SPDX-License-Identifier: BSD-3-Clause */
// Kernel of the compressed-sparse-row product y = S*x.
//
// Row i's sum runs over its stored entries in increasing position k, from
// +0.0, one rounded product and one rounded sum per step:
//     sum = sum + x[colIdx[k]] * values[k]
// The rows are independent chains, taken one after the other: the
// processor's out-of-order window already overlaps the chain of one row
// with the next one's (measured faster than running several rows in lock
// step, whose uneven lengths cost extra branches). Within a row two
// products are formed ahead of their two sums, which halves the loop's
// overhead; the sums still come one at a time in entry order. The loads of
// x are indirect, so nothing here is put in vectors and one instance
// serves every instruction set.
#pragma once

#include <cstdint>

namespace corx_internal::kernels {

[[gnu::always_inline]] inline void csrRows(std::int64_t rows, const std::int64_t* rp, const std::int32_t* ci,
                                           const double* v, const double* x, double* y) {
    std::int64_t b = rows > 0 ? rp[0] : 0;
    for (std::int64_t i = 0; i < rows; ++i) {
        const std::int64_t e = rp[i + 1];
        double sum = 0.0;
        std::int64_t k = b;
        for (; k + 2 <= e; k += 2) {
            const double p0 = x[ci[k]] * v[k];
            const double p1 = x[ci[k + 1]] * v[k + 1];
            sum = sum + p0;
            sum = sum + p1;
        }
        if (k < e) sum = sum + x[ci[k]] * v[k];
        y[i] = sum;
        b = e;
    }
}

}  // namespace corx_internal::kernels
