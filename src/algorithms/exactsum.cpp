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
    if ((nearest && kern.exactLevelRow(c, row, x, xs, cols, nullptr, v)) || roundShortSum(c, row, x, cols, v))
        return v;
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

// A long row's sum c + row.x after the level route: the products go into
// all the accumulator lanes (through the buckets, or the kernel's level
// accumulators), c into lane 0, and the lanes are merged before the single
// rounding.
double rowByAccumulator(const KernelSet& kern, ExactAccumulator* acc, kernels::ExactBuckets& buckets, double c,
                        const double* row, const double* x, const kernels::ExactFactor* xf,
                        const kernels::ExactSplit& xs, std::int64_t cols) {
    for (int l = 0; l < kernels::kExactLanes; ++l) clear(acc[l]);
    addTerm(acc[0], c);
    acc[0].countdown = ExactAccumulator::kCountdown;
    kern.exactRowProducts(acc, buckets, row, x, xf, xs, cols);
    mergeLanes(acc, kernels::kExactLanes);
    return round(acc[0]);
}

// Systems of one matrix with long rows, a group at a time. Each x is
// prepared once for both routes; each row is scanned once for the level
// route's window test (exactRowScan) and taken against every x of the
// group while it is in cache. A group's prepared x (four arrays) is kept
// within about 256 KB, so that it stays in a core's cache as the matrix
// streams past. Most rows are summed without an accumulator
// (exactLevelRow), which needs rounding to nearest; the others, product by
// product.
void longResiduals(std::span<const ResidualSystem> systems) {
    const KernelSet& kern = activeKernels();
    const Matrix& a = *systems[0].a;
    const std::int64_t rows = a.rows, cols = a.cols;
    const std::int64_t count = static_cast<std::int64_t>(systems.size());
    const std::int64_t group = std::max<std::int64_t>(1, std::min<std::int64_t>({count, 8, 8192 / cols}));
    std::vector<kernels::ExactFactor> xf(elementCount(cols, group));
    std::vector<double> xHigh(elementCount(cols, group)), xLow(elementCount(cols, group));
    std::vector<std::int64_t> xExponent(elementCount(cols, group));
    std::vector<kernels::ExactSplit> xs(static_cast<std::size_t>(group));
    const bool nearest = kernels::exactRoundsToNearest();

    for (std::int64_t first = 0; first < count; first += group) {
        const std::int64_t members = std::min(group, count - first);
        const ResidualSystem* const sys = systems.data() + first;
        for (std::int64_t s = 0; s < members; ++s) {
            const double* const x = sys[s].x.data();
            kernels::exactFactors(xf.data() + s * cols, x, cols);
            xs[static_cast<std::size_t>(s)] = kernels::exactSplit(xHigh.data() + s * cols, xLow.data() + s * cols,
                                                                  xExponent.data() + s * cols, x, cols);
        }
        // Every row is rounded once from its exact sum, so rows may be
        // taken by different threads in any order; each part has its own
        // buckets. About 2 ns per product: parts of 2^16 products.
        const std::int64_t parts = std::min<std::int64_t>(
            rows, partsFor(static_cast<double>(rows) * static_cast<double>(cols) * static_cast<double>(members),
                           double(1 << 16)));
        parallelFor(parts, [&](std::int64_t part) {
            std::int64_t begin = 0, end = 0;
            partRange(rows, 1, parts, part, begin, end);
            // The thread keeps its buckets between calls; every row leaves
            // them zero, so only a newly allocated buffer needs clearing.
            constexpr std::int64_t kBucketDoubles =
                kernels::kExactLanes * kernels::kExactBuckets * (sizeof(kernels::ExactBucket) / sizeof(double));
            const Scratch bucketMemory(ScratchSlot::ExactBuckets, kBucketDoubles);
            if (bucketMemory.fresh()) std::memset(bucketMemory.data(), 0, kBucketDoubles * sizeof(double));
            kernels::ExactBuckets buckets{reinterpret_cast<kernels::ExactBucket*>(bucketMemory.data()), 0,
                                          kernels::kBucketAdditions, kernels::kBucketAdditions};
            ExactAccumulator acc[kernels::kExactLanes];
            for (std::int64_t i = begin; i < end; ++i) {
                const double* const row = a.data.data() + i * cols;
                const kernels::ExactRowScan scan =
                    nearest ? kern.exactRowScan(row, cols) : kernels::ExactRowScan{0, 0};
                const std::size_t at = static_cast<std::size_t>(i);
                for (std::int64_t s = 0; s < members; ++s) {
                    const double c = -sys[s].b[at];
                    const double* const x = sys[s].x.data();
                    const kernels::ExactSplit& split = xs[static_cast<std::size_t>(s)];
                    double v = 0.0;
                    if (!(nearest && kern.exactLevelRow(c, row, x, split, cols, &scan, v)))
                        v = rowByAccumulator(kern, acc, buckets, c, row, x, xf.data() + s * cols, split, cols);
                    sys[s].r[at] = -v;
                }
            }
        });
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
    bool shortRows = cols <= kShortRow, oneMatrix = true;
    for (const ResidualSystem& s : systems) {
        shortRows = shortRows && s.a->cols == cols;
        oneMatrix = oneMatrix && s.a == systems[0].a;
    }
    if (shortRows) {
        shortResiduals(systems, cols);
        return;
    }
    if (oneMatrix) {
        longResiduals(systems);
        return;
    }
    for (const ResidualSystem& s : systems) residualInto(*s.a, s.b, s.x, s.r);
}

void residualInto(const Matrix& a, std::span<const double> b, std::span<const double> x, std::span<double> r) {
    const ResidualSystem one{&a, b, x, r};
    if (a.cols <= kShortRow) {
        shortResiduals(std::span<const ResidualSystem>(&one, 1), a.cols);
        return;
    }
    longResiduals(std::span<const ResidualSystem>(&one, 1));
}

}  // namespace corx_internal
