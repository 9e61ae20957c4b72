// One-sided Jacobi rotations, many column pairs side by side.
#pragma once

#include <cstdint>

#include "runtime/cpu.h"

namespace corx_internal {

// A rotation of rows p and q of a row-major matrix by (c, s).
struct JacobiRotation {
    std::int64_t p, q;
    double c, s;
};

struct JacobiKernels {
    // One pass over the rows of w (m rows, row stride ld) for the pairs of
    // columns on anti-diagonal d: lane i is the pair (p0+i, d-p0-i), for
    // i = 0 .. count-1. For every row r = 0 .. m-1 in increasing order:
    //  1. every lane i with rotate[i] != 0 rotates its pair by (c[i], s[i]):
    //       wp = w[r][p], wq = w[r][q] (both read first)
    //       w[r][p] = wp*c - wq*s,  w[r][q] = wp*s + wq*c
    //     (the four products rounded, then the difference and the sum);
    //     lanes with rotate[i] == 0 leave their columns untouched, bits and
    //     all;
    //  2. then every lane i adds row r of the pair (p0+i, d+1-p0-i) of the
    //     next anti-diagonal to its three running sums, starting from +0.0:
    //       alpha[i] = alpha[i] + wp*wp,  beta[i] = beta[i] + wq*wq,
    //       gamma[i] = gamma[i] + wp*wq   (each product and sum rounded).
    // A lane's sums therefore see the rotations of lanes i and i-1 of this
    // pass (the only ones of this anti-diagonal that touch its columns).
    // Only lanes with want[i] != 0 are sure to get their sums: a run of
    // lanes none of which rotates or wants its sums is skipped.
    // Lanes whose pair is not a valid pair of columns must have rotate[i]
    // == 0 (their sums are meaningless). The pass may run up to 7 lanes
    // before lane 0 and after lane count-1 as such lanes (so that its
    // vectors of p columns start on multiples of the lane count), which
    // read and write back their columns unchanged. The caller guarantees
    // that no two rotated pairs share a column, that columns p0-7 ..
    // p0+count+7 and d-p0-count-7 .. d+1-p0+7 of every row are addressable
    // (padding), that c, s and rotate are readable and alpha, beta and
    // gamma writable from lane -7 to lane count+7, with rotate zero outside
    // 0 .. count-1 and want readable over the same lanes.
    void (*diagonalPass)(double* w, std::int64_t ld, std::int64_t m, std::int64_t d, std::int64_t p0,
                         std::int64_t count, const double* c, const double* s, const std::int64_t* rotate,
                         const std::int64_t* want, double* alpha, double* beta, double* gamma);

    // Applies count rotations in order to the first `width` columns of x
    // (row stride ld): for each rotation, for every column j,
    //   xp = x[p][j], xq = x[q][j];  x[p][j] = xp*c - xq*s,  x[q][j] = xp*s + xq*c
    // with the same rounded operations as above (p != q).
    void (*rotateRowPairs)(double* x, std::int64_t ld, std::int64_t width, const JacobiRotation* rotations,
                           std::int64_t count);
};

// The kernels for one instruction set; every set gives the same bits.
JacobiKernels jacobiKernels(Isa isa);

}  // namespace corx_internal
