/* SPDX-License-Identifier: BSD-3-Clause */
// Reference Cholesky factorisation A = L*L^T, column by column (left
// looking), written straight from the prescribed order of operations on
// plain row-major arrays:
//   symmetry:  for i = 1 .. n-1, j = 0 .. i-1: A[i][j] == A[j][i] exactly,
//              the first pair that differs fails (a NaN never equals);
//   column j:  d = A[j][j] - L[j][0]^2 - ... - L[j][j-1]^2, one rounded
//              square subtracted at a time; d <= 0 fails at pivot j (a NaN
//              d passes); L[j][j] = sqrt(d);
//              for i = j+1 .. n-1: s = A[i][j] - L[j][0]*L[i][0] - ... -
//              L[j][j-1]*L[i][j-1], one rounded product at a time;
//              L[i][j] = s / L[j][j].
// The library routine must agree with it bit for bit, including which error
// it raises and for which pair or pivot.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/errors.h"
#include "types/matrix.h"

namespace corx_test {

inline corx_internal::Matrix referenceCholesky(const corx_internal::Matrix& a) {
    const std::int64_t n = a.rows;
    if (n <= 0) return corx_internal::initMatrix(n, n);
    const auto at = [n](std::int64_t i, std::int64_t j) { return static_cast<std::size_t>(i * n + j); };
    const std::vector<double> A(a.data.begin(), a.data.begin() + static_cast<std::ptrdiff_t>(n * n));

    for (std::int64_t i = 1; i < n; ++i) {
        for (std::int64_t j = 0; j < i; ++j) {
            if (!(A[at(i, j)] == A[at(j, i)])) {
                const std::string si = std::to_string(i), sj = std::to_string(j);
                throw corx_internal::ValueError("cholesky: matrix is not symmetric (a[" + si + "," + sj +
                                                "] != a[" + sj + "," + si + "])");
            }
        }
    }

    std::vector<double> L(static_cast<std::size_t>(n * n), 0.0);
    for (std::int64_t j = 0; j < n; ++j) {
        double d = A[at(j, j)];
        for (std::int64_t k = 0; k < j; ++k) {
            const double square = L[at(j, k)] * L[at(j, k)];
            d = d - square;
        }
        if (d <= 0.0) {
            throw corx_internal::ValueError("cholesky: matrix is not positive definite (pivot " +
                                            std::to_string(j) + ")");
        }
        L[at(j, j)] = std::sqrt(d);
        for (std::int64_t i = j + 1; i < n; ++i) {
            double s = A[at(i, j)];
            for (std::int64_t k = 0; k < j; ++k) {
                const double product = L[at(j, k)] * L[at(i, k)];
                s = s - product;
            }
            L[at(i, j)] = s / L[at(j, j)];
        }
    }
    return corx_internal::matrix(n, n, L);
}

}  // namespace corx_test
