// SPDX-License-Identifier: BSD-3-Clause
#include "algorithms/svd.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "algorithms/scaling.h"
#include "kernels/kernel_set.h"
#include "runtime/memory.h"
#include "runtime/parallel.h"

namespace corx_internal {

namespace {

// Rotations of the right factor are logged and applied in blocks of this
// many of its columns (rows of the transpose), in tiles of kVLanes pairs
// by kVDiagonals anti-diagonals, so that the rows a tile touches stay in
// cache while it runs.
constexpr std::int64_t kVBlock = 128;
constexpr std::int64_t kVLanes = 16;
constexpr std::size_t kVDiagonals = 16;
constexpr std::size_t kLogFlush = 16384;

// Columns of padding on each side of the working rows, and lanes of
// padding around the per-pair arrays: a pass runs up to
// kernels::kPassOverhang lanes past both ends of an anti-diagonal, and the
// q column of its last lane's next pair lies one further out.
constexpr std::int64_t kPad = 8;
static_assert(kPad >= kernels::kPassOverhang + 1, "the padding must cover the lanes a pass runs beyond its ends");

void swapColumns(Matrix& x, std::int64_t i, std::int64_t k) {
    for (std::int64_t r = 0; r < x.rows; ++r) std::swap(x(r, i), x(r, k));
}

// Rows of doubles with stride ld (a multiple of 8) in a buffer whose
// element `offset` of each row starts a 64-byte line.
struct AlignedRows {
    std::vector<double> storage;
    double* base = nullptr;
    AlignedRows(std::int64_t rows, std::int64_t ld, std::int64_t offset)
        : storage(elementCount(rows, ld) + 8, 0.0) {
        double* p = storage.data() + offset;
        const std::uintptr_t mis = reinterpret_cast<std::uintptr_t>(p) % 64;
        base = storage.data() + (mis == 0 ? 0 : (64 - mis) / sizeof(double));
    }
};

// A row stride of at least x doubles, a multiple of 8 but not of 256: rows
// 2 KiB apart or a multiple of it would fall into the same cache sets.
std::int64_t rowStride(std::int64_t x) {
    std::int64_t ld = (x + 7) / 8 * 8;
    if (ld % 256 == 0) ld += 8;
    return ld;
}

// Rotations logged anti-diagonal by anti-diagonal: those of anti-diagonal
// k of the log are log[start[k]] .. log[start[k+1]-1], in increasing p.
// cursor holds one position per logged anti-diagonal for each part
// applyRotations splits into.
struct RotationLog {
    std::vector<kernels::JacobiRotation> rotations;
    std::vector<std::size_t> start{0};
    std::vector<std::size_t> cursor;
};

// Element updates of the right factor a part must have to repay handing
// it to another thread.
constexpr double kRotationPartWork = double(1 << 17);

// Applies the logged rotations to the rows of the transposed right factor
// (n rows, stride ld). Rows p and q of vt take the rotations of pair
// (p, q) exactly as columns p and q of W do, so the order argument of the
// sweep holds for them too: a rotation needs only those of earlier
// anti-diagonals with p' <= p done first. So the log is applied in tiles:
// kVDiagonals anti-diagonals at a time, and within them kVLanes values of
// p at a time in increasing p, anti-diagonal by anti-diagonal. A rotation
// acts on each column of vt alone, so the blocks of kVBlock columns are
// independent: each part takes a run of consecutive blocks, with its own
// cursors into the log.
void applyRotations(const KernelSet& kern, double* vt, std::int64_t ld, std::int64_t n, RotationLog& log) {
    const std::size_t diagonals = log.start.size() - 1;
    const std::int64_t blocks = (n + kVBlock - 1) / kVBlock;
    const std::int64_t parts = std::min(
        std::max<std::int64_t>(1, blocks / 4),
        partsFor(2.0 * static_cast<double>(log.rotations.size()) * static_cast<double>(n), kRotationPartWork));
    log.cursor.resize(diagonals * static_cast<std::size_t>(parts));
    parallelFor(parts, [&](std::int64_t part) {
        std::size_t* const cursor = log.cursor.data() + diagonals * static_cast<std::size_t>(part);
        std::int64_t begin = 0, end = 0;
        partRange(n, kVBlock, parts, part, begin, end);
        for (std::int64_t j0 = begin; j0 < end; j0 += kVBlock) {
            const std::int64_t width = std::min(kVBlock, end - j0);
            for (std::size_t g0 = 0; g0 < diagonals; g0 += kVDiagonals) {
                const std::size_t g1 = std::min(diagonals, g0 + kVDiagonals);
                for (std::size_t g = g0; g < g1; ++g) cursor[g] = log.start[g];
                for (std::int64_t p1 = kVLanes; p1 < n + kVLanes; p1 += kVLanes) {
                    for (std::size_t g = g0; g < g1; ++g) {
                        const std::size_t first = cursor[g];
                        std::size_t e = first;
                        while (e < log.start[g + 1] && log.rotations[e].p < p1) ++e;
                        if (e > first)
                            kern.rotateRowPairs(vt + j0, ld, width, log.rotations.data() + first,
                                                static_cast<std::int64_t>(e - first));
                        cursor[g] = e;
                    }
                }
            }
        }
    });
    log.rotations.clear();
    log.start.assign(1, 0);
}

// Per pair of a pass, indexed by its p column: rotation, flags and sums.
struct PassLanes {
    const double* cs;
    const double* sn;
    const std::int64_t* rotate;
    const std::int64_t* want;
    double* alpha;
    double* beta;
    double* gamma;
};

// A pass is cut into chunks of lanes at p columns that are multiples of
// kChunkLanes. Every kernel set's vector runs start on multiples of its
// lane count (2, 4 or 8), so a chunk call runs exactly its own lanes: only
// the pass's own two ends run lanes beyond them, and those (at most
// kPassOverhang) touch only columns of lanes of their own chunk or of the
// one next to it.
constexpr std::int64_t kChunkLanes = 8;
static_assert(kChunkLanes % kernels::kLanes<kernels::F64x8> == 0 && kChunkLanes > kernels::kPassOverhang,
              "chunk boundaries must fall between vector runs, beyond the lanes a pass runs past its ends");

// Rows times rotating lanes (a lane that only takes sums counts half) a
// part of a pass must have to repay handing it to another thread: each
// wave of a split pass costs a hand-over and a wait for its slowest part,
// and this much work takes some fifteen microseconds on one core. Passes
// of a problem with n up to ~64 columns stay whole unless it has thousands
// of rows.
constexpr double kPassPartWork = double(1 << 16);

// Pass d over lanes p0 .. p0+count-1 (see kernels::diagonalPass), split
// across threads with the bits of one whole pass. cuts is working space.
//
// Chunks share no column, and a lane's rotation depends on nothing in the
// pass; but lane p's sums read column d+1-p, which lane p-1 rotates, row by
// row. So chunks run in two waves, the even ones and then the odd ones:
// no two chunks that run together are neighbours (the overhang of the
// pass's last lanes included). An odd chunk reads the rotated column of
// the even chunk before it, which has ended. The first lane of an even
// chunk after the first took its sums before the odd chunk before it
// rotated that column: the odd chunk's part sums that lane again
// afterwards, in the kernel's order.
//
// The kernel skips runs of lanes with nothing to do, and a rotating lane
// costs about twice one that only sums; chunk boundaries are placed so
// that every chunk has about the same share of that work.
void splitPass(const KernelSet& kern, double* w, std::int64_t ld, std::int64_t m, std::int64_t d, std::int64_t p0,
               std::int64_t count, const PassLanes& l, std::vector<std::int64_t>& cuts) {
    const auto pass = [&](std::int64_t first, std::int64_t lanes) {
        kern.diagonalPass(w, ld, m, d, first, lanes, l.cs + first, l.sn + first, l.rotate + first, l.want + first,
                          l.alpha + first, l.beta + first, l.gamma + first);
    };
    const std::int64_t origin = p0 - p0 % kChunkLanes;
    const std::int64_t end = p0 + count;
    const std::int64_t units = (end - origin + kChunkLanes - 1) / kChunkLanes;
    const auto unitWork = [&](std::int64_t u) -> std::int64_t {
        const std::int64_t b = std::max(p0, origin + u * kChunkLanes), e = std::min(end, b + kChunkLanes);
        std::int64_t rotates = 0, wants = 0;
        for (std::int64_t p = b; p < e; ++p) {
            rotates |= l.rotate[p];
            wants |= l.want[p];
        }
        return rotates != 0 ? 2 : wants != 0 ? 1 : 0;
    };
    std::int64_t total = 0;
    if (splitWidth() > 1)
        for (std::int64_t u = 0; u < units; ++u) total += unitWork(u);
    // At most one chunk per unit: every chunk has lanes, so neighbours by
    // index are neighbours in the pass.
    const std::int64_t chunks = std::min(
        units, 2 * partsFor(static_cast<double>(m) * static_cast<double>(kChunkLanes * total) / 2.0, kPassPartWork));
    if (chunks < 2 || total == 0) {
        pass(p0, count);
        return;
    }
    // Chunk k is units cuts[k] .. cuts[k+1]-1. Each cut goes after the
    // first unit where the work before it reaches its share, then moves
    // up past the cut before it and down below the one after it, so that
    // every chunk keeps a unit.
    cuts.assign(static_cast<std::size_t>(chunks + 1), units);
    cuts[0] = 0;
    std::int64_t done = 0, k = 1;
    for (std::int64_t u = 0; u < units && k < chunks; ++u) {
        done += unitWork(u);
        while (k < chunks && done * chunks >= k * total) cuts[static_cast<std::size_t>(k++)] = u + 1;
    }
    for (k = 1; k < chunks; ++k)
        cuts[static_cast<std::size_t>(k)] =
            std::max(cuts[static_cast<std::size_t>(k)], cuts[static_cast<std::size_t>(k - 1)] + 1);
    for (k = chunks - 1; k >= 1; --k)
        cuts[static_cast<std::size_t>(k)] =
            std::min(cuts[static_cast<std::size_t>(k)], cuts[static_cast<std::size_t>(k + 1)] - 1);
    const auto lanesOf = [&](std::int64_t c, std::int64_t& first, std::int64_t& last) {
        first = std::max(p0, origin + cuts[static_cast<std::size_t>(c)] * kChunkLanes);
        last = std::min(end, origin + cuts[static_cast<std::size_t>(c + 1)] * kChunkLanes);
    };
    parallelFor((chunks + 1) / 2, [&](std::int64_t i) {
        std::int64_t first = 0, last = 0;
        lanesOf(2 * i, first, last);
        pass(first, last - first);
    });
    parallelFor(chunks / 2, [&](std::int64_t i) {
        std::int64_t first = 0, last = 0;
        lanesOf(2 * i + 1, first, last);
        pass(first, last - first);
        // Lane `last` starts the next chunk (if any): its columns are now
        // final, column last by its own rotation, d+1-last by this chunk's.
        if (2 * i + 2 >= chunks || l.want[last] == 0) return;
        const double* pc = w + last;
        const double* qc = w + (d + 1 - last);
        double a = 0.0, b = 0.0, g = 0.0;
        for (std::int64_t r = 0; r < m; ++r) {
            const double wp = pc[r * ld], wq = qc[r * ld];
            const double pp = wp * wp, qq = wq * wq, pq = wp * wq;
            a = a + pp;
            b = b + qq;
            g = g + pq;
        }
        l.alpha[last] = a;
        l.beta[last] = b;
        l.gamma[last] = g;
    });
}

// The sums of the sweep and of the column norms are of degree 2 in the
// input; rotations keep the Frobenius norm, so none exceeds
// ||A||_F^2 <= m*n*M^2 (|gamma + gamma| <= alpha + beta included), with M
// the largest magnitude. With M < 2^e and m*n < 2^b that is below
// 2^(b+2e), and b+2e <= 1023 leaves a factor 2 for rounding: the largest
// magnitude's exponent may be (1023 - b) / 2. Everything else is of degree
// 0 (zeta, t, c, s, U, V) or 1 (W, S). Inputs whose largest magnitude is
// beyond that, or whose smallest non-zero magnitude is below 2^-400 (its
// square, or that of a residue of cancellation near it, might fall below
// the normal range), are decomposed scaled to that top exponent, which
// leaves the most room for small squares, and S is scaled back.
constexpr int kSmallestUnscaled = -400;

// Columns whose norms and left vectors are taken side by side, and the
// elements a part of them must have to repay handing it to another thread.
constexpr std::int64_t kNormColumns = 16;
constexpr double kNormPartWork = double(1 << 17);

}  // namespace

int svdInputShift(const Matrix& a) {
    return decompositionShift(a.data.data(), a.rows * a.cols, (1023 - bitWidth(a.rows * a.cols)) / 2,
                              kSmallestUnscaled);
}

// The sweep runs anti-diagonal by anti-diagonal, with exactly the bits of
// the cyclic order (p = 0 .. n-2, q = p+1 .. n-1). Number the pairs by
// their anti-diagonal d = p + q. If an earlier pair (p', q') of the cyclic
// order shares a column with (p, q), then p' <= p and d' < d:
//  - p' == p: then q' < q, so d' < d;
//  - p' < p: the shared column is q' == p (d' = p' + p < p + q) or
//    q' == q (d' = p' + q < p + q); p' == q cannot be, as p' < p < q.
// Two pairs of one anti-diagonal share no column (p, p' < d/2 would need
// p + p' == d). So taking the anti-diagonals in increasing d, and the
// pairs of one anti-diagonal in any order, every column (of W and of V)
// receives the same rotations in the same order as in the cyclic sweep,
// and every pair's sums are taken over the same column values. The
// rotated flag is an "or" over the whole sweep and the order does not
// change it.
//
// Of the pairs of anti-diagonal d, only (p, d-p) and (p-1, d+1-p) touch a
// column of the pair (p, d+1-p) of the next one, and rotations act on
// each row alone. So one pass over the rows rotates anti-diagonal d and,
// row by row, accumulates the sums of anti-diagonal d+1 (the kernel's
// lanes run in increasing p; see kernels/jacobi.h). The rotations of V
// depend on nothing but (c, s): they are logged and applied later, in an
// order the same argument allows (see applyRotations).
SvdFactors svdDecompose(const Matrix& a, std::int64_t maxSweeps, double tol) {
    const std::int64_t m = a.rows, n = a.cols;
    const int shift = svdInputShift(a);
    Matrix w = a;
    if (shift != 0)
        for (double& x : w.data) x = scaleByPowerOfTwo(x, shift);
    SvdFactors out;
    out.v = identity(n);

    if (maxSweeps >= 1 && n >= 2) {
        const KernelSet& kern = activeKernels();
        // W with kPad columns of zeros on each side, each row's column 0
        // on a line boundary.
        const std::int64_t ld = rowStride(n + 2 * kPad);
        AlignedRows padded(m, ld, kPad);
        double* W = padded.base + kPad;
        for (std::int64_t r = 0; r < m; ++r)
            std::memcpy(W + r * ld, w.data.data() + r * n, static_cast<std::size_t>(n) * sizeof(double));
        // v is built transposed (vt[j][r] = v[r][j]), so that its rotations
        // run along contiguous rows; the identity is its own transpose.
        const std::int64_t ldv = rowStride(n);
        AlignedRows vtRows(n, ldv, 0);
        double* vt = vtRows.base;
        for (std::int64_t j = 0; j < n; ++j) vt[j * ldv + j] = 1.0;

        // Per pair, indexed by its p column from -kPad: rotation and sums.
        const std::size_t lanes = static_cast<std::size_t>(n + 3 * kPad);
        std::vector<double> csStore(lanes, 0.0), snStore(lanes, 0.0), alphaStore(lanes), betaStore(lanes),
            gammaStore(lanes);
        std::vector<std::int64_t> rotateStore(lanes, 0), wantStore(lanes, 0);
        double* const cs = csStore.data() + kPad;
        double* const sn = snStore.data() + kPad;
        double* const alpha = alphaStore.data() + kPad;
        double* const beta = betaStore.data() + kPad;
        double* const gamma = gammaStore.data() + kPad;
        std::int64_t* const rotate = rotateStore.data() + kPad;
        std::int64_t* const want = wantStore.data() + kPad;
        // The pass that last rotated each column (-1: none yet). Passes are
        // numbered across sweeps; pass d of sweep k is k*(2n-2) + d.
        std::vector<std::int64_t> changed(static_cast<std::size_t>(n), -1);
        const std::int64_t passes = 2 * n - 2;
        RotationLog log;
        std::vector<std::int64_t> cuts;
        log.rotations.reserve(kLogFlush + static_cast<std::size_t>(n));

        for (std::int64_t sweep = 1; sweep <= maxSweeps; ++sweep) {
            bool rotated = false;
            std::fill(rotateStore.begin(), rotateStore.end(), 0);
            // Pass d rotates anti-diagonal d (none for d = 0) and sums
            // anti-diagonal d+1; its lanes are p = p0 .. d/2, covering the
            // pairs of both.
            for (std::int64_t d = 0; d <= 2 * n - 3; ++d) {
                const std::int64_t p0 = std::max<std::int64_t>(0, d - n + 1);
                const std::int64_t count = d / 2 - p0 + 1;
                for (std::int64_t i = 0; i < kPad; ++i) rotate[p0 + count + i] = 0;
                // A pair of the next anti-diagonal whose two columns are
                // unchanged since its sums were taken in the previous sweep
                // (a pass that rotated neither) would give the same sums,
                // again found orthogonal: its sums are not needed.
                const std::int64_t pass = sweep * passes + d;
                std::int64_t* const last = changed.data();
                for (std::int64_t p = p0; p < p0 + count; ++p)
                    if (rotate[p] != 0) last[p] = last[d - p] = pass;
                for (std::int64_t p = p0; p < p0 + count; ++p) {
                    const std::int64_t q = d + 1 - p;
                    want[p] = q < n && p < q && (sweep == 1 || last[p] > pass - passes || last[q] > pass - passes);
                }
                splitPass(kern, W, ld, m, d, p0, count, {cs, sn, rotate, want, alpha, beta, gamma}, cuts);
                if (d + 1 > 2 * n - 3) break;
                // Decide the pairs (p, q) of anti-diagonal d+1 in increasing p.
                const std::int64_t e = d + 1;
                std::fill(rotate + p0, rotate + p0 + count, 0);
                for (std::int64_t p = std::max<std::int64_t>(0, e - n + 1); 2 * p < e; ++p) {
                    const std::int64_t i = p;
                    if (!want[i]) continue;
                    const double al = alpha[i], b = beta[i], g = gamma[i];
                    // Orthogonal within tol: no rotation. A NaN makes the
                    // comparison false, so the rotation is made.
                    const double bound = (std::sqrt(al) * tol) * std::sqrt(b);
                    if (bound >= std::fabs(g)) continue;

                    const double zeta = (b - al) / (g + g);
                    double t;
                    if (zeta >= 0.0) {
                        t = 1.0 / (zeta + std::sqrt(zeta * zeta + 1.0));
                    } else {
                        t = -1.0 / (std::sqrt(zeta * zeta + 1.0) - zeta);
                    }
                    const double c = 1.0 / std::sqrt(t * t + 1.0);
                    const double s = t * c;
                    cs[i] = c;
                    sn[i] = s;
                    rotate[i] = -1;
                    log.rotations.push_back({p, e - p, c, s});
                    rotated = true;
                }
                if (log.rotations.size() > log.start.back()) log.start.push_back(log.rotations.size());
                if (log.rotations.size() >= kLogFlush) applyRotations(kern, vt, ldv, n, log);
            }
            applyRotations(kern, vt, ldv, n, log);
            if (!rotated) break;
        }
        for (std::int64_t r = 0; r < m; ++r)
            std::memcpy(w.data.data() + r * n, W + r * ld, static_cast<std::size_t>(n) * sizeof(double));
        transposeInto(vt, ldv, out.v.data.data(), n, n, n);
    }

    Matrix& v = out.v;

    out.s.assign(elementCount(n, 1), 0.0);
    out.u = initMatrix(m, n);
    std::vector<double>& S = out.s;
    Matrix& u = out.u;
    // Each column's sum runs over the rows in order; the columns are taken
    // kNormColumns side by side, so that the pass runs along the rows, and
    // runs of them go to different parts.
    const std::int64_t parts =
        std::min((n + kNormColumns - 1) / kNormColumns,
                 partsFor(static_cast<double>(m) * static_cast<double>(n), kNormPartWork));
    parallelFor(parts, [&](std::int64_t part) {
        std::int64_t begin = 0, end = 0;
        partRange(n, kNormColumns, parts, part, begin, end);
        for (std::int64_t j0 = begin; j0 < end; j0 += kNormColumns) {
            const std::int64_t width = std::min(kNormColumns, end - j0);
            double sumSquares[kNormColumns] = {};
            for (std::int64_t r = 0; r < m; ++r) {
                const double* row = &w(r, j0);
                for (std::int64_t k = 0; k < width; ++k) {
                    const double square = row[k] * row[k];
                    sumSquares[k] = sumSquares[k] + square;
                }
            }
            double sj[kNormColumns];
            for (std::int64_t k = 0; k < width; ++k) {
                sj[k] = std::sqrt(sumSquares[k]);
                S[static_cast<std::size_t>(j0 + k)] = sj[k];
            }
            for (std::int64_t r = 0; r < m; ++r)
                for (std::int64_t k = 0; k < width; ++k)
                    if (sj[k] > 0.0) u(r, j0 + k) = w(r, j0 + k) / sj[k];
        }
    });

    // Selection sort, descending: only a strictly greater value moves the
    // choice, so ties keep their order and a NaN is never chosen.
    for (std::int64_t i = 0; i + 1 < n; ++i) {
        std::int64_t k = i;
        double best = S[static_cast<std::size_t>(i)];
        for (std::int64_t l = i + 1; l < n; ++l) {
            if (S[static_cast<std::size_t>(l)] > best) {
                k = l;
                best = S[static_cast<std::size_t>(l)];
            }
        }
        if (k != i) {
            std::swap(S[static_cast<std::size_t>(i)], S[static_cast<std::size_t>(k)]);
            swapColumns(u, i, k);
            swapColumns(v, i, k);
        }
    }
    // After the sort: scaling back may round distinct tiny values to one.
    if (shift != 0)
        for (double& x : S) x = scaleByPowerOfTwo(x, -shift);
    return out;
}

}  // namespace corx_internal
