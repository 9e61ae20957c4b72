/* SPDX-License-Identifier: BSD-3-Clause */
// Dense matrix record: rows x cols doubles in row-major order.
//
// A Matrix is a value: copying duplicates the elements, moving hands the
// storage over and leaves the source empty. Element (i, j) is
// data[i * cols + j].
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace corx_internal {

// The most elements a matrix handle may hold: element counts cross the C
// interface as int32_t.
inline constexpr std::int64_t kMaxElements = 2147483647;

struct Matrix {
    std::int64_t rows = 0;
    std::int64_t cols = 0;
    std::vector<double> data;

    Matrix() = default;
    Matrix(const Matrix&) = default;
    Matrix& operator=(const Matrix&) = default;
    Matrix(Matrix&& other) noexcept;
    Matrix& operator=(Matrix&& other) noexcept;

    double& operator()(std::int64_t i, std::int64_t j) { return data[static_cast<std::size_t>(i * cols + j)]; }
    double operator()(std::int64_t i, std::int64_t j) const { return data[static_cast<std::size_t>(i * cols + j)]; }
};

// rows x cols matrix of +0.0. Dimensions must be non-negative; a size that
// cannot be represented takes the out-of-memory path.
Matrix initMatrix(std::int64_t rows, std::int64_t cols);

// rows x cols matrix of +0.0 whose data then receives values from index 0 on
// (as many as values holds, at most rows * cols).
Matrix matrix(std::int64_t rows, std::int64_t cols, std::span<const double> values);

// n doubles, all +0.0; when n > 0 and p is not null, a copy of p[0..n-1].
std::vector<double> ptrToSeq(const double* p, std::int64_t n);

// Element-wise sum and difference; the caller ensures equal shapes.
Matrix operator+(const Matrix& a, const Matrix& b);
Matrix operator-(const Matrix& a, const Matrix& b);

// Matrix product, a.cols == b.rows ensured by the caller. Each element is
// accumulated from +0.0 in increasing k: r(i,j) = b(k,j)*a(i,k) + r(i,j),
// product and sum rounded separately, no factor skipped.
Matrix operator*(const Matrix& a, const Matrix& b);

// Every element times s.
Matrix operator*(const Matrix& a, double s);

// The transpose, bits copied unchanged.
Matrix transpose(const Matrix& a);

// dst[j * ldd + i] = src[i * lds + j] for i < rows, j < cols: a rows x cols
// block copied transposed, bits unchanged, in square tiles so that neither
// side is walked a whole column at a time. The blocks must not overlap.
void transposeInto(const double* src, std::int64_t lds, double* dst, std::int64_t ldd, std::int64_t rows,
                   std::int64_t cols);

// True when tolerance is finite and >= 0, shapes match and every difference
// a - b is not NaN and has magnitude <= tolerance.
bool almostEqual(const Matrix& a, const Matrix& b, double tolerance);

// n x n identity (n >= 0).
Matrix identity(std::int64_t n);

}  // namespace corx_internal
