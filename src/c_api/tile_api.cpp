// SPDX-License-Identifier: BSD-3-Clause
// Exported steps of the tiled product and the tiled Cholesky factorisation
// and solve, and the single Cholesky solve they reproduce.
#include <corx/corx.h>

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "algorithms/cholesky.h"
#include "algorithms/tiles.h"
#include "c_api/boundary.h"
#include "c_api/handles.h"
#include "runtime/errors.h"
#include "types/matrix.h"

using corx_internal::guarded;
using corx_internal::Matrix;

extern "C" {

CORX_API CorxMatrix corx_matrix_mul_add(CorxMatrix c, CorxMatrix a, CorxMatrix b) {
    return guarded([&]() -> CorxMatrix {
        if (c == nullptr || a == nullptr || b == nullptr) return nullptr;
        const Matrix& x = corx_internal::operand(a);
        const Matrix& y = corx_internal::operand(b);
        const Matrix& z = corx_internal::operand(c);
        if (x.cols != y.rows || z.rows != x.rows || z.cols != y.cols) return nullptr;
        // The result has c's shape, which a handle already holds.
        return corx_internal::pin(corx_internal::productContinue(z, x, y));
    });
}

CORX_API CorxMatrix corx_matrix_mul_sub_t(CorxMatrix c, CorxMatrix a, CorxMatrix b) {
    return guarded([&]() -> CorxMatrix {
        if (c == nullptr || a == nullptr || b == nullptr) return nullptr;
        const Matrix& x = corx_internal::operand(a);
        const Matrix& y = corx_internal::operand(b);
        const Matrix& z = corx_internal::operand(c);
        if (x.cols != y.cols || z.rows != x.rows || z.cols != y.rows) return nullptr;
        return corx_internal::pin(corx_internal::choleskyUpdate(z, x, y));
    });
}

CORX_API CorxMatrix corx_matrix_cholesky_lower(CorxMatrix m) {
    return guarded([&]() -> CorxMatrix {
        if (m == nullptr) return nullptr;
        const Matrix& a = corx_internal::operand(m);
        if (a.rows != a.cols) return nullptr;
        Matrix l;
        try {
            l = corx_internal::choleskyLower(a);
        } catch (const corx_internal::ValueError&) {
            return nullptr;  // a pivot <= 0
        }
        return corx_internal::pin(std::move(l));
    });
}

CORX_API CorxMatrix corx_matrix_cholesky_below(CorxMatrix c, CorxMatrix l) {
    return guarded([&]() -> CorxMatrix {
        if (c == nullptr || l == nullptr) return nullptr;
        const Matrix& x = corx_internal::operand(c);
        const Matrix& y = corx_internal::operand(l);
        if (y.rows != y.cols || x.cols != y.rows) return nullptr;
        return corx_internal::pin(corx_internal::choleskyBelow(x, y));
    });
}

CORX_API int32_t corx_matrix_cholesky_solve(CorxMatrix m, const double* b, int64_t b_length, int32_t nrhs,
                                            double* x, int64_t x_length) {
    return guarded([&]() -> int32_t {
        if (x == nullptr || b == nullptr || m == nullptr) return -CORX_NULL_HANDLE;
        const Matrix& a = corx_internal::operand(m);
        // rows and nrhs are both below 2^31, so their product cannot wrap.
        if (a.rows != a.cols || nrhs < 1 || b_length != a.rows * static_cast<std::int64_t>(nrhs))
            return -CORX_SHAPE_MISMATCH;
        if (x_length < b_length) return -CORX_BUFFER_TOO_SMALL;
        std::vector<double> solution;
        try {
            solution = corx_internal::choleskySolve(
                a, std::span<const double>(b, static_cast<std::size_t>(b_length)), nrhs);
        } catch (const corx_internal::ValueError&) {
            return -CORX_NOT_SPD;  // nothing written
        }
        for (std::size_t i = 0; i < solution.size(); ++i) x[i] = solution[i];
        return static_cast<int32_t>(a.rows);
    });
}

}  // extern "C"
