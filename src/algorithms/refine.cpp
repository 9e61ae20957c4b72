#include "algorithms/refine.h"

#include "algorithms/exactsum.h"
#include "runtime/memory.h"

namespace corx_internal {

std::vector<double> luSolve(const LuFactors& f, std::span<const double> b) {
    const Matrix& F = f.factors;
    const std::int64_t n = F.rows;
    std::vector<double> y(elementCount(n, 1), 0.0);

    for (std::int64_t i = 0; i < n; ++i)
        y[static_cast<std::size_t>(i)] = b[static_cast<std::size_t>(f.perm[static_cast<std::size_t>(i)])];

    // Unit lower factor: no division.
    for (std::int64_t i = 1; i < n; ++i) {
        double v = y[static_cast<std::size_t>(i)];
        for (std::int64_t k = 0; k < i; ++k) {
            const double product = F(i, k) * y[static_cast<std::size_t>(k)];
            v = v - product;
        }
        y[static_cast<std::size_t>(i)] = v;
    }

    for (std::int64_t i = n - 1; i >= 0; --i) {
        double v = y[static_cast<std::size_t>(i)];
        for (std::int64_t k = i + 1; k < n; ++k) {
            const double product = F(i, k) * y[static_cast<std::size_t>(k)];
            v = v - product;
        }
        y[static_cast<std::size_t>(i)] = v / F(i, i);
    }
    return y;
}

std::vector<double> refineOnce(const Matrix& a, const LuFactors& f, std::span<const double> b,
                               std::span<const double> x) {
    const std::vector<double> r = residual(a, b, x);
    const std::vector<double> d = luSolve(f, r);
    std::vector<double> refined(elementCount(a.rows, 1), 0.0);
    for (std::size_t i = 0; i < refined.size(); ++i) refined[i] = x[i] + d[i];
    return refined;
}

std::vector<double> solve(const Matrix& a, std::span<const double> b, bool doRefine) {
    const LuFactors f = luDecompose(a);
    std::vector<double> x = luSolve(f, b);
    if (doRefine) x = refineOnce(a, f, b, x);
    return x;
}

}  // namespace corx_internal
