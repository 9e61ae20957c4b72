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

// Rows of at most this many products are summed without an accumulator:
// eight at a time in vector lanes by compensated sums, which decide
// nearly every row of a system (kernels/exact_short.h); a row they leave,
// when its terms lie close enough together, in the split route's integer
// levels (exactLevelRow), else product by product in a 256-bit integer
// (roundShortSum); otherwise one by one into a single accumulator
// (addProduct). Every route gives the rounding of the exact sum that the
// accumulator gives, so the bits are the same; what a short row saves is
// preparing x for the vector routes, clearing and merging accumulators of
// 134 words and propagating their carries, which cost many times its
// products.
constexpr std::int64_t kShortRow = 16;
static_assert(kShortRow <= kernels::kShortMost, "short rows fit the lanes route");

// One row's sum c + row.x by the routes after the lanes.
double shortRowByRoutes(const KernelSet& kern, bool nearest, double c, const double* row, const double* x,
                        std::int64_t cols) {
    double xHigh[kShortRow], xLow[kShortRow];
    std::int64_t xExponent[kShortRow];
    const kernels::ExactSplit xs = kernels::exactSplit(xHigh, xLow, xExponent, x, cols);
    double v = 0.0;
    if ((nearest && kern.exactLevelRow(c, row, x, xs, cols, v)) || roundShortSum(c, row, x, cols, v)) return v;
    ExactAccumulator acc;
    clear(acc);
    addTerm(acc, c);
    acc.countdown = ExactAccumulator::kCountdown;
    for (std::int64_t j = 0; j < cols; ++j) addProduct(acc, row[j], x[j]);
    return round(acc);
}

// The rows of every system, in order, go kShortLanes at a time, one a
// lane, through the compensated sums (which need rounding to nearest),
// whichever system each belongs to: they decide nearly every row of a
// system, and a stack of systems of four rows fills the lanes of two. The
// rest take the routes above one by one.
void shortResiduals(std::span<const ResidualSystem> systems, std::int64_t cols) {
    const bool nearest = kernels::exactRoundsToNearest();
    const KernelSet& kern = activeKernels();
    constexpr int L = kernels::kShortLanes;
    double c[L], y[kShortRow * L], z[kShortRow * L], v[L];
    const ResidualSystem* owner[L];
    std::int64_t index[L];
    std::size_t next = 0;
    std::int64_t nextRow = 0;
    for (;;) {
        int lanes = 0;
        for (; lanes < L && next < systems.size(); ++nextRow) {
            if (nextRow >= systems[next].a->rows) {
                ++next;
                nextRow = -1;
                continue;
            }
            owner[lanes] = &systems[next];
            index[lanes] = nextRow;
            ++lanes;
        }
        if (lanes == 0) return;
        unsigned done = 0;
        if (nearest) {
            for (int l = 0; l < L; ++l) {
                const ResidualSystem* const s = owner[l < lanes ? l : 0];
                const std::int64_t i = index[l < lanes ? l : 0];
                c[l] = -s->b[static_cast<std::size_t>(i)];
                const double* const row = s->a->data.data() + i * cols;
                for (std::int64_t j = 0; j < cols; ++j) {
                    y[j * L + l] = row[j];
                    z[j * L + l] = s->x[static_cast<std::size_t>(j)];
                }
            }
            done = kern.exactShortRows(c, y, z, static_cast<int>(cols), lanes, v);
        }
        for (int l = 0; l < lanes; ++l) {
            const ResidualSystem& s = *owner[l];
            const std::size_t i = static_cast<std::size_t>(index[l]);
            s.r[i] = (done >> l & 1u) != 0 ? -v[l]
                                           : -shortRowByRoutes(kern, nearest, -s.b[i],
                                                               s.a->data.data() + index[l] * cols, s.x.data(), cols);
        }
    }
}

}  // namespace

std::vector<double> residual(const Matrix& a, std::span<const double> b, std::span<const double> x) {
    std::vector<double> r(elementCount(a.rows, 1), 0.0);
    residualInto(a, b, x, r);
    return r;
}

void residualsInto(std::span<const ResidualSystem> systems) {
    if (systems.empty()) return;
    const std::int64_t cols = systems[0].a->cols;
    bool shortRows = cols <= kShortRow;
    for (const ResidualSystem& s : systems) shortRows = shortRows && s.a->cols == cols;
    if (shortRows) {
        shortResiduals(systems, cols);
        return;
    }
    for (const ResidualSystem& s : systems) residualInto(*s.a, s.b, s.x, s.r);
}

void residualInto(const Matrix& a, std::span<const double> b, std::span<const double> x, std::span<double> r) {
    if (a.cols <= kShortRow) {
        const ResidualSystem one{&a, b, x, r};
        shortResiduals(std::span<const ResidualSystem>(&one, 1), a.cols);
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
