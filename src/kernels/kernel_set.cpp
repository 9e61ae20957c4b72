// SPDX-License-Identifier: BSD-3-Clause
// The one place where the instruction set is examined and the kernel set
// chosen.
//
// Every kernel body is a template over the vector type (kernels/simd.h);
// CORX_KERNEL_SET instantiates all of them for one vector width under one
// target attribute. To add a kernel: write its body in a header of this
// directory (stating its order of rounded operations), add a pointer to
// KernelSet, and instantiate it in CORX_KERNEL_SET.
//
// The environment variable CORX_ISA (baseline, avx2 or avx512) is read
// once, when the processor is examined: it lowers the instruction set the
// kernels use to the one named, never raises it above what the processor
// supports; any other value is ignored.
#include "kernels/kernel_set.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include "kernels/exact_rows.h"
#include "kernels/exact_short.h"
#include "kernels/lu_leaf.h"
#include "kernels/reflect.h"
#include "kernels/sparse_rows.h"
#include "kernels/substitute.h"
#include "kernels/vector_ops.h"

namespace corx_internal {

namespace {

// The sparse kernel has no vector form (its loads are indirect): one
// instance serves every set.
void csrRowsPortable(std::int64_t rows, const std::int64_t* rp, const std::int32_t* ci, const double* v,
                     const double* x, double* y) {
    kernels::csrRows(rows, rp, ci, v, x, y);
}

// The kernel set NAME for instruction set ISA: vectors of type V, a product
// tile of MR rows by NV vectors whose k loop is unrolled in groups if
// GROUPED (kernels/product_kernels.h), panels of reflections applied to
// PV vectors of columns at a time (kernels/reflect_panel.h), every function
// compiled with the attribute TARGET (empty for the build's own target).
#define CORX_KERNEL_SET(NAME, ISA, TARGET, V, MR, NV, GROUPED, PV)                                              \
    namespace NAME {                                                                                            \
    TARGET void productAdd(std::int64_t kc, const double* a, std::int64_t rs, std::int64_t ks, const double* b, \
                           double* c, std::int64_t ldc, const double* ahead) {                                  \
        kernels::productTile<V, MR, NV, false, GROUPED>(kc, a, rs, ks, b, c, ldc, ahead);                       \
    }                                                                                                           \
    TARGET void productSubtract(std::int64_t kc, const double* a, std::int64_t rs, std::int64_t ks,             \
                                const double* b, double* c, std::int64_t ldc, const double* ahead) {            \
        kernels::productTile<V, MR, NV, true, GROUPED>(kc, a, rs, ks, b, c, ldc, ahead);                        \
    }                                                                                                           \
    TARGET void reflectColumns(double* x, std::int64_t ld, std::int64_t len, std::int64_t w, const double* v,   \
                               double vv, std::int64_t keep) {                                                  \
        kernels::reflectColumns<V>(x, ld, len, w, v, vv, keep);                                                 \
    }                                                                                                           \
    TARGET void subtractScaled(double* s, const double* x, double a, std::int64_t len) {                        \
        kernels::subtractScaled<V>(s, x, a, len);                                                               \
    }                                                                                                           \
    TARGET void subtractScaledRows(double* s, const double* x, std::int64_t ld, const double* c,                \
                                   std::int64_t count, std::int64_t len) {                                      \
        kernels::subtractScaledRows<V>(s, x, ld, c, count, len);                                                \
    }                                                                                                           \
    TARGET void subtractScaledRowBlock(double* s, std::int64_t lds, const double* x, std::int64_t ld,            \
                                       const double* c, std::int64_t ldc, std::int64_t count, std::int64_t len) {   \
        kernels::subtractScaledRowBlock<V>(s, lds, x, ld, c, ldc, count, len);                                  \
    }                                                                                                           \
    TARGET void reflectPanel(double* x, std::int64_t ld, std::int64_t rows, std::int64_t w,                     \
                             const kernels::PanelReflection* h, std::int64_t count) {                           \
        kernels::reflectPanel<V, PV>(x, ld, rows, w, h, count);                                                 \
    }                                                                                                           \
    TARGET void diagonalPass(double* w, std::int64_t ld, std::int64_t m, std::int64_t d, std::int64_t p0,       \
                             std::int64_t count, const double* c, const double* s, const std::int64_t* rotate,  \
                             const std::int64_t* want, double* alpha, double* beta, double* gamma) {            \
        kernels::diagonalPass<V>(w, ld, m, d, p0, count, c, s, rotate, want, alpha, beta, gamma);               \
    }                                                                                                           \
    TARGET void rotateRowPairs(double* x, std::int64_t ld, std::int64_t width,                                  \
                               const kernels::JacobiRotation* rotations, std::int64_t count) {                  \
        kernels::rotateRowPairs<V>(x, ld, width, rotations, count);                                             \
    }                                                                                                           \
    TARGET void subtractRowProducts(double* v, const double* a, std::int64_t lda, const double* y,              \
                                    std::int64_t len) {                                                         \
        kernels::subtractRowProducts<V>(v, a, lda, y, len);                                                     \
    }                                                                                                           \
    TARGET void exactRowProducts(ExactAccumulator* lanes, kernels::ExactBuckets& buckets, const double* row,    \
                                 const double* x, const kernels::ExactFactor* xf,                               \
                                 const kernels::ExactSplit& xs, std::int64_t cols) {                            \
        kernels::exactRows<V>(lanes, buckets, row, x, xf, xs, cols);                                            \
    }                                                                                                           \
    TARGET bool exactLevelRow(double c, const double* row, const double* x, const kernels::ExactSplit& xs,      \
                              std::int64_t n, const kernels::ExactRowScan* rowScan, double& out) {              \
        return kernels::exactLevelRow<V>(c, row, x, xs, n, rowScan, out);                                       \
    }                                                                                                           \
    TARGET kernels::ExactRowScan exactRowScan(const double* row, std::int64_t n) {                              \
        return kernels::exactRowScan<V>(row, n);                                                                \
    }                                                                                                           \
    TARGET unsigned exactShortRows(const double* c, const double* y, const double* z, int n, int lanes,         \
                                   double* out) {                                                               \
        return kernels::exactShortRows<V>(c, y, z, n, lanes, out);                                              \
    }                                                                                                           \
    TARGET void luLeafStep(double* panel, std::int64_t rows, std::int64_t w, std::int64_t c, double pivot,      \
                           std::int64_t& row, double& best) {                                                   \
        kernels::luLeafStep<V>(panel, rows, w, c, pivot, row, best);                                            \
    }                                                                                                           \
    TARGET void transposeCopy(const double* src, std::int64_t lds, double* dst, std::int64_t ldd,               \
                              std::int64_t rows, std::int64_t cols) {                                           \
        kernels::transposeCopy<V>(src, lds, dst, ldd, rows, cols);                                              \
    }                                                                                                           \
    constexpr KernelSet kSet{ISA,                                                                               \
                             MR,                                                                                \
                             NV * kernels::kLanes<V>,                                                           \
                             productAdd,                                                                        \
                             productSubtract,                                                                   \
                             reflectColumns,                                                                    \
                             subtractScaled,                                                                    \
                             subtractScaledRows,                                                                \
                             subtractScaledRowBlock,                                                            \
                             reflectPanel,                                                                      \
                             PV * kernels::kLanes<V>,                                                           \
                             diagonalPass,                                                                      \
                             rotateRowPairs,                                                                    \
                             csrRowsPortable,                                                                   \
                             exactRowProducts,                                                                  \
                             exactLevelRow,                                                                     \
                             exactRowScan,                                                                      \
                             exactShortRows,                                                                    \
                             luLeafStep,                                                                        \
                             transposeCopy,                                                                     \
                             subtractRowProducts};                                                              \
    }

#if defined(__x86_64__)

// SSE2 (two doubles, 16 registers): 4 x 6, 12 accumulators; reflections
// on 8 columns at a time.
CORX_KERNEL_SET(sse2, Isa::Baseline, , kernels::F64x2, 4, 3, false, 4)
// AVX2 (four doubles, 16 registers): 6 x 8, 12 accumulators; reflections
// on 16 columns at a time.
CORX_KERNEL_SET(avx2, Isa::Avx2, __attribute__((target("avx2"))), kernels::F64x4, 6, 2, true, 4)
// AVX-512 (eight doubles, 32 registers): 8 x 24, 24 accumulators;
// reflections on 64 columns at a time (16 of the registers hold their sums
// and factors).
CORX_KERNEL_SET(avx512, Isa::Avx512, __attribute__((target("avx512f"))), kernels::F64x8, 8, 3, false, 8)

// The same set with the product tile's operand form
// (kernels/product_kernels.h), for cores where a register broadcast takes an
// arithmetic pipe. The panel of reflections keeps the register form: it
// loads and stores a row per step, and there the operand form ran slower
// (54-76% of the peak against 80% on Zen 4).
namespace avx512_operand {
__attribute__((target("avx512f"))) void productAdd(std::int64_t kc, const double* a, std::int64_t rs,
                                                   std::int64_t ks, const double* b, double* c, std::int64_t ldc,
                                                   const double* ahead) {
    kernels::productTile<kernels::F64x8, 8, 3, false, false, true>(kc, a, rs, ks, b, c, ldc, ahead);
}
__attribute__((target("avx512f"))) void productSubtract(std::int64_t kc, const double* a, std::int64_t rs,
                                                        std::int64_t ks, const double* b, double* c,
                                                        std::int64_t ldc, const double* ahead) {
    kernels::productTile<kernels::F64x8, 8, 3, true, false, true>(kc, a, rs, ks, b, c, ldc, ahead);
}
constexpr KernelSet kSet = [] {
    KernelSet s = avx512::kSet;
    s.productAdd = productAdd;
    s.productSubtract = productSubtract;
    return s;
}();
}  // namespace avx512_operand

constexpr const KernelSet* kSets[] = {&sse2::kSet, &avx2::kSet, &avx512::kSet};

// Zen 4 (AMD family 19h with AVX-512) splits 512-bit operations in two
// halves; there the operand form of the product tile runs at 96% of the
// peak, the register form at 73%. Other processors keep the register form,
// which reached 83-92% on Zen 5.
bool prefersOperandBroadcast() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return false;
    // "AuthenticAMD" in ebx, edx, ecx.
    if (ebx != 0x68747541u || edx != 0x69746e65u || ecx != 0x444d4163u) return false;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    unsigned family = (eax >> 8) & 0xf;
    if (family == 0xf) family += (eax >> 20) & 0xff;
    return family == 0x19;
}

Isa processorIsa() noexcept {
    // libgcc's probe also checks that the operating system saves the wider
    // registers (XCR0), not only the CPUID bits.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return Isa::Avx512;
    if (__builtin_cpu_supports("avx2")) return Isa::Avx2;
    return Isa::Baseline;
}

#elif defined(__aarch64__)

// NEON (two doubles, 32 registers, part of the base architecture): 8 x 6,
// 24 accumulators.
CORX_KERNEL_SET(neon, Isa::Baseline, , kernels::F64x2, 8, 3, false, 4)

constexpr const KernelSet* kSets[] = {&neon::kSet};

Isa processorIsa() noexcept { return Isa::Baseline; }

#else

// Any other machine: the same source at the generic width, which the
// compiler maps to the vector unit it targets or to scalar code.
CORX_KERNEL_SET(portable, Isa::Baseline, , kernels::F64x2, 4, 3, false, 4)

constexpr const KernelSet* kSets[] = {&portable::kSet};

Isa processorIsa() noexcept { return Isa::Baseline; }

#endif

#undef CORX_KERNEL_SET

constexpr int kSetCount = static_cast<int>(sizeof kSets / sizeof kSets[0]);
static_assert([] {
    for (int i = 0; i < kSetCount; ++i)
        if (static_cast<int>(kSets[i]->isa) != i) return false;
    return true;
}(), "kSets is indexed by Isa");
constexpr const char* kNames[] = {"baseline", "avx2", "avx512"};

Isa probe() noexcept {
    Isa isa = processorIsa();
    // CORX_ISA may only lower the path; unknown names are ignored.
    if (const char* wanted = std::getenv("CORX_ISA")) {
        for (int i = 0; i < static_cast<int>(isa); ++i)
            if (std::strcmp(wanted, kNames[i]) == 0) isa = static_cast<Isa>(i);
    }
    return isa;
}

std::atomic<int> forced{-1};

// Cached in an atomic rather than a function-local static, whose first use
// would hold an initialisation guard other threads could wait on; racing
// first calls all probe the same answer.
std::atomic<int> gDetected{-1};

}  // namespace

Isa detectedIsa() noexcept {
    int isa = gDetected.load(std::memory_order_relaxed);
    if (isa < 0) {
        isa = static_cast<int>(probe());
        gDetected.store(isa, std::memory_order_relaxed);
    }
    return static_cast<Isa>(isa);
}

Isa activeIsa() noexcept {
    const int f = forced.load(std::memory_order_relaxed);
    return f < 0 ? detectedIsa() : static_cast<Isa>(f);
}

bool forceIsa(Isa isa) noexcept {
    if (static_cast<int>(isa) > static_cast<int>(detectedIsa())) return false;
    forced.store(static_cast<int>(isa), std::memory_order_relaxed);
    return true;
}

const char* isaName(Isa isa) noexcept {
    const int i = static_cast<int>(isa);
    return i >= 0 && i < 3 ? kNames[i] : "baseline";
}

namespace {

std::atomic<int> gForcedForm{static_cast<int>(TileForm::Auto)};
std::atomic<int> gPreferredForm{-2};  // -2: not probed yet

}  // namespace

void forceTileForm(TileForm form) noexcept { gForcedForm.store(static_cast<int>(form), std::memory_order_relaxed); }

TileForm activeTileForm() noexcept {
#if defined(__x86_64__)
    const int forcedForm = gForcedForm.load(std::memory_order_relaxed);
    if (forcedForm != static_cast<int>(TileForm::Auto)) return static_cast<TileForm>(forcedForm);
    int preferred = gPreferredForm.load(std::memory_order_relaxed);
    if (preferred == -2) {
        preferred = static_cast<int>(prefersOperandBroadcast() ? TileForm::Operand : TileForm::Register);
        gPreferredForm.store(preferred, std::memory_order_relaxed);
    }
    return static_cast<TileForm>(preferred);
#else
    return TileForm::Register;
#endif
}

const KernelSet& kernelsFor(Isa isa) noexcept {
    int i = static_cast<int>(isa);
    if (i < 0) i = 0;
    if (i >= kSetCount) i = kSetCount - 1;
#if defined(__x86_64__)
    if (kSets[i]->isa == Isa::Avx512 && activeTileForm() == TileForm::Operand) return avx512_operand::kSet;
#endif
    return *kSets[i];
}

const KernelSet& activeKernels() noexcept { return kernelsFor(activeIsa()); }

}  // namespace corx_internal
