// SPDX-License-Identifier: BSD-3-Clause
#include "algorithms/qr.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "algorithms/scaling.h"
#include "kernels/kernel_set.h"
#include "runtime/memory.h"
#include "runtime/parallel.h"

namespace corx_internal {

namespace {

// Reflections found per panel before they are applied to the columns right
// of it and to q: each block of columns is then brought into cache once per
// panel. Rounded up to whole blocks of columns, so that panels and blocks
// share their boundaries. With 96 rather than 32 a QR with Q of 1000 x 1000
// and of 2000 x 2000 ran 5-8% and 5-9% faster on a Zen 3 core.
constexpr std::int64_t kPanel = 96;

// Inside a panel, reflections are found in sub-panels of this many columns:
// a reflection is applied to the rest of its sub-panel as a dot product
// pass and an update pass, and a finished sub-panel's reflections go to the
// panel's later columns in one pass each (update and next dot product).
constexpr std::int64_t kSubPanel = 32;

// A matrix kept as blocks of `width` consecutive columns, each block all
// `rows` rows of them with its rows contiguous (row stride `width`); a last,
// narrower block keeps the full stride. A reflection walks a block of
// columns down its rows, and so does the next one: here each walk is one
// contiguous stream, where in the row-major matrix it jumps a whole matrix
// row at every step (and, at row lengths a multiple of 4 KiB, falls into a
// few cache sets). 96 reflections of 64 columns of 1000 rows ran 1.5 times
// as fast so on a Zen 5 core (AVX-512).
struct ColumnBlocks {
    std::int64_t rows;
    std::int64_t width;
    std::vector<double> data;

    ColumnBlocks(std::int64_t r, std::int64_t cols, std::int64_t w)
        : rows(r), width(w), data(elementCount(r, (cols + w - 1) / w * w)) {}

    // Row 0 of column c; the column's later rows follow every `width`.
    double* column(std::int64_t c) { return data.data() + c / width * rows * width + c % width; }
    double& operator()(std::int64_t i, std::int64_t j) { return column(j)[i * width]; }
};

// Columns per block: the kernel set's width, halved while it is wider than
// 32 columns and a block of all m rows would not stay in a 1 MiB L2 beside
// what else the pass needs (512 KiB). At 2000 rows, blocks of 32 columns
// (reflected as four vectors side by side) ran 12-14% faster than blocks
// of 64 on a Zen 5 core; at 1000 rows, 64 were faster.
constexpr std::int64_t kBlockBytes = std::int64_t{1} << 19;

std::int64_t blockWidth(std::int64_t panelColumns, std::int64_t rows) {
    std::int64_t width = panelColumns;
    while (width > 32 && width * rows > kBlockBytes / static_cast<std::int64_t>(sizeof(double))) width /= 2;
    return width;
}

// The first column of the block after column c's, or `end` if that is sooner.
std::int64_t blockEnd(std::int64_t c, std::int64_t width, std::int64_t end) {
    return std::min(end, (c / width + 1) * width);
}

// Each reflection is found from its column scaled by the power of two that
// brings the column's largest magnitude into [1/2, 1) (see reflection
// below). Then every quantity of a reflection is of degree 0 in the input
// (its vector, the sums and quotients applied to q) or of degree 1 (the
// sums and quotients applied to r): with the largest input magnitude
// M < 2^e and m < 2^b rows, no intermediate exceeds 4*m*M < 2^(2+b+e)
// (a column of r never grows beyond its initial norm, at most sqrt(m)*M,
// and the scaled vector's norm lies between 1/2 and 2*sqrt(m), so that
// dot + dot <= 4*m*M and f <= 4*sqrt(m)*M). So 2+b+e <= 1023
// leaves a factor 2 for rounding: the largest magnitude's exponent may be
// 1021 - b. Inputs whose largest magnitude is beyond that, or whose
// smallest non-zero magnitude is below 2^-400 (so that a product of it,
// or of a residue of cancellation near it, might fall below the normal
// range), are factorised scaled to that top exponent, the most room below
// that overflow allows, and r is scaled back.
constexpr int kSmallestUnscaled = -400;

// The reflection vector of the column part x[0], x[stride], ... (len
// values) and its squared norm, or false when the column is not
// reflected. For a finite non-zero column, v and vv are those of the
// column scaled by 2^s, s chosen from its largest magnitude: v*2^s and
// vv*2^(2s). The reflection uses v only as v*f with f = 2*dot(x, v)/vv,
// which is unchanged by the scaling (dot is scaled by 2^s, vv by 2^(2s)),
// bit for bit wherever the unscaled quantities stay normal; a column whose
// squares would underflow (or overflow) still gets its reflection.
// Columns holding an infinity or NaN are used as they are.
bool reflection(const double* x, std::int64_t stride, std::int64_t len, std::vector<double>& v, double& vv) {
    const double top = std::numeric_limits<double>::max();
    double big = 0.0;
    bool finite = true;
    for (std::int64_t t = 0; t < len; ++t) {
        const double a = std::fabs(x[t * stride]);
        if (!(a <= top)) finite = false;
        else if (a > big) big = a;
    }
    if (finite && big == 0.0) return false;  // its norm is 0
    const int s = finite ? -binaryExponent(big) : 0;

    v.assign(elementCount(len, 1), 0.0);
    for (std::int64_t t = 0; t < len; ++t)
        v[static_cast<std::size_t>(t)] = s == 0 ? x[t * stride] : scaleByPowerOfTwo(x[t * stride], s);
    double sumSquares = v[0] * v[0];
    for (std::int64_t t = 1; t < len; ++t) {
        const double square = v[static_cast<std::size_t>(t)] * v[static_cast<std::size_t>(t)];
        sumSquares = sumSquares + square;
    }
    const double norm = std::sqrt(sumSquares);
    if (norm == 0.0) return false;

    // Adding the norm with the sign of v[0] avoids cancellation; -0.0
    // counts as non-negative.
    if (v[0] < 0.0) {
        v[0] = v[0] - norm;
    } else {
        v[0] = v[0] + norm;
    }
    vv = v[0] * v[0];
    for (std::int64_t t = 1; t < len; ++t) {
        const double square = v[static_cast<std::size_t>(t)] * v[static_cast<std::size_t>(t)];
        vv = vv + square;
    }
    return vv != 0.0;
}

// Multiply-adds a part must have to repay handing it to another thread.
constexpr double kPartWork = double(1 << 20);

// Applies `count` reflections to each block of columns a list names: every
// column receives them in order on its own, so the blocks may be taken by
// different threads in any order. Blocks are dealt out in runs of
// consecutive ones, one run a part. A lead task, when given, is one more
// part, the first, and may run beside the others on any thread; then every
// block is a part of its own, so that whichever thread runs the lead takes
// fewer blocks (a block of all rows is worth a hand-over on its own).
struct ColumnSpan {
    double* first;
    std::int64_t width;
};

template <class Lead>
void reflectSpans(const KernelSet& kern, const std::vector<ColumnSpan>& spans, std::int64_t ld, std::int64_t rows,
                  const kernels::PanelReflection* h, std::int64_t count, const Lead* lead) {
    const std::int64_t total = static_cast<std::int64_t>(spans.size());
    double columns = 0.0;
    for (const ColumnSpan& c : spans) columns += static_cast<double>(c.width);
    std::int64_t parts =
        std::min(total, partsFor(columns * static_cast<double>(rows) * static_cast<double>(count), kPartWork));
    if (lead != nullptr && parts > 1) parts = total;
    const std::int64_t first = lead != nullptr ? 1 : 0;
    parallelFor(first + parts, [&](std::int64_t i) {
        if (i < first) {
            (*lead)();
            return;
        }
        std::int64_t begin = 0, end = 0;
        partRange(total, 1, parts, i - first, begin, end);
        for (std::int64_t b = begin; b < end; ++b) {
            const ColumnSpan& c = spans[static_cast<std::size_t>(b)];
            kern.reflectPanel(c.first, ld, rows, c.width, h, count);
        }
    });
}

void reflectSpans(const KernelSet& kern, const std::vector<ColumnSpan>& spans, std::int64_t ld, std::int64_t rows,
                  const kernels::PanelReflection* h, std::int64_t count) {
    const auto none = [] {};
    reflectSpans(kern, spans, ld, rows, h, count, static_cast<const decltype(none)*>(nullptr));
}

// A panel's reflections, each with its vector.
struct Reflection {
    std::int64_t k;
    std::vector<double> v;
    double vv;
};
struct Panel {
    std::vector<Reflection> found;
    std::vector<kernels::PanelReflection> hs;  // the same, for the kernels
};

// Finds the reflections of columns [k0, k1) of r, which have received
// every reflection before k0, in sub-panels of kSubPanel columns. A
// reflection is applied at once to the rest of its sub-panel, and the
// sub-panel's reflections to the rest of the panel, from which the next
// reflection is taken.
void findPanel(const KernelSet& kern, ColumnBlocks& r, std::int64_t m, std::int64_t k0, std::int64_t k1,
               Panel& panel) {
    const std::int64_t width = r.width;
    panel.found.clear();
    panel.hs.clear();
    std::vector<ColumnSpan> spans;
    for (std::int64_t s0 = k0; s0 < k1; s0 += kSubPanel) {
        const std::int64_t s1 = std::min(k1, s0 + kSubPanel);
        const std::size_t first = panel.hs.size();
        for (std::int64_t k = s0; k < s1; ++k) {
            const std::int64_t len = m - k;
            std::vector<double> v;
            double vv = 0.0;
            if (!reflection(&r(k, k), width, len, v, vv)) continue;

            // r = (I - 2 v v^T / vv) r, every column c >= k on its own:
            // here the sub-panel's columns, block by block, the others
            // below.
            // In the block of column k the call starts at the
            // sub-panel's (or the block's) first column and leaves the
            // columns before k alone, so that the vectors stay aligned.
            for (std::int64_t c = k; c < s1;) {
                const std::int64_t c1 = blockEnd(c, width, s1);
                const std::int64_t from = std::max(s0, c / width * width);
                kern.reflectColumns(&r(k, from), width, len, c1 - from, v.data(), vv, c - from);
                c = c1;
            }
            for (std::int64_t i = k + 1; i < m; ++i) r(i, k) = 0.0;
            panel.found.push_back({k, std::move(v), vv});
            const Reflection& h = panel.found.back();
            panel.hs.push_back({h.k, h.v.data(), h.vv});
        }
        // The sub-panel's reflections, to the rest of the panel.
        const std::int64_t found = static_cast<std::int64_t>(panel.hs.size() - first);
        if (found == 0) continue;
        spans.clear();
        for (std::int64_t c0 = s1; c0 < k1;) {
            const std::int64_t c1 = blockEnd(c0, width, k1);
            spans.push_back({r.column(c0), c1 - c0});
            c0 = c1;
        }
        reflectSpans(kern, spans, width, m, panel.hs.data() + first, found);
    }
}

}  // namespace

int qrInputShift(const Matrix& a) {
    return decompositionShift(a.data.data(), a.rows * a.cols, 1021 - bitWidth(a.rows), kSmallestUnscaled);
}

QrFactors qrDecompose(const Matrix& a) {
    const std::int64_t m = a.rows, n = a.cols;

    // A square matrix's last column needs no reflection.
    const std::int64_t steps = m > n ? n : m - 1;
    if (steps <= 0) return {identity(m), a};

    const KernelSet& kern = activeKernels();
    const std::int64_t width = blockWidth(kern.panelColumns, m);
    const std::int64_t panelWidth = (kPanel + width - 1) / width * width;

    const int shift = qrInputShift(a);
    ColumnBlocks r(m, n, width);
    for (std::int64_t c0 = 0; c0 < n; c0 += width) {
        const std::int64_t w = std::min(width, n - c0);
        for (std::int64_t i = 0; i < m; ++i) {
            const double* from = a.data.data() + i * n + c0;
            if (shift == 0) std::copy_n(from, w, &r(i, c0));
            else
                for (std::int64_t j = 0; j < w; ++j) (&r(i, c0))[j] = scaleByPowerOfTwo(from[j], shift);
        }
    }
    // q transposed: qt(j, i) = q(i, j), starting from the identity.
    ColumnBlocks qt(m, m, width);
    for (std::int64_t i = 0; i < m; ++i) qt(i, i) = 1.0;

    // Every sum below starts from its first term (never from +0.0), so a
    // sum of negative zeros stays -0.0.
    //
    // Reflections are found in panels of panelWidth columns (findPanel);
    // the columns right of the panel and the columns of qt then receive the
    // panel's reflections block by block, in increasing order, while the
    // block stays in cache, the update by one reflection sharing its pass
    // over the rows with the next one's dot product. Every column still
    // sees every reflection in order, each as one dot product and one
    // update. The next panel's columns receive a panel's reflections first,
    // and the next panel is found from them (one task) while the other
    // columns of r and q receive them (the other tasks): its columns have
    // every reflection before it, as when found after the whole update.
    Panel current, next;
    findPanel(kern, r, m, 0, std::min(steps, panelWidth), current);
    std::vector<ColumnSpan> ahead, spans;
    for (std::int64_t k0 = 0; k0 < steps; k0 += panelWidth) {
        const std::int64_t k1 = std::min(steps, k0 + panelWidth);
        const std::int64_t k2 = std::min(steps, k1 + panelWidth);  // the next panel: [k1, k2)
        const std::int64_t count = static_cast<std::int64_t>(current.hs.size());
        // The first block after the next panel may start inside a block,
        // after a last panel that ended early (steps < n).
        ahead.clear();
        for (std::int64_t c0 = k1; c0 < k2;) {
            const std::int64_t c1 = blockEnd(c0, width, k2);
            ahead.push_back({r.column(c0), c1 - c0});
            c0 = c1;
        }
        spans.clear();
        for (std::int64_t c0 = k2; c0 < n;) {
            const std::int64_t c1 = blockEnd(c0, width, n);
            spans.push_back({r.column(c0), c1 - c0});
            c0 = c1;
        }
        // q = q (I - 2 v v^T / vv), every row of q on its own: q is kept
        // transposed, so these too are reflections of independent columns.
        for (std::int64_t c0 = 0; c0 < m; c0 += width) spans.push_back({qt.column(c0), std::min(width, m - c0)});
        const auto lead = [&] {
            for (const ColumnSpan& c : ahead) kern.reflectPanel(c.first, width, m, c.width, current.hs.data(), count);
            if (k1 < k2) findPanel(kern, r, m, k1, k2, next);
        };
        if (count == 0) lead();
        else reflectSpans(kern, spans, width, m, current.hs.data(), count, &lead);
        std::swap(current, next);
    }

    // The blocks of r are released before q is made, so that at most three
    // matrices of this size are held at once.
    Matrix rOut = initMatrix(m, n);
    for (std::int64_t c0 = 0; c0 < n; c0 += width) {
        const std::int64_t w = std::min(width, n - c0);
        for (std::int64_t i = 0; i < m; ++i) {
            if (shift == 0) std::copy_n(&r(i, c0), w, &rOut(i, c0));
            else
                for (std::int64_t j = 0; j < w; ++j) rOut(i, c0 + j) = scaleByPowerOfTwo((&r(i, c0))[j], -shift);
        }
    }
    std::vector<double>().swap(r.data);
    Matrix qOut = initMatrix(m, m);
    for (std::int64_t c0 = 0; c0 < m; c0 += width)
        transposeInto(qt.column(c0), width, &qOut(c0, 0), m, m, std::min(width, m - c0));
    return {std::move(qOut), std::move(rOut)};
}

}  // namespace corx_internal
