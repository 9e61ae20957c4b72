/* SPDX-License-Identifier: BSD-3-Clause */
// The steps of the tiled product and the tiled Cholesky factorisation and
// solve. Each continues the prescribed chains of the single call: an
// element's operations are those the whole-matrix routine gives it, in the
// same order, so a caller that feeds the tiles in the documented order gets
// the single call's bits whatever the tile sizes (and whatever machine or
// process computes each tile).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "types/matrix.h"

namespace corx_internal {

// c + a*b: for k = 0 .. p-1 in increasing order, r(i,j) = b(k,j)*a(i,k) +
// r(i,j), starting from c(i,j) (the product's order; a*b is this applied to
// a c of +0.0). Shapes: a m x p, b p x n, c m x n (ensured by the caller).
Matrix productContinue(const Matrix& c, const Matrix& a, const Matrix& b);

// c - a*b^T: for k = 0 .. p-1 in increasing order, r(i,j) = r(i,j) -
// b(j,k)*a(i,k), starting from c(i,j) (Cholesky's update of an entry by
// earlier columns). Shapes: a m x p, b n x p, c m x n.
Matrix choleskyUpdate(const Matrix& c, const Matrix& a, const Matrix& b);

// X with X*L^T = c in Cholesky's order, column by column:
//     x(i,j) = (c(i,j) - x(i,0)*l(j,0) - ... - x(i,j-1)*l(j,j-1)) / l(j,j),
// each product and difference rounded on its own. Only the lower triangle
// and the diagonal of l are read. Shapes: c m x n, l n x n.
Matrix choleskyBelow(const Matrix& c, const Matrix& l);

// The solution X of a*X = b (b n x nrhs, row-major) through L = cholesky(a)
// (ValueError as cholesky raises), then
//     forward: y(i) = (b(i) - L(i,0)*y(0) - ... - L(i,i-1)*y(i-1)) / L(i,i)
//     back:    x(i) = (y(i) - L(n-1,i)*x(n-1) - ... - L(i+1,i)*x(i+1)) / L(i,i)
// per column, products subtracted one at a time in the order written
// (increasing k forward, decreasing k back). checkSymmetric as cholesky.
std::vector<double> choleskySolve(const Matrix& a, std::span<const double> b, std::int64_t nrhs,
                                  bool checkSymmetric = true);

// The back substitution as a forward one: the n x n lower triangular M with
// M(i,k) = l(n-1-k, n-1-i) (l transposed and turned half a turn), so that
// the back chain of unknown i is the forward chain of unknown n-1-i with M.
Matrix reversedTranspose(const Matrix& l);

}  // namespace corx_internal
