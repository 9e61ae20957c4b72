// SPDX-License-Identifier: BSD-3-Clause
#include "types/sparse.h"

#include <algorithm>

#include "kernels/kernel_set.h"
#include "runtime/memory.h"
#include "runtime/parallel.h"

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
    const KernelSet& kern = activeKernels();
    // Rows are independent sums: parts of consecutive rows with about equal
    // numbers of entries (about 1 ns each; parts of 2^17) may run on
    // different threads.
    const std::int64_t nnz = s.rows > 0 ? s.rowPtr[static_cast<std::size_t>(s.rows)] : 0;
    const std::int64_t parts = std::min<std::int64_t>(s.rows, partsFor(static_cast<double>(nnz + s.rows), double(1 << 17)));
    if (parts <= 1) {
        kern.csrRows(s.rows, s.rowPtr.data(), s.colIdx.data(), s.values.data(), x, y);
        return;
    }
    const std::int64_t* rp = s.rowPtr.data();
    // First row of part i: the first whose entries start at or past i/parts
    // of them.
    auto firstRow = [&](std::int64_t i) -> std::int64_t {
        if (i >= parts) return s.rows;
        const std::int64_t target = (nnz + s.rows) / parts * i;
        std::int64_t lo = 0, hi = s.rows;
        while (lo < hi) {
            const std::int64_t mid = lo + (hi - lo) / 2;
            if (rp[mid] + mid < target) lo = mid + 1;
            else hi = mid;
        }
        return lo;
    };
    parallelFor(parts, [&](std::int64_t i) {
        const std::int64_t begin = firstRow(i), end = firstRow(i + 1);
        if (end > begin) kern.csrRows(end - begin, rp + begin, s.colIdx.data(), s.values.data(), x, y + begin);
    });
}

}  // namespace corx_internal
