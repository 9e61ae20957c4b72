/* SPDX-License-Identifier: BSD-3-Clause */
// Thin singular value decomposition by one-sided Jacobi rotations.
#pragma once

#include <cstdint>
#include <vector>

#include "types/matrix.h"

namespace corx_internal {

// A = U * diag(S) * V^T for an m x n matrix A with m >= n.
//  - u: m x n; column j is the rotated column j of A divided by s[j], or all
//    0.0 when s[j] is not positive.
//  - s: n singular values, non-negative, in descending order.
//  - v: n x n, the product of all rotations applied to the identity, its
//    columns permuted like s.
// No sign normalisation is made on the singular vectors.
struct SvdFactors {
    Matrix u;
    std::vector<double> s;
    Matrix v;
};

// Cyclic sweeps over all column pairs (p < q in row order), each pair
// rotated unless its columns are orthogonal within tol; stops after a
// sweep without rotation or after maxSweeps sweeps (no error either way).
// Then the column norms, the normalised columns and a selection sort into
// descending order (ties keep their order; a NaN is never chosen). All of
// it runs on a scaled by 2^svdInputShift(a); s is scaled back after the
// sort. Raises nothing; NaN and infinities spread into the outputs.
SvdFactors svdDecompose(const Matrix& a, std::int64_t maxSweeps, double tol);

// The power of two svdDecompose scales a by: 0 unless a's largest finite
// magnitude could overflow the sums of squares or its smallest non-zero
// one could underflow them; otherwise the one that puts the largest
// magnitude at the highest exponent free of overflow for a's size.
int svdInputShift(const Matrix& a);

}  // namespace corx_internal
