#include "algorithms/cholesky.h"

#include <cmath>
#include <string>

#include "runtime/errors.h"

namespace corx {

Matrix cholesky(const Matrix& a) {
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
            const double square = L(j, k) * L(j, k);
            d = d - square;
        }
        if (d <= 0.0) throw ValueError("cholesky: matrix is not positive definite (pivot " + std::to_string(j) + ")");
        L(j, j) = std::sqrt(d);

        for (std::int64_t i = j + 1; i < n; ++i) {
            double s = a(i, j);
            for (std::int64_t k = 0; k < j; ++k) {
                const double product = L(j, k) * L(i, k);
                s = s - product;
            }
            L(i, j) = s / L(j, j);
        }
    }
    return L;
}

}  // namespace corx
