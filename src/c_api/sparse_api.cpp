// SPDX-License-Identifier: BSD-3-Clause
// Exported sparse (CSR) matrix functions.
#include <corx/corx.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "c_api/boundary.h"
#include "c_api/handles.h"
#include "types/sparse.h"

using corx_internal::guarded;

namespace {

// The product reports every failure with the null-handle code.
constexpr int32_t kMatvecFailed = -CORX_NULL_HANDLE;

// The first fault of CSR arrays, in the order corx.h documents.
int32_t csrFault(int32_t rows, int32_t cols, const int64_t* indptr, int64_t indptr_length,
                 const int32_t* indices, const double* data, int64_t nnz) {
    if (indptr == nullptr || (nnz > 0 && (indices == nullptr || data == nullptr))) return CORX_CSR_POINTER;
    if (rows < 1 || cols < 1 || nnz < 0 || nnz > corx_internal::kMaxElements ||
        indptr_length != static_cast<int64_t>(rows) + 1) {
        return CORX_CSR_LENGTH;
    }
    // The row pointers first: once they rise from 0 to nnz, every entry
    // index they give lies inside the arrays.
    if (indptr[0] != 0) return CORX_CSR_ROW_START;
    for (int32_t i = 0; i < rows; ++i) {
        if (indptr[i + 1] < indptr[i]) return CORX_CSR_ROW_ORDER;
    }
    if (indptr[rows] != nnz) return CORX_CSR_ROW_END;
    for (int32_t i = 0; i < rows; ++i) {
        for (int64_t k = indptr[i]; k < indptr[i + 1]; ++k) {
            if (indices[k] < 0 || indices[k] >= cols) return CORX_CSR_COLUMN_RANGE;
            if (k > indptr[i] && indices[k] <= indices[k - 1]) return CORX_CSR_COLUMN_ORDER;
        }
    }
    return CORX_CSR_VALID;
}

}  // namespace

extern "C" {

CORX_API CorxSparse corx_sparse_from_dense(CorxMatrix m) {
    return guarded([&]() -> CorxSparse {
        if (m == nullptr) return nullptr;
        const corx_internal::Matrix& dense = corx_internal::operand(m);
        return corx_internal::pinSparse(corx_internal::toCsr(dense));
    });
}

CORX_API CorxStatus corx_sparse_from_csr(int32_t rows, int32_t cols, const int64_t* indptr,
                                         int64_t indptr_length, const int32_t* indices,
                                         const double* data, int64_t nnz, CorxSparse* out,
                                         int32_t* fault) {
    if (out == nullptr) return CORX_NULL_HANDLE;
    *out = nullptr;
    const int32_t found = csrFault(rows, cols, indptr, indptr_length, indices, data, nnz);
    if (fault != nullptr) *fault = found;
    if (found != CORX_CSR_VALID) return found == CORX_CSR_POINTER ? CORX_NULL_HANDLE : CORX_SHAPE_MISMATCH;
    // The values are compared with zero in the library's environment (no
    // trap on a signalling NaN, whatever the caller enabled).
    *out = guarded([&]() -> CorxSparse {
        int64_t kept = 0;
        for (int64_t k = 0; k < nnz; ++k) kept += data[k] != 0.0 ? 1 : 0;
        corx_internal::CsrMatrix s;
        s.rows = rows;
        s.cols = cols;
        s.values.reserve(static_cast<std::size_t>(kept));
        s.colIdx.reserve(static_cast<std::size_t>(kept));
        s.rowPtr.assign(static_cast<std::size_t>(rows) + 1, 0);
        for (int32_t i = 0; i < rows; ++i) {
            s.rowPtr[static_cast<std::size_t>(i)] = static_cast<int64_t>(s.values.size());
            for (int64_t k = indptr[i]; k < indptr[i + 1]; ++k) {
                // Zeros of either sign are not entries, as from a dense matrix.
                if (data[k] == 0.0) continue;
                s.values.push_back(data[k]);
                s.colIdx.push_back(indices[k]);
            }
        }
        s.rowPtr[static_cast<std::size_t>(rows)] = static_cast<int64_t>(s.values.size());
        return corx_internal::pinSparse(std::move(s));
    });
    return CORX_SUCCESS;
}

CORX_API CorxMatrix corx_sparse_to_dense(CorxSparse s) {
    return guarded([&]() -> CorxMatrix {
        if (s == nullptr) return nullptr;
        const corx_internal::CsrMatrix& sparse = corx_internal::operand(s);
        // A matrix from CSR arrays may be too large for any dense handle.
        if (sparse.rows * sparse.cols > corx_internal::kMaxElements) return nullptr;
        return corx_internal::pin(corx_internal::toDense(sparse));
    });
}

CORX_API void corx_sparse_destroy(CorxSparse s) { corx_internal::release(s); }

CORX_API int32_t corx_sparse_nnz(CorxSparse s) {
    if (s == nullptr) return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(s->value.values.size()));
}

CORX_API int32_t corx_sparse_matvec(CorxSparse s, const double* x, int64_t x_length, double* y,
                                    int64_t y_length) {
    return guarded([&]() -> int32_t {
        if (y == nullptr || x == nullptr || s == nullptr) return kMatvecFailed;
        // x is copied only when it overlaps y, whose rows are written while
        // x is still read.
        const corx_internal::CsrMatrix& sparse = corx_internal::operand(s);
        if (x_length != sparse.cols) return kMatvecFailed;
        if (y_length < sparse.rows) return kMatvecFailed;
        const auto xb = reinterpret_cast<std::uintptr_t>(x), yb = reinterpret_cast<std::uintptr_t>(y);
        const bool overlap = xb < yb + static_cast<std::uintptr_t>(sparse.rows) * sizeof(double) &&
                             yb < xb + static_cast<std::uintptr_t>(x_length) * sizeof(double);
        if (overlap) {
            const std::vector<double> xs = corx_internal::ptrToSeq(x, x_length);
            corx_internal::csrProduct(sparse, xs.data(), y);
        } else {
            corx_internal::csrProduct(sparse, x, y);
        }
        return static_cast<int32_t>(sparse.rows);
    });
}

}
