// SPDX-License-Identifier: BSD-3-Clause
#include "algorithms/lu.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "kernels/kernel_set.h"
#include "kernels/product.h"
#include "runtime/errors.h"
#include "runtime/parallel.h"
#include "runtime/scratch.h"

namespace corx_internal {

namespace {

// Below this many rows or columns the recursions below use plain loops.
constexpr std::int64_t kLeaf = 16;

// Elements a part of a leaf's row exchanges must move to repay handing it
// to another thread.
constexpr double kSwapPartWork = double(1 << 14);

// Rows [r0, r1), columns [c0, c1) of the n x n working matrix f: every row
// i receives F(i,j) = F(i,j) - F(k,j)*F(i,k) for k = r0 .. i-1 in
// increasing order (a unit lower triangular solve, the multipliers F(i,k)
// already in place). Split in two halves: the lower half's updates from the
// upper half are one tiled product, before its own.
void triangularUpdate(const KernelSet& kern, double* f, std::int64_t n, std::int64_t r0, std::int64_t r1,
                      std::int64_t c0, std::int64_t c1) {
    if (r1 - r0 <= kLeaf) {
        for (std::int64_t k = r0; k < r1; ++k) {
            const double* rowK = f + k * n;
            for (std::int64_t i = k + 1; i < r1; ++i) {
                double* rowI = f + i * n;
                kern.subtractScaled(rowI + c0, rowK + c0, rowI[k], c1 - c0);
            }
        }
        return;
    }
    const std::int64_t h = r0 + (r1 - r0) / 2;
    triangularUpdate(kern, f, n, r0, h, c0, c1);
    productSubtract(kern, f + h * n + r0, n, f + r0 * n + c0, n, f + h * n + c0, n, r1 - h, h - r0, c1 - c0);
    triangularUpdate(kern, f, n, h, r1, c0, c1);
}

// Multiply-adds a part of a triangular update must have to repay handing
// it to another thread (as the product's parts).
constexpr double kTrianglePartWork = double(1 << 16);

// triangularUpdate split by columns: each column of [c0, c1) is its own
// chain of updates, whichever thread runs it. Whole, the update leaves its
// 16-row leaves (runs of subtractScaled) to the calling thread and hands
// over each of its products apart; split, every part runs its columns'
// leaves and products in one task.
void splitTriangularUpdate(const KernelSet& kern, double* f, std::int64_t n, std::int64_t r0, std::int64_t r1,
                           std::int64_t c0, std::int64_t c1) {
    const std::int64_t rows = r1 - r0, cols = c1 - c0;
    const std::int64_t parts = std::min(
        cols / kern.nr, partsFor(static_cast<double>(rows) * static_cast<double>(rows) * static_cast<double>(cols) / 2.0,
                                 kTrianglePartWork));
    if (parts <= 1) return triangularUpdate(kern, f, n, r0, r1, c0, c1);
    parallelFor(parts, [&](std::int64_t part) {
        std::int64_t begin = 0, end = 0;
        partRange(cols, kern.nr, parts, part, begin, end);
        triangularUpdate(kern, f, n, r0, r1, c0 + begin, c0 + end);
    });
}

// Elements a part of a leaf's copy must move to repay handing it over.
// Smaller leaves (all those of small systems, where a copy takes
// nanoseconds) copy at once, without asking whether to split, unless
// CORX_SPLIT_SMALL asks for every split.
constexpr double kCopyPartWork = double(1 << 13);

// The leaf's columns [k0, k0 + w), rows k0 .. k0 + rows - 1 of the n x n
// matrix f, copied into the column-major panel (ld rows) or back: a copy
// moves no value through arithmetic, so parts of the rows may go to any
// thread.
void copyLeaf(double* f, std::int64_t n, std::int64_t k0, double* panel, std::int64_t rows, std::int64_t w,
              bool toPanel) {
    const std::int64_t parts =
        std::min((rows + 7) / 8, partsFor(static_cast<double>(rows) * static_cast<double>(w), kCopyPartWork));
    parallelFor(parts, [&](std::int64_t part) {
        std::int64_t begin = 0, end = 0;
        partRange(rows, 8, parts, part, begin, end);
        double* const block = f + (k0 + begin) * n + k0;
        if (toPanel) transposeInto(block, n, panel + begin, rows, end - begin, w);
        else transposeInto(panel + begin, rows, block, n, w, end - begin);
    });
}

// Eliminates columns [k0, k1) below the diagonal (rows k0 .. n-1), which
// have received every update of the columns before k0. Recursive halves:
// the left half is eliminated, the right half receives the left half's
// updates (triangular part, then one tiled product), then is eliminated.
// Rows are exchanged whole, so each carries its pending updates along.
void eliminate(const KernelSet& kern, LuFactors& out, std::int64_t k0, std::int64_t k1) {
    double* f = out.factors.data.data();
    const std::int64_t n = out.factors.rows;
    if (k1 - k0 > kLeaf) {
        const std::int64_t mid = k0 + (k1 - k0) / 2;
        eliminate(kern, out, k0, mid);
        splitTriangularUpdate(kern, f, n, k0, mid, mid, k1);
        productSubtract(kern, f + mid * n + k0, n, f + k0 * n + mid, n, f + mid * n + mid, n, n - mid, mid - k0,
                        k1 - mid);
        eliminate(kern, out, mid, k1);
        return;
    }
    // The leaf's columns, rows k0 .. n-1, are worked on in a dense copy,
    // column by column: each step's pivot search, multipliers and column
    // updates are then runs down contiguous columns, vectorised across the
    // rows (row by row, they were a division and a run of at most w - 1
    // elements per row). In place, each step would also walk down rows n
    // doubles apart, and with n a multiple of 512 those fall into a few
    // cache sets. Row exchanges reach the columns outside the leaf
    // afterwards, in the same order, which leaves every row where
    // exchanging them at once would have.
    const std::int64_t w = k1 - k0, rows = n - k0;
    const Scratch buffer(ScratchSlot::Work0, rows * w);
    double* const panel = buffer.data();  // panel[c * rows + i] = F(k0 + i, k0 + c)
    const bool splitCopies = static_cast<double>(rows * w) >= 2.0 * kCopyPartWork || splitSmall();
    if (splitCopies) copyLeaf(f, n, k0, panel, rows, w, true);
    else transposeInto(f + k0 * n + k0, n, panel, rows, rows, w);
    std::int64_t exchanged[kLeaf];  // the row exchanged with row k0 + c
    std::int64_t nextRow = -1;      // the search of column c, made by step c - 1
    double nextBest = 0.0;
    for (std::int64_t c = 0; c < w; ++c) {
        const std::int64_t k = k0 + c;
        double* const col = panel + c * rows;
        // Pivot search: the strictly largest magnitude wins, so among equal
        // magnitudes the uppermost row stays. Comparisons with NaN are
        // false: a NaN below the diagonal is never chosen, and a NaN on the
        // diagonal keeps row k as the pivot row. After the first column the
        // previous step has searched the rows from the diagonal down while
        // updating them (kernels/lu_leaf.h); its row is this scan's where
        // the diagonal is not NaN.
        std::int64_t p = c;
        double best = std::fabs(col[c]);
        if (c == 0) {
            for (std::int64_t r = c + 1; r < rows; ++r) {
                const double v = std::fabs(col[r]);
                if (v > best) {
                    p = r;
                    best = v;
                }
            }
        } else if (!std::isnan(best) && nextRow >= 0) {
            p = nextRow;
            best = nextBest;
        }
        // No tolerance: only an exactly zero pivot column is singular.
        if (best == 0.0) throw ValueError("luDecompose: singular matrix");

        exchanged[c] = k0 + p;
        if (p != c) {
            for (std::int64_t j = 0; j < w; ++j) std::swap(panel[j * rows + c], panel[j * rows + p]);
            std::swap(out.perm[static_cast<std::size_t>(k)], out.perm[static_cast<std::size_t>(k0 + p)]);
            out.sign = -out.sign;
        }
        const double pivot = col[c];
        if (k == n - 1) break;

        // The multipliers, then this k's update of the leaf's later
        // columns: F(i,j) = F(i,j) - F(k,j)*m(i), for every row i below k;
        // and the search of the next column.
        kern.luLeafStep(panel, rows, w, c, pivot, nextRow, nextBest);
    }
    if (splitCopies) copyLeaf(f, n, k0, panel, rows, w, false);
    else transposeInto(panel, rows, f + k0 * n + k0, n, w, rows);
    // Whole rows travel: the multipliers left of the leaf and the columns
    // right of it follow the exchanges.
    // Columns are independent here: parts of them, on any thread, take
    // every exchange in order.
    const std::int64_t others = n - w;
    std::int64_t moves = 0;
    for (std::int64_t c = 0; c < w; ++c) moves += exchanged[c] != k0 + c;
    const std::int64_t parts =
        std::min((others + 7) / 8, partsFor(static_cast<double>(others) * static_cast<double>(moves), kSwapPartWork));
    parallelFor(parts, [&](std::int64_t part) {
        std::int64_t begin = 0, end = 0;
        partRange(others, 8, parts, part, begin, end);
        // Part columns [begin, end) of the others: those left of the leaf,
        // then those right of it.
        const std::int64_t leftEnd = std::min(end, k0), rightBegin = std::max(begin, k0) + w;
        for (std::int64_t c = 0; c < w; ++c) {
            const std::int64_t k = k0 + c, p = exchanged[c];
            if (p == k) continue;
            if (begin < leftEnd) std::swap_ranges(f + k * n + begin, f + k * n + leftEnd, f + p * n + begin);
            if (rightBegin < end + w) std::swap_ranges(f + k * n + rightBegin, f + k * n + end + w, f + p * n + rightBegin);
        }
    });
}

}  // namespace

// Recursive form of the elimination. Element (i, j) receives the updates
// F(i,j) = F(i,j) - F(k,j)*m(i,k) for k = 0, 1, ... in increasing order,
// exactly as in the column-by-column loop, and every pivot search sees its
// column fully updated; the recursion only delays updates that no pivot
// search has to see yet and groups them into tiled products.
void luDecomposeInto(const Matrix& a, LuFactors& f) {
    f.factors = a;
    const std::int64_t n = a.rows;
    f.perm.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    for (std::int64_t i = 0; i < n; ++i) f.perm[static_cast<std::size_t>(i)] = i;
    f.sign = 1;
    if (n > 0) eliminate(activeKernels(), f, 0, n);
}

LuFactors luDecompose(const Matrix& a) {
    LuFactors f;
    luDecomposeInto(a, f);
    return f;
}

namespace {

// The product sign * d[0] * d[1] * ... of finite non-zero pivots, carried
// as a significand in [1/2, 1) and a separate exponent. Each step rounds the
// product of two significands once, exactly as the plain product rounds
// while it stays normal, so where the plain product stays in the normal
// range the two agree bit for bit; where a partial product would overflow
// or underflow although later pivots bring it back, this one does not.
// Only the end result overflows to an infinity or underflows.
double scaledProduct(std::int64_t sign, const Matrix& factors, std::int64_t n) {
    double significand = static_cast<double>(sign) * 0.5;
    std::int64_t exponent = 1;
    for (std::int64_t i = 0; i < n; ++i) {
        int e = 0;
        const double d = std::frexp(factors(i, i), &e);
        exponent += e;
        significand = std::frexp(significand * d, &e);
        exponent += e;
    }
    // ldexp's shift is an int: clamp far beyond the range, where the result
    // is an infinity or a zero either way.
    const std::int64_t limit = 4 * 1100;
    const int shift = static_cast<int>(std::max(-limit, std::min(limit, exponent)));
    return std::ldexp(significand, shift);
}

}  // namespace

double det(const Matrix& a) {
    LuFactors f;
    try {
        f = luDecompose(a);
    } catch (const ValueError&) {
        // A singular matrix has determinant zero; the error ends here.
        return 0.0;
    }
    const std::int64_t n = f.factors.rows;
    double result = static_cast<double>(f.sign);
    bool leftRange = false;  // a partial product of finite non-zero pivots fell out of the normal range
    bool ordinary = true;    // every pivot finite and non-zero
    for (std::int64_t i = 0; i < n; ++i) {
        const double d = f.factors(i, i);
        ordinary = ordinary && std::isfinite(d) && d != 0.0;
        result = result * d;
        leftRange = leftRange || !std::isnormal(result);
    }
    if (!ordinary || !leftRange) return result;
    return scaledProduct(f.sign, f.factors, n);
}

}  // namespace corx_internal
