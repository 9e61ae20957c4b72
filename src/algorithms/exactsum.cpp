// SPDX-License-Identifier: BSD-3-Clause
#include "algorithms/exactsum.h"

#include <algorithm>
#include <cstring>

#include "kernels/exact_short.h"
#include "kernels/kernel_set.h"
#include "runtime/memory.h"
#include "runtime/parallel.h"
#include "runtime/scratch.h"

namespace corx_internal {

namespace {

// Rows of at most this many products are summed without an accumulator
// when their terms lie close enough together, as they do for nearly every
// system: in the split route's integer levels (exactLevelRow), else
// product by product in a 256-bit integer (roundShortSum); otherwise one
// by one into a single accumulator (addProduct). Either way each product is added exactly and
// the sum rounded as the accumulator rounds it, so the bits are the same;
// what a short row saves is preparing x for the vector routes, clearing
// and merging accumulators of 134 words and propagating their carries,
// which cost many times its products.
constexpr std::int64_t kShortRow = 16;

void shortRowResidual(const Matrix& a, std::span<const double> b, std::span<const double> x, std::span<double> r) {
    const std::int64_t cols = a.cols;
    // x cut for the split route's arithmetic, which needs rounding to
    // nearest, once and only for a row the lanes leave.
    double xHigh[kShortRow], xLow[kShortRow];
    std::int64_t xExponent[kShortRow];
    kernels::ExactSplit xs{};
    bool cut = false;
    const bool nearest = kernels::exactRoundsToNearest();
    const KernelSet& kern = activeKernels();
    constexpr int L = kernels::kShortLanes;
    // Rows go kShortLanes at a time, one a lane, through the compensated
    // sums, which decide nearly every row of a system; the rest take the
    // routes below one by one.
    double c[L], y[kShortRow * L], z[kShortRow * L], v[L];
    if (nearest) {
        for (std::int64_t j = 0; j < cols; ++j)
            for (int l = 0; l < L; ++l) z[j * L + l] = x[static_cast<std::size_t>(j)];
    }
    ExactAccumulator acc;
    for (std::int64_t i0 = 0; i0 < a.rows; i0 += L) {
        const int lanes = static_cast<int>(std::min<std::int64_t>(L, a.rows - i0));
        unsigned done = 0;
        if (nearest) {
            for (int l = 0; l < L; ++l) {
                const std::int64_t i = l < lanes ? i0 + l : i0;
                c[l] = -b[static_cast<std::size_t>(i)];
                for (std::int64_t j = 0; j < cols; ++j) y[j * L + l] = a.data[static_cast<std::size_t>(i * cols + j)];
            }
            done = kern.exactShortRows(c, y, z, static_cast<int>(cols), lanes, v);
        }
        for (int l = 0; l < lanes; ++l) {
            const std::int64_t i = i0 + l;
            if ((done >> l & 1u) != 0) {
                r[static_cast<std::size_t>(i)] = -v[l];
                continue;
            }
            if (!cut) {
                xs = kernels::exactSplit(xHigh, xLow, xExponent, x.data(), cols);
                cut = true;
            }
            const double* const row = a.data.data() + i * cols;
            const double ci = -b[static_cast<std::size_t>(i)];
            double vi = 0.0;
            const bool decided = (nearest && kern.exactLevelRow(ci, row, x.data(), xs, cols, vi)) ||
                                 roundShortSum(ci, row, x.data(), cols, vi);
            if (!decided) {
                clear(acc);
                addTerm(acc, ci);
                acc.countdown = ExactAccumulator::kCountdown;
                for (std::int64_t j = 0; j < cols; ++j) addProduct(acc, row[j], x[static_cast<std::size_t>(j)]);
                vi = round(acc);
            }
            r[static_cast<std::size_t>(i)] = -vi;
        }
    }
}

}  // namespace

std::vector<double> residual(const Matrix& a, std::span<const double> b, std::span<const double> x) {
    std::vector<double> r(elementCount(a.rows, 1), 0.0);
    residualInto(a, b, x, r);
    return r;
}

void residualInto(const Matrix& a, std::span<const double> b, std::span<const double> x, std::span<double> r) {
    if (a.cols <= kShortRow) {
        shortRowResidual(a, b, x, r);
        return;
    }
    // The right-hand side goes first into lane 0, the row's products into
    // all lanes (through the buckets, or the kernel's level accumulators),
    // and the lanes are merged before the single rounding. x is prepared
    // once for both routes.
    const KernelSet& kern = activeKernels();
    const std::int64_t cols = a.cols;
    std::vector<kernels::ExactFactor> xf(elementCount(cols, 1));
    kernels::exactFactors(xf.data(), x.data(), cols);
    std::vector<double> xHigh(elementCount(cols, 1)), xLow(elementCount(cols, 1));
    std::vector<std::int64_t> xExponent(elementCount(cols, 1));
    const kernels::ExactSplit xs = kernels::exactSplit(xHigh.data(), xLow.data(), xExponent.data(), x.data(), cols);
    // Most rows are summed without an accumulator (exactLevelRow), which
    // needs rounding to nearest; the others, product by product.
    const bool nearest = kernels::exactRoundsToNearest();

    // Every row is rounded once from its exact sum, so rows may be taken
    // by different threads in any order; each part has its own buckets.
    // About 2 ns per product: parts of 2^16 products.
    const std::int64_t rows = a.rows;
    const std::int64_t parts = std::min<std::int64_t>(
        rows, partsFor(static_cast<double>(rows) * static_cast<double>(cols), double(1 << 16)));
    parallelFor(parts, [&](std::int64_t part) {
        std::int64_t begin = 0, end = 0;
        partRange(rows, 1, parts, part, begin, end);
        // The thread keeps its buckets between calls; every row leaves them
        // zero, so only a newly allocated buffer needs clearing.
        constexpr std::int64_t kBucketDoubles =
            kernels::kExactLanes * kernels::kExactBuckets * (sizeof(kernels::ExactBucket) / sizeof(double));
        const Scratch bucketMemory(ScratchSlot::ExactBuckets, kBucketDoubles);
        if (bucketMemory.fresh()) std::memset(bucketMemory.data(), 0, kBucketDoubles * sizeof(double));
        kernels::ExactBuckets buckets{reinterpret_cast<kernels::ExactBucket*>(bucketMemory.data()), 0,
                                      kernels::kBucketAdditions, kernels::kBucketAdditions};
        ExactAccumulator acc[kernels::kExactLanes];
        for (std::int64_t i = begin; i < end; ++i) {
            double v = 0.0;
            if (nearest && kern.exactLevelRow(-b[static_cast<std::size_t>(i)], a.data.data() + i * cols, x.data(),
                                              xs, cols, v)) {
                r[static_cast<std::size_t>(i)] = -v;
                continue;
            }
            for (ExactAccumulator& lane : acc) clear(lane);
            addTerm(acc[0], -b[static_cast<std::size_t>(i)]);
            acc[0].countdown = ExactAccumulator::kCountdown;
            kern.exactRowProducts(acc, buckets, a.data.data() + i * cols, x.data(), xf.data(), xs, cols);
            mergeLanes(acc, kernels::kExactLanes);
            v = round(acc[0]);
            r[static_cast<std::size_t>(i)] = -v;
        }
    });
}

}  // namespace corx_internal
