// SPDX-License-Identifier: BSD-3-Clause
#include "algorithms/tiles.h"

#include <algorithm>

#include "algorithms/cholesky.h"
#include "kernels/kernel_set.h"
#include "kernels/product.h"
#include "runtime/memory.h"
#include "runtime/scratch.h"

namespace corx_internal {

namespace {

// Columns of X solved per block in choleskyBelow: the products of the
// earlier blocks go to the tiled product as one, the block's own columns
// one by one. 48 is a multiple of every kernel set's tile width, so the
// product runs no edge tiles across the block.
constexpr std::int64_t kBlock = 48;

}  // namespace

Matrix productContinue(const Matrix& c, const Matrix& a, const Matrix& b) {
    Matrix r = c;
    productAccumulate(a.data.data(), a.cols, b.data.data(), b.cols, r.data.data(), r.cols, a.rows, a.cols, b.cols);
    return r;
}

Matrix choleskyUpdate(const Matrix& c, const Matrix& a, const Matrix& b) {
    Matrix r = c;
    if (a.cols <= 0 || r.rows <= 0 || r.cols <= 0) return r;
    // The product takes its right operand row-major by k: b^T.
    const Matrix bt = transpose(b);
    productSubtract(activeKernels(), a.data.data(), a.cols, bt.data.data(), bt.cols, r.data.data(), r.cols,
                    r.rows, a.cols, r.cols);
    return r;
}

Matrix choleskyBelow(const Matrix& c, const Matrix& l) {
    Matrix x = c;
    const std::int64_t m = x.rows, n = x.cols;
    if (m <= 0 || n <= 0) return x;
    const KernelSet& kern = activeKernels();
    double* const xd = x.data.data();
    const Scratch ltBuffer(ScratchSlot::Work0, static_cast<std::int64_t>(elementCount(n, kBlock)));
    const Scratch wtBuffer(ScratchSlot::Work1, static_cast<std::int64_t>(elementCount(m, kBlock)));
    double* const lt = ltBuffer.data();  // l(s0.., 0..s0-1) transposed
    double* const wt = wtBuffer.data();  // the block's columns of x, each contiguous
    for (std::int64_t s0 = 0; s0 < n; s0 += kBlock) {
        const std::int64_t s1 = std::min(n, s0 + kBlock), sb = s1 - s0;
        // Columns before the block are final: their products, in
        // increasing k, as one tiled product.
        if (s0 > 0) {
            transposeInto(l.data.data() + s0 * n, n, lt, sb, sb, s0);
            productSubtract(kern, xd, n, lt, sb, xd + s0, n, m, s0, sb);
        }
        // Then the block's own earlier columns, one k at a time for all
        // rows (the rows are independent chains), and the division.
        transposeInto(xd + s0, n, wt, m, m, sb);
        for (std::int64_t j = s0; j < s1; ++j) {
            double* xj = wt + (j - s0) * m;
            for (std::int64_t k = s0; k < j; ++k) kern.subtractScaled(xj, wt + (k - s0) * m, l(j, k), m);
            const double pivot = l(j, j);
            for (std::int64_t i = 0; i < m; ++i) xj[i] = xj[i] / pivot;
        }
        transposeInto(wt, m, xd + s0, n, sb, m);
    }
    return x;
}

Matrix reversedTranspose(const Matrix& l) {
    const std::int64_t n = l.rows;
    Matrix r = initMatrix(n, n);
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t k = 0; k < n; ++k) r(i, k) = l(n - 1 - k, n - 1 - i);
    return r;
}

std::vector<double> choleskySolve(const Matrix& a, std::span<const double> b, std::int64_t nrhs,
                                  bool checkSymmetric) {
    const std::int64_t n = a.rows;
    const Matrix l = checkSymmetric ? cholesky(a) : choleskyLower(a);
    // Forward on the transposed right-hand sides: row c of b^T is a row
    // below the matrix in Cholesky's order, x(c, i) = y(i) of column c.
    Matrix bt = initMatrix(nrhs, n);
    transposeInto(b.data(), nrhs, bt.data.data(), n, n, nrhs);
    Matrix y = choleskyBelow(bt, l);
    // Back: the same with the unknowns in reverse order.
    for (std::int64_t c = 0; c < nrhs; ++c) std::reverse(y.data.begin() + c * n, y.data.begin() + (c + 1) * n);
    const Matrix x = choleskyBelow(y, reversedTranspose(l));
    std::vector<double> out(elementCount(n, nrhs), 0.0);
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t c = 0; c < nrhs; ++c) out[static_cast<std::size_t>(i * nrhs + c)] = x(c, n - 1 - i);
    return out;
}

}  // namespace corx_internal
