/* SPDX-License-Identifier: BSD-3-Clause */
// Compressed-sparse-row matrix record.
//
// Invariants of every CsrMatrix the library makes: rowPtr has rows + 1
// entries, rowPtr[0] = 0 and never decreases; the entries of row i are
// those with index k, rowPtr[i] <= k < rowPtr[i+1], by strictly increasing
// column; no stored value is +0.0 or -0.0 (NaN is stored).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "types/matrix.h"

namespace corx_internal {

static_assert(kMaxElements <= INT32_MAX, "column indices are stored in 32 bits");

struct CsrMatrix {
    std::int64_t rows = 0;
    std::int64_t cols = 0;
    std::vector<double> values;
    // A column index fits 32 bits (cols never exceeds kMaxElements); the
    // narrower index leaves a quarter less to stream per entry.
    std::vector<std::int32_t> colIdx;
    std::vector<std::int64_t> rowPtr;
};

// Drops every element that compares equal to zero (+0.0 and -0.0).
CsrMatrix toCsr(const Matrix& m);

// Stored entries at their places, +0.0 elsewhere.
Matrix toDense(const CsrMatrix& s);

// y = s * x over the stored entries, x holding at least s.cols values. Each
// row sums from +0.0 in increasing entry order, x[col] * value, product and
// sum rounded separately; a row without entries gives +0.0.
std::vector<double> operator*(const CsrMatrix& s, std::span<const double> x);

// The same product written to y[0 .. s.rows-1]; x and y must not overlap.
void csrProduct(const CsrMatrix& s, const double* x, double* y);

}  // namespace corx_internal
