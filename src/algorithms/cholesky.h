/* SPDX-License-Identifier: BSD-3-Clause */
// Cholesky factorisation A = L*L^T of a symmetric positive-definite matrix,
// column by column (left-looking Cholesky-Crout).
#pragma once

#include "types/matrix.h"

namespace corx_internal {

// Lower triangular L (zeros above the diagonal) of the square matrix a.
// Symmetry is tested exactly before any arithmetic; raises ValueError
//   "cholesky: matrix is not symmetric (a[i,j] != a[j,i])" for the first
//   mismatching pair in row order (j < i), or
//   "cholesky: matrix is not positive definite (pivot j)" when the pivot of
//   column j is <= 0 (a NaN pivot is not caught and flows on).
// Only the lower triangle and the diagonal of a feed the arithmetic.
Matrix cholesky(const Matrix& a);

// The same without the symmetry test: the factor of the lower triangle, as
// the tiled factorisation needs for its diagonal tiles (their upper halves
// are never updated, and a NaN made by the updates never equals its mirror).
Matrix choleskyLower(const Matrix& a);

}  // namespace corx_internal
