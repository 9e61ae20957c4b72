/* SPDX-License-Identifier: BSD-3-Clause */
// Plain reference forms of the dense and sparse kernels, written as simply
// as possible from their definitions. Optimised kernels must agree with
// these bit for bit.
#pragma once

#include <cstdint>
#include <vector>

namespace corx_test {

// Row-major m x p times p x n: each element accumulated from +0.0 in
// increasing k, product then sum, each rounded.
inline std::vector<double> referenceProduct(const std::vector<double>& a, const std::vector<double>& b,
                                            std::int64_t m, std::int64_t p, std::int64_t n) {
    std::vector<double> r(static_cast<std::size_t>(m * n), 0.0);
    for (std::int64_t i = 0; i < m; ++i)
        for (std::int64_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (std::int64_t k = 0; k < p; ++k) {
                volatile double product = b[k * n + j] * a[i * p + k];
                sum = product + sum;
            }
            r[i * n + j] = sum;
        }
    return r;
}

// CSR product over the stored entries of a dense row-major matrix (entries
// that compare equal to zero are not stored).
inline std::vector<double> referenceSparseProduct(const std::vector<double>& dense, std::int64_t rows,
                                                  std::int64_t cols, const std::vector<double>& x) {
    std::vector<double> y(static_cast<std::size_t>(rows), 0.0);
    for (std::int64_t i = 0; i < rows; ++i) {
        double sum = 0.0;
        bool any = false;
        for (std::int64_t j = 0; j < cols; ++j) {
            double v = dense[i * cols + j];
            if (v == 0.0) continue;
            any = true;
            volatile double product = x[j] * v;
            sum = sum + product;
        }
        y[i] = any ? sum : 0.0;
    }
    return y;
}

}  // namespace corx_test
