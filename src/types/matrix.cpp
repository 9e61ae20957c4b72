// SPDX-License-Identifier: BSD-3-Clause
#include "types/matrix.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "kernels/kernel_set.h"
#include "kernels/product.h"
#include "runtime/memory.h"

namespace corx_internal {

Matrix::Matrix(Matrix&& other) noexcept
    : rows(std::exchange(other.rows, 0)), cols(std::exchange(other.cols, 0)), data(std::move(other.data)) {
    other.data.clear();
}

Matrix& Matrix::operator=(Matrix&& other) noexcept {
    if (this != &other) {
        rows = std::exchange(other.rows, 0);
        cols = std::exchange(other.cols, 0);
        data = std::move(other.data);
        other.data.clear();
    }
    return *this;
}

Matrix initMatrix(std::int64_t rows, std::int64_t cols) {
    Matrix m;
    m.data.assign(elementCount(rows, cols), 0.0);
    m.rows = rows;
    m.cols = cols;
    return m;
}

Matrix matrix(std::int64_t rows, std::int64_t cols, std::span<const double> values) {
    Matrix m = initMatrix(rows, cols);
    std::size_t n = values.size() < m.data.size() ? values.size() : m.data.size();
    for (std::size_t k = 0; k < n; ++k) m.data[k] = values[k];
    return m;
}

std::vector<double> ptrToSeq(const double* p, std::int64_t n) {
    std::vector<double> seq(elementCount(n, 1), 0.0);
    if (n != 0 && p != nullptr) {
        for (std::size_t k = 0; k < seq.size(); ++k) seq[k] = p[k];
    }
    return seq;
}

Matrix operator+(const Matrix& a, const Matrix& b) {
    Matrix r = initMatrix(a.rows, a.cols);
    for (std::size_t k = 0; k < r.data.size(); ++k) r.data[k] = a.data[k] + b.data[k];
    return r;
}

Matrix operator-(const Matrix& a, const Matrix& b) {
    Matrix r = initMatrix(a.rows, a.cols);
    for (std::size_t k = 0; k < r.data.size(); ++k) r.data[k] = a.data[k] - b.data[k];
    return r;
}

Matrix operator*(const Matrix& a, const Matrix& b) {
    const std::int64_t m = a.rows, p = a.cols, n = b.cols;
    Matrix r = initMatrix(m, n);
    if (m <= 0 || p <= 0 || n <= 0) return r;
    // Tiled and vectorised across columns; every element keeps its own
    // increasing-k sequence of rounded products and sums.
    productAccumulate(a.data.data(), p, b.data.data(), n, r.data.data(), n, m, p, n);
    return r;
}

Matrix operator*(const Matrix& a, double s) {
    Matrix r = initMatrix(a.rows, a.cols);
    for (std::size_t k = 0; k < r.data.size(); ++k) r.data[k] = a.data[k] * s;
    return r;
}

Matrix transpose(const Matrix& a) {
    Matrix r = initMatrix(a.cols, a.rows);
    transposeInto(a.data.data(), a.cols, r.data.data(), a.rows, a.rows, a.cols);
    return r;
}

void transposeInto(const double* src, std::int64_t lds, double* dst, std::int64_t ldd, std::int64_t rows,
                   std::int64_t cols) {
    // Tiles of a vector's width through registers (kernels/substitute.h);
    // below a tile of 8 x 8 the call costs more than it saves (a stack of
    // 4 x 4 systems transposes each leaf twice), and the elements go one
    // by one.
    if (rows >= 8 && cols >= 8) {
        activeKernels().transposeCopy(src, lds, dst, ldd, rows, cols);
        return;
    }
    constexpr std::int64_t kTile = 8;
    for (std::int64_t i0 = 0; i0 < rows; i0 += kTile)
        for (std::int64_t j0 = 0; j0 < cols; j0 += kTile) {
            const std::int64_t i1 = std::min(rows, i0 + kTile), j1 = std::min(cols, j0 + kTile);
            for (std::int64_t j = j0; j < j1; ++j)
                for (std::int64_t i = i0; i < i1; ++i) dst[j * ldd + i] = src[i * lds + j];
        }
}

bool almostEqual(const Matrix& a, const Matrix& b, double tolerance) {
    if (tolerance < 0.0 || std::isnan(tolerance) || tolerance == INFINITY) return false;
    if (a.rows != b.rows || a.cols != b.cols) return false;
    for (std::size_t k = 0; k < a.data.size(); ++k) {
        const double d = a.data[k] - b.data[k];
        if (std::isnan(d) || std::fabs(d) > tolerance) return false;
    }
    return true;
}

Matrix identity(std::int64_t n) {
    Matrix r = initMatrix(n, n);
    for (std::int64_t i = 0; i < n; ++i) r.data[static_cast<std::size_t>(i * (n + 1))] = 1.0;
    return r;
}

}  // namespace corx_internal
