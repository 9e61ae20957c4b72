/* SPDX-License-Identifier: BSD-3-Clause */
// LU factorisation with partial pivoting (Doolittle, row exchanges) and the
// determinant built on it.
#pragma once

#include <cstdint>
#include <vector>

#include "types/matrix.h"

namespace corx_internal {

// Both triangular factors of a square matrix in one record.
//  - factors: strictly below the diagonal, the multipliers of the unit lower
//    factor L (its unit diagonal is implied); on and above it, U. Row i
//    holds what became of input row perm[i].
//  - perm: perm[i] is the input row standing in row i after all exchanges.
//  - sign: +1 or -1, the parity of the exchanges made.
struct LuFactors {
    Matrix factors;
    std::vector<std::int64_t> perm;
    std::int64_t sign = 1;
};

// Factorises the square matrix a (rows x rows, read row-major) into a new
// record; a itself is not changed. Raises ValueError
// "luDecompose: singular matrix" when a pivot column is exactly zero (NaN
// entries never win the pivot search). Every product, quotient and
// difference is rounded on its own, in the order of the loops below.
LuFactors luDecompose(const Matrix& a);

// The same into f, whose storage is reused: for loops over many small
// matrices. On ValueError f holds no factorisation.
void luDecomposeInto(const Matrix& a, LuFactors& f);

// Determinant: sign times the diagonal of U, multiplied left to right. A
// matrix that luDecompose finds singular gives +0.0; nothing is raised.
double det(const Matrix& a);

}  // namespace corx_internal
