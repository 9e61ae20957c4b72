// Kernel of the compressed-sparse-row product y = S*x.
//
// Row i's sum runs over its stored entries in increasing position k, from
// +0.0, one rounded product and one rounded sum per step:
//     sum = sum + x[colIdx[k]] * values[k]
// Four rows advance in lock step (independent chains) for the entries all
// four have, then each finishes alone; the loads of x are indirect, so the
// rows are not put in vectors.
#pragma once

#include <cstdint>

namespace corx_internal::kernels {

[[gnu::always_inline]] inline void csrRows(std::int64_t rows, const std::int64_t* rp, const std::int64_t* ci,
                                           const double* v, const double* x, double* y) {
    std::int64_t i = 0;
    for (; i + 4 <= rows; i += 4) {
        const std::int64_t b0 = rp[i], b1 = rp[i + 1], b2 = rp[i + 2], b3 = rp[i + 3], e3 = rp[i + 4];
        std::int64_t n = b1 - b0;
        if (b2 - b1 < n) n = b2 - b1;
        if (b3 - b2 < n) n = b3 - b2;
        if (e3 - b3 < n) n = e3 - b3;
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        for (std::int64_t t = 0; t < n; ++t) {
            s0 = s0 + x[ci[b0 + t]] * v[b0 + t];
            s1 = s1 + x[ci[b1 + t]] * v[b1 + t];
            s2 = s2 + x[ci[b2 + t]] * v[b2 + t];
            s3 = s3 + x[ci[b3 + t]] * v[b3 + t];
        }
        for (std::int64_t k = b0 + n; k < b1; ++k) s0 = s0 + x[ci[k]] * v[k];
        for (std::int64_t k = b1 + n; k < b2; ++k) s1 = s1 + x[ci[k]] * v[k];
        for (std::int64_t k = b2 + n; k < b3; ++k) s2 = s2 + x[ci[k]] * v[k];
        for (std::int64_t k = b3 + n; k < e3; ++k) s3 = s3 + x[ci[k]] * v[k];
        y[i] = s0;
        y[i + 1] = s1;
        y[i + 2] = s2;
        y[i + 3] = s3;
    }
    for (; i < rows; ++i) {
        double sum = 0.0;
        for (std::int64_t k = rp[i]; k < rp[i + 1]; ++k) sum = sum + x[ci[k]] * v[k];
        y[i] = sum;
    }
}

}  // namespace corx_internal::kernels
