// Plain column-by-column Cholesky, exactly in the prescribed loop order.
// The blocked library routine must agree with it bit for bit, including
// which error it raises and for which pivot.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "runtime/errors.h"
#include "types/matrix.h"

namespace corx_test {

using corx_internal::Matrix;
using corx_internal::ValueError;
using corx_internal::initMatrix;

inline Matrix referenceCholesky(const Matrix& a) {
    const std::int64_t n = a.rows;
    if (n <= 0) return initMatrix(n, n);

    for (std::int64_t i = 1; i < n; ++i) {
        for (std::int64_t j = 0; j < i; ++j) {
            // No tolerance: a NaN never equals its mirror.
            if (!(a(i, j) == a(j, i))) {
                const std::string si = std::to_string(i), sj = std::to_string(j);
                throw ValueError("cholesky: matrix is not symmetric (a[" + si + "," + sj + "] != a[" + sj +
                                 "," + si + "])");
            }
        }
    }

    Matrix L = initMatrix(n, n);
    for (std::int64_t j = 0; j < n; ++j) {
        double d = a(j, j);
        for (std::int64_t k = 0; k < j; ++k) {
            volatile double square = L(j, k) * L(j, k);
            d = d - square;
        }
        if (d <= 0.0) throw ValueError("cholesky: matrix is not positive definite (pivot " + std::to_string(j) + ")");
        L(j, j) = std::sqrt(d);

        for (std::int64_t i = j + 1; i < n; ++i) {
            double s = a(i, j);
            for (std::int64_t k = 0; k < j; ++k) {
                volatile double product = L(j, k) * L(i, k);
                s = s - product;
            }
            L(i, j) = s / L(j, j);
        }
    }
    return L;
}

}  // namespace corx_test
