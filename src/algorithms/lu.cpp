#include "algorithms/lu.h"

#include <cmath>
#include <utility>

#include "runtime/errors.h"

namespace corx {

LuFactors luDecompose(const Matrix& a) {
    LuFactors f;
    f.factors = a;
    const std::int64_t n = a.rows;
    if (n > 0) f.perm.resize(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) f.perm[static_cast<std::size_t>(i)] = i;
    f.sign = 1;
    if (n <= 0) return f;

    Matrix& F = f.factors;
    for (std::int64_t k = 0; k < n; ++k) {
        // Pivot search: the strictly largest magnitude wins, so among equal
        // magnitudes the uppermost row stays. Comparisons with NaN are
        // false: a NaN below the diagonal is never chosen, and a NaN on the
        // diagonal keeps row k as the pivot row.
        std::int64_t p = k;
        double best = std::fabs(F(k, k));
        for (std::int64_t r = k + 1; r < n; ++r) {
            const double v = std::fabs(F(r, k));
            if (v > best) {
                p = r;
                best = v;
            }
        }
        // No tolerance: only an exactly zero pivot column is singular.
        if (best == 0.0) throw ValueError("luDecompose: singular matrix");

        if (p != k) {
            // Whole rows travel, multipliers to the left of column k included.
            for (std::int64_t j = 0; j < n; ++j) std::swap(F(k, j), F(p, j));
            std::swap(f.perm[static_cast<std::size_t>(k)], f.perm[static_cast<std::size_t>(p)]);
            f.sign = -f.sign;
        }
        const double pivot = F(k, k);
        if (k == n - 1) break;

        for (std::int64_t i = k + 1; i < n; ++i) {
            const double m = F(i, k) / pivot;
            F(i, k) = m;
            for (std::int64_t j = k + 1; j < n; ++j) {
                const double product = F(k, j) * m;
                F(i, j) = F(i, j) - product;
            }
        }
    }
    return f;
}

double det(const Matrix& a) {
    LuFactors f;
    try {
        f = luDecompose(a);
    } catch (const ValueError&) {
        // A singular matrix has determinant zero; the error ends here.
        return 0.0;
    }
    double result = static_cast<double>(f.sign);
    for (std::int64_t i = 0; i < f.factors.rows; ++i) result = result * f.factors(i, i);
    return result;
}

}  // namespace corx
