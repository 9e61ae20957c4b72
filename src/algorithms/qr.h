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
// norm (or whose reflection vector's squared norm) is exactly 0.0 is not
// reflected. Raises nothing; NaN and infinities spread through q and r.
QrFactors qrDecompose(const Matrix& a);

}  // namespace corx_internal
