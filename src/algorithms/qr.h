/* SPDX-License-Identifier: BSD-3-Clause */
// Full QR decomposition by Householder reflections, Q accumulated
// explicitly.
#pragma once

#include "types/matrix.h"

namespace corx_internal {

// q: m x m orthogonal, the product of the reflections applied to the
// identity. r: m x n upper trapezoidal; below the diagonal of every
// reflected column exactly 0.0. No sign normalisation: a diagonal entry of
// r has the sign opposite to its column's leading entry at reflection time.
struct QrFactors {
    Matrix q;
    Matrix r;
};

// A = Q*R for a with rows >= cols (the caller ensures it). A column whose
// entries on and below the diagonal are all zero is not reflected; every
// other reflection is found from its column scaled by the power of two
// that brings the column's largest magnitude into [1/2, 1), so that no
// finite non-zero column is skipped because its squares underflow. The
// whole input is first scaled by 2^qrInputShift(a) and r scaled back at
// the end. Raises nothing; NaN and infinities spread through q and r.
QrFactors qrDecompose(const Matrix& a);

// The power of two qrDecompose scales a by: 0 unless a's largest finite
// magnitude could overflow the sums or its smallest non-zero one could
// underflow them; otherwise the one that puts the largest magnitude at the
// highest exponent free of overflow for a's row count.
int qrInputShift(const Matrix& a);

}  // namespace corx_internal
