// SPDX-License-Identifier: BSD-3-Clause
// Exported solvers and decompositions: determinant, LU solve, Cholesky, QR
// and SVD.
//
// The public header declares the refinement flag of corx_matrix_lu_solve
// corx_matrix_lu_solve_many and corx_lu_solve_stack as a C bool. The definitions below take it
// as a one-byte unsigned integer so
// that only the low byte of the argument decides: a bool parameter lets the
// compiler assume the caller passed exactly 0 or 1, which a foreign-function
// caller passing a wider integer (256, say) does not guarantee. The header's
// bool declarations are renamed out of the way here so the two spellings of
// the same C symbol never meet in one translation unit; the calling
// convention of the two is identical.
#define corx_matrix_lu_solve corx_matrix_lu_solve_declared_with_bool
#define corx_matrix_lu_solve_many corx_matrix_lu_solve_many_declared_with_bool
#define corx_lu_solve_stack corx_lu_solve_stack_declared_with_bool
#include <corx/corx.h>
#undef corx_matrix_lu_solve
#undef corx_matrix_lu_solve_many
#undef corx_lu_solve_stack

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "algorithms/cholesky.h"
#include "algorithms/lu.h"
#include "algorithms/qr.h"
#include "algorithms/refine.h"
#include "algorithms/svd.h"
#include "c_api/boundary.h"
#include "c_api/handles.h"
#include "runtime/errors.h"
#include "types/matrix.h"

using corx_internal::guarded;
using corx_internal::Matrix;

namespace {

// The sweep limit and orthogonality tolerance of the exported SVD.
constexpr std::int64_t kSvdMaxSweeps = 60;
constexpr double kSvdTolerance = 1e-12;

}  // namespace

extern "C" {

CORX_API double corx_matrix_determinant(CorxMatrix m, int32_t* ok) {
    return guarded([&]() -> double {
        if (m == nullptr) {
            if (ok != nullptr) *ok = 0;
            return 0.0;
        }
        const Matrix& a = corx_internal::operand(m);
        if (a.rows != a.cols) {
            if (ok != nullptr) *ok = 0;
            return 0.0;
        }
        // Reported before the computation: a singular matrix is a result
        // (0.0), not a failure; det consumes luDecompose's error itself.
        if (ok != nullptr) *ok = 1;
        return corx_internal::det(a);
    });
}

CORX_API int32_t corx_matrix_lu_solve(CorxMatrix m, const double* b, int64_t b_length, double* x,
                                      int64_t x_length, uint8_t do_refine) {
    return guarded([&]() -> int32_t {
        if (x == nullptr || b == nullptr || m == nullptr) return -CORX_NULL_HANDLE;
        const Matrix& a = corx_internal::operand(m);
        if (a.rows != a.cols || b_length != a.rows) return -CORX_SHAPE_MISMATCH;
        if (x_length < b_length) return -CORX_BUFFER_TOO_SMALL;
        const std::vector<double> rhs = corx_internal::ptrToSeq(b, b_length);
        std::vector<double> solution;
        try {
            solution = corx_internal::solve(a, rhs, do_refine != 0);
        } catch (const corx_internal::ValueError&) {
            return -CORX_SINGULAR;  // singular: the error ends here and x stays untouched
        }
        for (std::size_t i = 0; i < solution.size(); ++i) x[i] = solution[i];
        return static_cast<int32_t>(solution.size());
    });
}

CORX_API int32_t corx_matrix_lu_solve_many(CorxMatrix m, const double* b, int64_t b_length, int32_t nrhs,
                                           double* x, int64_t x_length, uint8_t do_refine) {
    return guarded([&]() -> int32_t {
        if (x == nullptr || b == nullptr || m == nullptr) return -CORX_NULL_HANDLE;
        const Matrix& a = corx_internal::operand(m);
        // rows and nrhs are both below 2^31, so their product cannot wrap.
        if (a.rows != a.cols || nrhs < 1 || b_length != a.rows * static_cast<std::int64_t>(nrhs))
            return -CORX_SHAPE_MISMATCH;
        if (x_length < b_length) return -CORX_BUFFER_TOO_SMALL;
        const std::span<const double> rhs(b, static_cast<std::size_t>(b_length));
        // Straight into x, unless x and b share memory (a solve in place):
        // the refinement reads b again after x is written.
        const std::less<const double*> before;
        const bool apart = !before(x, b + b_length) || !before(b, x + b_length);
        try {
            if (apart) {
                corx_internal::solveManyInto(a, rhs, nrhs, do_refine != 0, x);
            } else {
                const std::vector<double> solution = corx_internal::solveMany(a, rhs, nrhs, do_refine != 0);
                std::copy(solution.begin(), solution.end(), x);
            }
        } catch (const corx_internal::ValueError&) {
            return -CORX_SINGULAR;  // singular: the error ends here and x stays untouched
        }
        return static_cast<int32_t>(a.rows);
    });
}

CORX_API int32_t corx_lu_solve_stack(int32_t n, int64_t count, const double* a, int64_t a_length, const double* b,
                                     int64_t b_length, int32_t nrhs, double* x, int64_t x_length, uint8_t do_refine,
                                     int64_t* singular_index) {
    return guarded([&]() -> int32_t {
        if (x == nullptr || b == nullptr || a == nullptr) return -CORX_NULL_HANDLE;
        if (n < 1 || nrhs < 1 || count < 0) return -CORX_SHAPE_MISMATCH;
        // n*n and n*nrhs are below 2^62; count times either must not wrap.
        const std::int64_t nn = static_cast<std::int64_t>(n) * n, nb = static_cast<std::int64_t>(n) * nrhs;
        if (count > INT64_MAX / nn || count > INT64_MAX / nb || a_length != count * nn || b_length != count * nb)
            return -CORX_SHAPE_MISMATCH;
        if (x_length < b_length) return -CORX_BUFFER_TOO_SMALL;
        const std::int64_t singular = corx_internal::solveStack(n, count, a, b, nrhs, x, do_refine != 0);
        if (singular >= 0) {
            if (singular_index != nullptr) *singular_index = singular;
            return -CORX_SINGULAR;
        }
        return n;
    });
}

CORX_API CorxMatrix corx_matrix_cholesky(CorxMatrix m) {
    return guarded([&]() -> CorxMatrix {
        if (m == nullptr) return nullptr;
        const Matrix& a = corx_internal::operand(m);
        if (a.rows != a.cols) return nullptr;
        Matrix l;
        try {
            l = corx_internal::cholesky(a);
        } catch (const corx_internal::ValueError&) {
            return nullptr;  // not symmetric or not positive definite
        }
        return corx_internal::pin(std::move(l));
    });
}

CORX_API CorxStatus corx_matrix_qr(CorxMatrix m, CorxMatrix* q_out, CorxMatrix* r_out) {
    return guarded([&]() -> CorxStatus {
        // One pointer for both outputs would lose one of the two new handles.
        if (q_out == nullptr || r_out == nullptr || m == nullptr || q_out == r_out) return CORX_NULL_HANDLE;
        const Matrix& a = corx_internal::operand(m);
        // Q is rows x rows: a tall operand can ask for more than a handle
        // may hold.
        if (a.rows < a.cols || a.rows * a.rows > corx_internal::kMaxElements) return CORX_SHAPE_MISMATCH;
        corx_internal::QrFactors f = corx_internal::qrDecompose(a);
        *q_out = corx_internal::pin(std::move(f.q));
        *r_out = corx_internal::pin(std::move(f.r));
        return CORX_SUCCESS;
    });
}

CORX_API CorxStatus corx_matrix_svd(CorxMatrix m, CorxMatrix* u_out, double* s, int64_t s_length,
                                    CorxMatrix* v_out) {
    return guarded([&]() -> CorxStatus {
        if (m == nullptr || s == nullptr || u_out == nullptr || v_out == nullptr || u_out == v_out)
            return CORX_NULL_HANDLE;
        const Matrix& a = corx_internal::operand(m);
        if (a.rows < a.cols) return CORX_SHAPE_MISMATCH;
        if (a.cols > s_length) return CORX_BUFFER_TOO_SMALL;
        // U is rows x cols like the operand and V cols x cols, no larger:
        // both fit a handle whenever the operand does.
        corx_internal::SvdFactors f = corx_internal::svdDecompose(a, kSvdMaxSweeps, kSvdTolerance);
        *u_out = corx_internal::pin(std::move(f.u));
        *v_out = corx_internal::pin(std::move(f.v));
        for (std::size_t j = 0; j < f.s.size(); ++j) s[j] = f.s[j];
        return CORX_SUCCESS;
    });
}

}  // extern "C"
