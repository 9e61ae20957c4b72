/* SPDX-License-Identifier: BSD-3-Clause */
// Solving square systems with LU factors, and one step of iterative
// refinement on an exactly computed residual.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "algorithms/lu.h"
#include "types/matrix.h"

namespace corx_internal {

// Solves L*U*y = P*b with the factors of f: b permuted by f.perm, forward
// substitution with the unit lower factor, back substitution with U. Each
// product, difference and quotient is rounded on its own, sums in
// increasing column order. b holds at least n values (n = rows of
// f.factors); the result is a new sequence of n values.
std::vector<double> luSolve(const LuFactors& f, std::span<const double> b);

// One refinement step: r = b - a*x computed exactly and rounded once per
// row, d = luSolve(f, r), result x[i] + d[i]. No convergence test.
std::vector<double> refineOnce(const Matrix& a, const LuFactors& f, std::span<const double> b,
                               std::span<const double> x);

// Solves a*x = b for a square a; with doRefine, exactly one refinement step
// follows, its residual taken against a itself. Raises ValueError
// "luDecompose: singular matrix" for a singular a.
std::vector<double> solve(const Matrix& a, std::span<const double> b, bool doRefine);

// Solves a*X = B for nrhs >= 1 right-hand sides with one factorisation. B
// and the result are n x nrhs, row-major (B[i*nrhs + j] is row i of column
// j). Column j of the result is bit for bit solve(a, column j of B,
// doRefine): the same luSolve and, with doRefine, the same refinement step,
// whichever thread takes the column. Raises ValueError
// "luDecompose: singular matrix" for a singular a.
std::vector<double> solveMany(const Matrix& a, std::span<const double> b, std::int64_t nrhs, bool doRefine);

// The same into x (n*nrhs values, not overlapping b), written only once
// the factorisation has succeeded.
void solveManyInto(const Matrix& a, std::span<const double> b, std::int64_t nrhs, bool doRefine, double* x);

// Solves count independent systems: for s in [0, count), the n x n matrix
// at a + s*n*n with the n x nrhs right-hand sides at b + s*n*nrhs, the
// result written to x + s*n*nrhs, each bit for bit solveMany of that
// system. Systems are shared out among the threads whole. Returns -1, or
// the lowest s whose matrix is singular; then the solutions of other
// systems may have been written, that system's are not.
std::int64_t solveStack(std::int64_t n, std::int64_t count, const double* a, const double* b, std::int64_t nrhs,
                        double* x, bool doRefine);

}  // namespace corx_internal
