// SPDX-License-Identifier: BSD-3-Clause
// Exported dense matrix functions: handles and arithmetic.
#include <corx/corx.h>

#include <cstdint>
#include <span>

#include "c_api/boundary.h"
#include "c_api/handles.h"
#include "types/matrix.h"

using corx_internal::guarded;
using corx_internal::Matrix;

using corx_internal::kMaxElements;

namespace {

// A position inside the handle's matrix, row and column widened first.
bool inRange(const CorxMatrixBox* h, std::int32_t row, std::int32_t col) {
    return row >= 0 && col >= 0 && static_cast<std::int64_t>(row) < h->value.rows &&
           static_cast<std::int64_t>(col) < h->value.cols;
}

}  // namespace

extern "C" {

CORX_API CorxMatrix corx_matrix_create(int32_t rows, int32_t cols) {
    return guarded([&]() -> CorxMatrix {
        if (rows <= 0 || cols <= 0) return nullptr;
        if (static_cast<std::int64_t>(rows) * cols > kMaxElements) return nullptr;
        return corx_internal::pin(corx_internal::initMatrix(rows, cols));
    });
}

CORX_API CorxMatrix corx_matrix_create_from_buffer(int32_t rows, int32_t cols, const double* data,
                                                    int64_t length) {
    return guarded([&]() -> CorxMatrix {
        if (data == nullptr || cols <= 0 || rows <= 0) return nullptr;
        const std::int64_t n = static_cast<std::int64_t>(rows) * cols;
        if (n > kMaxElements || length != n) return nullptr;
        // Copied once, straight into the new matrix.
        return corx_internal::pin(corx_internal::matrix(rows, cols, std::span<const double>(data, n)));
    });
}

CORX_API void corx_matrix_destroy(CorxMatrix m) { corx_internal::release(m); }

CORX_API int32_t corx_matrix_rows(CorxMatrix m) {
    return m == nullptr ? 0 : static_cast<int32_t>(static_cast<uint32_t>(m->value.rows));
}

CORX_API int32_t corx_matrix_cols(CorxMatrix m) {
    return m == nullptr ? 0 : static_cast<int32_t>(static_cast<uint32_t>(m->value.cols));
}

CORX_API double corx_matrix_get(CorxMatrix m, int32_t row, int32_t col) {
    if (m == nullptr || !inRange(m, row, col)) return 0.0;
    return m->value(row, col);
}

CORX_API void corx_matrix_set(CorxMatrix m, int32_t row, int32_t col, double value) {
    if (m == nullptr || !inRange(m, row, col)) return;
    m->value(row, col) = value;
}

CORX_API int32_t corx_matrix_get_buffer(CorxMatrix m, double* out, int64_t out_length) {
    if (out == nullptr || m == nullptr) return -CORX_NULL_HANDLE;
    const std::int64_t rows = m->value.rows, cols = m->value.cols;
    std::int64_t n = 0;
    if (__builtin_mul_overflow(rows, cols, &n) || n > kMaxElements) return -CORX_BUFFER_TOO_SMALL;
    if (out_length < n) return -CORX_BUFFER_TOO_SMALL;
    for (std::int64_t k = 0; k < n; ++k) out[k] = m->value.data[static_cast<std::size_t>(k)];
    return static_cast<int32_t>(n);
}

CORX_API CorxMatrix corx_matrix_add(CorxMatrix a, CorxMatrix b) {
    return guarded([&]() -> CorxMatrix {
        if (a == nullptr || b == nullptr) return nullptr;
        const Matrix& x = corx_internal::operand(a);
        const Matrix& y = corx_internal::operand(b);
        if (x.rows != y.rows || x.cols != y.cols) return nullptr;
        return corx_internal::pin(x + y);
    });
}

CORX_API CorxMatrix corx_matrix_sub(CorxMatrix a, CorxMatrix b) {
    return guarded([&]() -> CorxMatrix {
        if (a == nullptr || b == nullptr) return nullptr;
        const Matrix& x = corx_internal::operand(a);
        const Matrix& y = corx_internal::operand(b);
        if (x.rows != y.rows || x.cols != y.cols) return nullptr;
        return corx_internal::pin(x - y);
    });
}

CORX_API CorxMatrix corx_matrix_mul(CorxMatrix a, CorxMatrix b) {
    return guarded([&]() -> CorxMatrix {
        if (a == nullptr || b == nullptr) return nullptr;
        const Matrix& x = corx_internal::operand(a);
        const Matrix& y = corx_internal::operand(b);
        if (x.cols != y.rows) return nullptr;
        // Both counts fit in 31 bits, so the product cannot wrap.
        if (x.rows * y.cols > kMaxElements) return nullptr;
        return corx_internal::pin(x * y);
    });
}

CORX_API CorxMatrix corx_matrix_scale(CorxMatrix m, double factor) {
    return guarded([&]() -> CorxMatrix {
        if (m == nullptr) return nullptr;
        const Matrix& x = corx_internal::operand(m);
        return corx_internal::pin(x * factor);
    });
}

CORX_API CorxMatrix corx_matrix_transpose(CorxMatrix m) {
    return guarded([&]() -> CorxMatrix {
        if (m == nullptr) return nullptr;
        const Matrix& x = corx_internal::operand(m);
        return corx_internal::pin(corx_internal::transpose(x));
    });
}

CORX_API bool corx_matrix_almost_equal(CorxMatrix a, CorxMatrix b, double tolerance) {
    return guarded([&]() -> bool {
        if (a == nullptr || b == nullptr) return false;
        const Matrix& x = corx_internal::operand(a);
        const Matrix& y = corx_internal::operand(b);
        return corx_internal::almostEqual(x, y, tolerance);
    });
}

}
