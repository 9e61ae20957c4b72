// SPDX-License-Identifier: BSD-3-Clause
#include "types/sparse.h"

#include "kernels/kernel_set.h"
#include "runtime/memory.h"

namespace corx_internal {

CsrMatrix toCsr(const Matrix& m) {
    CsrMatrix s;
    s.rows = m.rows;
    s.cols = m.cols;
    s.rowPtr.assign(elementCount(m.rows, 1) + 1, 0);
    for (std::int64_t i = 0; i < m.rows; ++i) {
        s.rowPtr[static_cast<std::size_t>(i)] = static_cast<std::int64_t>(s.values.size());
        for (std::int64_t j = 0; j < m.cols; ++j) {
            const double x = m(i, j);
            if (x != 0.0) {
                s.values.push_back(x);
                s.colIdx.push_back(static_cast<std::int32_t>(j));
            }
        }
    }
    s.rowPtr[static_cast<std::size_t>(m.rows)] = static_cast<std::int64_t>(s.values.size());
    return s;
}

Matrix toDense(const CsrMatrix& s) {
    Matrix m = initMatrix(s.rows, s.cols);
    for (std::int64_t i = 0; i < s.rows; ++i) {
        for (std::int64_t k = s.rowPtr[static_cast<std::size_t>(i)]; k < s.rowPtr[static_cast<std::size_t>(i) + 1]; ++k) {
            m(i, s.colIdx[static_cast<std::size_t>(k)]) = s.values[static_cast<std::size_t>(k)];
        }
    }
    return m;
}

std::vector<double> operator*(const CsrMatrix& s, std::span<const double> x) {
    std::vector<double> y(elementCount(s.rows, 1), 0.0);
    csrProduct(s, x.data(), y.data());
    return y;
}

void csrProduct(const CsrMatrix& s, const double* x, double* y) {
    activeKernels().csrRows(s.rows, s.rowPtr.data(), s.colIdx.data(), s.values.data(), x, y);
}

}  // namespace corx_internal
