/* SPDX-License-Identifier: BSD-3-Clause */
// Exact residuals: b[i] - sum_j A[i][j]*x[j] with a single rounding, built
// on the exact accumulator (see kernels/exact_accumulator.h for what is
// kept and how the one rounding is made).
#pragma once

#include <span>
#include <vector>

#include "kernels/exact_accumulator.h"
#include "types/matrix.h"

namespace corx_internal {

// r[i] = b[i] - (A[i][0]*x[0] + ... + A[i][cols-1]*x[cols-1]) for every row,
// each computed exactly and rounded once. A row satisfied exactly gives
// -0.0. b holds at least rows values, x at least cols.
std::vector<double> residual(const Matrix& a, std::span<const double> b, std::span<const double> x);

// The same into r, which holds at least rows values.
void residualInto(const Matrix& a, std::span<const double> b, std::span<const double> x, std::span<double> r);

// residualInto for several systems at once, each row the bits residualInto
// gives it: the short rows of small systems share the vector lanes.
struct ResidualSystem {
    const Matrix* a;
    std::span<const double> b;
    std::span<const double> x;
    std::span<double> r;
};
void residualsInto(std::span<const ResidualSystem> systems);

}  // namespace corx_internal
