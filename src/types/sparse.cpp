#include "types/sparse.h"

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
                s.colIdx.push_back(j);
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
    const std::int64_t* rp = s.rowPtr.data();
    const std::int64_t* ci = s.colIdx.data();
    const double* v = s.values.data();
    std::int64_t i = 0;
    // Four rows at a time: their sums are independent chains, advanced in
    // lock step for the entries all four have, then each finished alone.
    for (; i + 4 <= s.rows; i += 4) {
        const std::int64_t b0 = rp[i], b1 = rp[i + 1], b2 = rp[i + 2], b3 = rp[i + 3], e3 = rp[i + 4];
        std::int64_t n = b1 - b0;
        if (b2 - b1 < n) n = b2 - b1;
        if (b3 - b2 < n) n = b3 - b2;
        if (e3 - b3 < n) n = e3 - b3;
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        for (std::int64_t t = 0; t < n; ++t) {
            s0 = s0 + x[ci[b0 + t]] * v[b0 + t];
            s1 = s1 + x[ci[b1 + t]] * v[b1 + t];
            s2 = s2 + x[ci[b2 + t]] * v[b2 + t];
            s3 = s3 + x[ci[b3 + t]] * v[b3 + t];
        }
        for (std::int64_t k = b0 + n; k < b1; ++k) s0 = s0 + x[ci[k]] * v[k];
        for (std::int64_t k = b1 + n; k < b2; ++k) s1 = s1 + x[ci[k]] * v[k];
        for (std::int64_t k = b2 + n; k < b3; ++k) s2 = s2 + x[ci[k]] * v[k];
        for (std::int64_t k = b3 + n; k < e3; ++k) s3 = s3 + x[ci[k]] * v[k];
        y[i] = s0;
        y[i + 1] = s1;
        y[i + 2] = s2;
        y[i + 3] = s3;
    }
    for (; i < s.rows; ++i) {
        double sum = 0.0;
        for (std::int64_t k = rp[i]; k < rp[i + 1]; ++k) sum = sum + x[ci[k]] * v[k];
        y[i] = sum;
    }
}

}  // namespace corx_internal
