/* SPDX-License-Identifier: BSD-3-Clause */
// The kernel set: every instruction-set-specific loop of the library,
// handed out as one record of function pointers and tile constants for the
// instruction set in use.
//
// The algorithms fix the order of operations (blocking, pivoting, the
// sequence of reflections and rotations) and call the kernels of
// activeKernels() for the inner loops. Each kernel's header states the
// exact order of the rounded operations it performs; every kernel set
// performs the same ones, so the choice of set changes only the speed,
// never a bit of a result.
//
// On x86-64 the library is built for the baseline (SSE2) and the wider sets
// are compiled under target attributes and picked at run time: baseline,
// AVX2, AVX-512. Elsewhere there is one set, compiled for the target's own
// vector width (NEON on 64-bit ARM, portable code on other machines), and
// it is called the baseline.
#pragma once

#include <cstdint>

#include "kernels/exact_accumulator.h"
#include "kernels/jacobi.h"
#include "kernels/product_kernels.h"
#include "kernels/reflect_panel.h"

namespace corx_internal {

enum class Isa : int { Baseline = 0, Avx2 = 1, Avx512 = 2 };

struct KernelSet {
    Isa isa;

    // Dense product (kernels/product_kernels.h): an mr x nr tile.
    int mr;
    int nr;
    kernels::MicroKernel productAdd;
    kernels::MicroKernel productSubtract;

    // Householder reflection of w columns (kernels/reflect.h).
    void (*reflectColumns)(double* x, std::int64_t ld, std::int64_t len, std::int64_t w, const double* v,
                           double vv, std::int64_t keep);

    // s[i] = s[i] - a*x[i] (kernels/vector_ops.h).
    void (*subtractScaled)(double* s, const double* x, double a, std::int64_t len);
    // s[i] = s[i] - c[k]*x[k*ld + i], k = 0 .. count-1 in order
    // (kernels/vector_ops.h).
    void (*subtractScaledRows)(double* s, const double* x, std::int64_t ld, const double* c, std::int64_t count,
                               std::int64_t len);
    // The same for kRowBlock rows of s (lds apart) with their own c (ldc
    // apart), sharing the loads of x (kernels/vector_ops.h).
    void (*subtractScaledRowBlock)(double* s, std::int64_t lds, const double* x, std::int64_t ld, const double* c,
                                   std::int64_t ldc, std::int64_t count, std::int64_t len);

    // A panel of Householder reflections of w columns
    // (kernels/reflect_panel.h).
    void (*reflectPanel)(double* x, std::int64_t ld, std::int64_t rows, std::int64_t w,
                         const kernels::PanelReflection* h, std::int64_t count);
    // Columns reflectPanel takes side by side: blocks of columns this wide,
    // stored with their rows contiguous, are its fastest shape.
    int panelColumns;

    // Jacobi sweep by anti-diagonals (kernels/jacobi.h): one pass rotating
    // an anti-diagonal's pairs and taking the next one's sums, and the
    // rotation of pairs of rows.
    void (*diagonalPass)(double* w, std::int64_t ld, std::int64_t m, std::int64_t d, std::int64_t p0,
                         std::int64_t count, const double* c, const double* s, const std::int64_t* rotate,
                         const std::int64_t* want, double* alpha, double* beta, double* gamma);
    void (*rotateRowPairs)(double* x, std::int64_t ld, std::int64_t width, const kernels::JacobiRotation* rotations,
                           std::int64_t count);

    // Sparse rows y = S*x (kernels/sparse_rows.h).
    void (*csrRows)(std::int64_t rows, const std::int64_t* rowPtr, const std::int32_t* colIdx,
                    const double* values, const double* x, double* y);

    // A row's exact products (kernels/exact_rows.h).
    void (*exactRowProducts)(ExactAccumulator* lanes, kernels::ExactBuckets& buckets, const double* row,
                             const double* x, const kernels::ExactFactor* xf, const kernels::ExactSplit& xs,
                             std::int64_t cols);

    // A row's exact residual without an accumulator, when the split
    // route's window takes it whole (kernels/exact_rows.h).
    // With the row's scan (exactRowScan), or null to scan it with x.
    bool (*exactLevelRow)(double c, const double* row, const double* x, const kernels::ExactSplit& xs,
                          std::int64_t n, const kernels::ExactRowScan* rowScan, double& out);
    kernels::ExactRowScan (*exactRowScan)(const double* row, std::int64_t n);

    // Up to kShortLanes short rows' exact residuals side by side, where
    // compensated sums decide them (kernels/exact_short.h).
    unsigned (*exactShortRows)(const double* c, const double* y, const double* z, int n, int lanes, double* out);

    // A step of the LU leaf: multipliers, updates and the next column's
    // search in one pass (kernels/lu_leaf.h).
    void (*luLeafStep)(double* panel, std::int64_t rows, std::int64_t w, std::int64_t c, double pivot,
                       std::int64_t& row, double& best);

    // A transposing copy (kernels/substitute.h): no arithmetic.
    void (*transposeCopy)(const double* src, std::int64_t lds, double* dst, std::int64_t ldd, std::int64_t rows,
                          std::int64_t cols);

    // kSubstRows rows' products with final unknowns (kernels/substitute.h).
    void (*subtractRowProducts)(double* v, const double* a, std::int64_t lda, const double* y, std::int64_t len);
};

// The widest instruction set this processor (and its operating system)
// supports, lowered to the one named by the environment variable CORX_ISA
// if that is narrower; determined once, on first use.
Isa detectedIsa() noexcept;

// The instruction set the kernels use now: detectedIsa() unless a narrower
// one was forced.
Isa activeIsa() noexcept;

// Restricts the kernels to `isa` (for testing each path). Returns false, and
// changes nothing, when it is wider than detectedIsa().
bool forceIsa(Isa isa) noexcept;

// Short lower-case name: "baseline", "avx2", "avx512".
const char* isaName(Isa isa) noexcept;

// The two forms of the AVX-512 product tile (kernels/product_kernels.h):
// the same operations, chosen for speed by the processor. Every other
// instruction set has the register form only.
enum class TileForm : int { Auto = -1, Register = 0, Operand = 1 };

// Forces a form of the AVX-512 tile, or gives the choice back to the
// processor (Auto); for tests and benchmarks.
void forceTileForm(TileForm form) noexcept;

// The form the AVX-512 kernel set uses now: the forced one, else the
// processor's (Operand on Zen 4, Register elsewhere).
TileForm activeTileForm() noexcept;

// The kernel set of an instruction set no wider than detectedIsa().
const KernelSet& kernelsFor(Isa isa) noexcept;

// The kernel set of activeIsa().
const KernelSet& activeKernels() noexcept;

}  // namespace corx_internal
