// SPDX-License-Identifier: BSD-3-Clause
#include "kernels/product.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "kernels/product_kernels.h"
#include "runtime/parallel.h"
#include "runtime/scratch.h"

namespace corx_internal {
namespace {

// Cache blocking: a kc x nc slice of b and an mc x kc slice of a are packed
// into panels; the micro-kernel sweeps MR x NR tiles of r over them. Blocks
// of k are taken in increasing order, so every element still sees its
// products in increasing k. A product with fewer than kPackAFrom columns
// (the block updates of the factorisations) reads the rows of a in place
// instead: each packed element would serve too few tiles to repay the copy.
constexpr std::int64_t kKc = 512;
constexpr std::int64_t kMcRows = 96;
constexpr std::int64_t kNcCols = 3072;
constexpr std::int64_t kPackAFrom = 256;
static_assert(kernels::kAheadDoubles(kKc) <= kernels::kMaxTileElements,
              "the edge buffer must hold a prefetch slice");

// The panel widths and heights are those of the kernel sets (kernel_set.cpp):
// as constants the copies below compile to straight vector moves instead of
// library calls and loops of unknown length. NR = 0 takes the width nr.
template <int NR>
void packBRows(const double* b, std::int64_t ldb, std::int64_t k0, std::int64_t kc, std::int64_t j0,
               std::int64_t nc, int nr, double* out) {
    const std::int64_t w = NR > 0 ? NR : nr;
    // Row by row, so that b is read in its own order and the prefetcher
    // streams it; each row is dealt out to the panels.
    const std::int64_t full = nc / w * w;
    for (std::int64_t k = 0; k < kc; ++k) {
        const double* src = b + (k0 + k) * ldb + j0;
        double* dst = out + k * w;
        std::int64_t jp = 0;
        for (; jp < full; jp += w, dst += kc * w)
            std::memcpy(dst, src + jp, static_cast<std::size_t>(w) * sizeof(double));
        if (jp < nc) {
            std::int64_t j = 0;
            for (; j < nc - jp; ++j) dst[j] = src[jp + j];
            for (; j < w; ++j) dst[j] = 0.0;
        }
    }
}

// b rows [k0, k0+kc), columns [j0, j0+nc) into panels of nr columns,
// k-major inside a panel (panel jp/nr starts at out + jp*kc); columns past
// the edge are +0.0 (their sums are computed and thrown away).
void packB(const double* b, std::int64_t ldb, std::int64_t k0, std::int64_t kc, std::int64_t j0, std::int64_t nc,
           int nr, double* out) {
    switch (nr) {
        case 24: return packBRows<24>(b, ldb, k0, kc, j0, nc, nr, out);
        case 8: return packBRows<8>(b, ldb, k0, kc, j0, nc, nr, out);
        case 6: return packBRows<6>(b, ldb, k0, kc, j0, nc, nr, out);
        default: return packBRows<0>(b, ldb, k0, kc, j0, nc, nr, out);
    }
}

// A full panel of MR rows: the rows are read along k in runs of 8 (a cache
// line each), and the run is dealt out k by k.
template <int MR>
void packAPanel(const double* src, std::int64_t lda, std::int64_t kc, double* out) {
    std::int64_t k = 0;
    for (; k + 8 <= kc; k += 8, out += 8 * MR) {
        double run[MR][8];
        for (int r = 0; r < MR; ++r) std::memcpy(run[r], src + r * lda + k, sizeof run[r]);
        for (int u = 0; u < 8; ++u)
            for (int r = 0; r < MR; ++r) out[u * MR + r] = run[r][u];
    }
    for (; k < kc; ++k, out += MR)
        for (int r = 0; r < MR; ++r) out[r] = src[r * lda + k];
}

// a rows [i0, i0+mc), columns [k0, k0+kc) into panels of mr rows, k-major
// inside a panel; rows past the edge are +0.0.
void packA(const double* a, std::int64_t lda, std::int64_t i0, std::int64_t mc, std::int64_t k0, std::int64_t kc,
           int mr, double* out) {
    for (std::int64_t ip = 0; ip < mc; ip += mr) {
        const std::int64_t h = std::min<std::int64_t>(mr, mc - ip);
        const double* src = a + (i0 + ip) * lda + k0;
        if (h == mr) {
            switch (mr) {
                case 8: packAPanel<8>(src, lda, kc, out); out += kc * mr; continue;
                case 6: packAPanel<6>(src, lda, kc, out); out += kc * mr; continue;
                case 4: packAPanel<4>(src, lda, kc, out); out += kc * mr; continue;
                default: break;
            }
        }
        for (std::int64_t k = 0; k < kc; ++k) {
            std::int64_t r = 0;
            for (; r < h; ++r) out[r] = src[r * lda + k];
            for (; r < mr; ++r) out[r] = 0.0;
            out += mr;
        }
    }
}

// The h x w corner of a tile of r into the mr x nr edge buffer, the rest
// of the buffer +0.0.
void copyEdgeIn(const double* c, std::int64_t ldr, std::int64_t h, std::int64_t w, int mr, int nr, double* edge) {
    for (std::int64_t x = 0; x < mr; ++x, edge += nr) {
        const std::int64_t valid = x < h ? w : 0;
        for (std::int64_t y = 0; y < valid; ++y) edge[y] = c[x * ldr + y];
        for (std::int64_t y = valid; y < nr; ++y) edge[y] = 0.0;
    }
}

void blockedProduct(const KernelSet& kern, bool subtract, const double* a, std::int64_t lda, const double* b,
                    std::int64_t ldb, double* r, std::int64_t ldr, std::int64_t m, std::int64_t p, std::int64_t n) {
    if (m <= 0 || p <= 0 || n <= 0) return;
    const kernels::MicroKernel run = subtract ? kern.productSubtract : kern.productAdd;
    const int mr = kern.mr, nr = kern.nr;
    const std::int64_t mcMax = (kMcRows + mr - 1) / mr * mr;
    const std::int64_t ncMax = (kNcCols + nr - 1) / nr * nr;
    const std::int64_t kcMax = std::min(kKc, p);
    const std::int64_t ncAlloc = std::min(ncMax, (n + nr - 1) / nr * nr);
    // Kept by the thread between calls: a fresh buffer would be page-faulted
    // in on every product (and on every block update of a factorisation).
    const Scratch bPack(ScratchSlot::ProductB, kcMax * ncAlloc);
    const bool packAll = n >= kPackAFrom;
    const std::int64_t mcAlloc = packAll ? std::min(mcMax, (m + mr - 1) / mr * mr) : mr;
    const Scratch aPack(ScratchSlot::ProductA, kcMax * mcAlloc);
    alignas(64) double edge[kernels::kMaxTileElements];

    for (std::int64_t j0 = 0; j0 < n; j0 += ncMax) {
        const std::int64_t nc = std::min(ncMax, n - j0);
        for (std::int64_t k0 = 0; k0 < p; k0 += kcMax) {
            const std::int64_t kc = std::min(kcMax, p - k0);
            packB(b, ldb, k0, kc, j0, nc, nr, bPack.data());
            for (std::int64_t i0 = 0; i0 < m; i0 += mcMax) {
                const std::int64_t mc = std::min(mcMax, m - i0);
                // Packed: the whole block; in place: only a last partial tile.
                const std::int64_t fullRows = packAll ? 0 : mc / mr * mr;
                if (fullRows < mc) packA(a, lda, i0 + fullRows, mc - fullRows, k0, kc, mr, aPack.data());
                const std::int64_t slice = kernels::kAheadDoubles(kc);
                for (std::int64_t jp = 0; jp < nc; jp += nr) {
                    const std::int64_t w = std::min<std::int64_t>(nr, nc - jp);
                    const double* bp = bPack.data() + jp * kc;
                    // The panel read after this one: the next, or after the
                    // last, the first again for the next block of rows. Each
                    // tile brings in its own slice of it; tiles past its end
                    // point the kernel at the panel they read, already in
                    // cache (at the edge buffer only when a slice is longer
                    // than a panel, for kc below 4). Pointed at the edge
                    // buffer on the stack for every such tile, these
                    // prefetches slowed each tile of a split product's
                    // tasks by a factor of 2.4 on Zen 1, so that two threads
                    // took longer than one.
                    const double* nextPanel = jp + nr < nc ? bp + nr * kc : bPack.data();
                    for (std::int64_t ip = 0, sliceAt = 0; ip < mc; ip += mr, sliceAt += slice) {
                        const std::int64_t h = std::min<std::int64_t>(mr, mc - ip);
                        const double* ahead = sliceAt + slice <= nr * kc ? nextPanel + sliceAt : slice <= nr * kc ? bp : edge;
                        const bool inPlace = ip < fullRows;
                        const double* ap = inPlace ? a + (i0 + ip) * lda + k0 : aPack.data() + (ip - fullRows) * kc;
                        const std::int64_t rs = inPlace ? lda : 1, ks = inPlace ? 1 : mr;
                        double* c = r + (i0 + ip) * ldr + j0 + jp;
                        // The next tile of r streams in while this one is computed.
                        if (ip + mr < mc) {
                            const double* next = c + mr * ldr;
                            const std::int64_t rows = std::min<std::int64_t>(mr, mc - ip - mr);
                            for (std::int64_t x = 0; x < rows; ++x)
                                for (std::int64_t y = 0; y < w; y += 8) __builtin_prefetch(next + x * ldr + y, 1);
                        }
                        if (h == mr && w == nr) {
                            run(kc, ap, rs, ks, bp, c, ldr, ahead);
                            continue;
                        }
                        // Edge tile: work on a full-size copy, keep the valid part.
                        // Row by row, in runs the compiler can move as vectors:
                        // with a test per element, these copies took some 7% of
                        // an LU solve of order 500, whose narrow blocks are
                        // mostly edge tiles.
                        copyEdgeIn(c, ldr, h, w, mr, nr, edge);
                        run(kc, ap, rs, ks, bp, edge, nr, ahead);
                        for (std::int64_t x = 0; x < h; ++x)
                            for (std::int64_t y = 0; y < w; ++y) c[x * ldr + y] = edge[x * nr + y];
                    }
                }
            }
        }
    }
}

// Multiply-adds a part must have to repay handing it to another thread
// (about 50 us of one core's work).
constexpr double kPartWork = double(1 << 16);

// Every element of r is its own chain of products in increasing k, so
// blocks of r's rows (or, for a short wide r, of its columns) may be
// computed by different threads in any order: each block packs its own
// panels and runs the same chains. Block edges fall on whole tiles.
void splitProduct(const KernelSet& kern, bool subtract, const double* a, std::int64_t lda, const double* b,
                  std::int64_t ldb, double* r, std::int64_t ldr, std::int64_t m, std::int64_t p, std::int64_t n) {
    if (m <= 0 || p <= 0 || n <= 0) return;
    const std::int64_t byRows = m / kern.mr, byCols = n / kern.nr;
    const std::int64_t parts =
        std::min(std::max(byRows, byCols), partsFor(static_cast<double>(m) * static_cast<double>(p) * n, kPartWork));
    if (parts <= 1) return blockedProduct(kern, subtract, a, lda, b, ldb, r, ldr, m, p, n);
    const bool rows = byRows >= byCols;
    parallelFor(parts, [&](std::int64_t i) {
        std::int64_t begin = 0, end = 0;
        if (rows) {
            partRange(m, kern.mr, parts, i, begin, end);
            blockedProduct(kern, subtract, a + begin * lda, lda, b, ldb, r + begin * ldr, ldr, end - begin, p, n);
        } else {
            partRange(n, kern.nr, parts, i, begin, end);
            blockedProduct(kern, subtract, a, lda, b + begin, ldb, r + begin, ldr, m, p, end - begin);
        }
    });
}

}  // namespace

void productAccumulate(const KernelSet& kern, const double* a, std::int64_t lda, const double* b,
                       std::int64_t ldb, double* r, std::int64_t ldr, std::int64_t m, std::int64_t p, std::int64_t n) {
    splitProduct(kern, false, a, lda, b, ldb, r, ldr, m, p, n);
}

void productAccumulate(const double* a, std::int64_t lda, const double* b, std::int64_t ldb, double* r,
                       std::int64_t ldr, std::int64_t m, std::int64_t p, std::int64_t n) {
    splitProduct(activeKernels(), false, a, lda, b, ldb, r, ldr, m, p, n);
}

void productSubtract(const KernelSet& kern, const double* a, std::int64_t lda, const double* b,
                     std::int64_t ldb, double* r, std::int64_t ldr, std::int64_t m, std::int64_t p, std::int64_t n) {
    splitProduct(kern, true, a, lda, b, ldb, r, ldr, m, p, n);
}

}  // namespace corx_internal
