// SPDX-License-Identifier: BSD-3-Clause
// Exported sparse (CSR) matrix functions.
#include <corx/corx.h>

#include <cstdint>
#include <vector>

#include "c_api/boundary.h"
#include "c_api/handles.h"
#include "types/sparse.h"

using corx_internal::guarded;

namespace {

// The product reports every failure with the null-handle code.
constexpr int32_t kMatvecFailed = -CORX_NULL_HANDLE;

}  // namespace

extern "C" {

CORX_API CorxSparse corx_sparse_from_dense(CorxMatrix m) {
    return guarded([&]() -> CorxSparse {
        if (m == nullptr) return nullptr;
        const corx_internal::Matrix& dense = corx_internal::operand(m);
        return corx_internal::pinSparse(corx_internal::toCsr(dense));
    });
}

CORX_API CorxMatrix corx_sparse_to_dense(CorxSparse s) {
    return guarded([&]() -> CorxMatrix {
        if (s == nullptr) return nullptr;
        const corx_internal::CsrMatrix& sparse = corx_internal::operand(s);
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
