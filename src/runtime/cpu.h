// Instruction-set selection for the vectorised kernels.
//
// The library is compiled for baseline x86-64; kernels that use wider
// vectors carry their own target attribute and are picked at run time. The
// processor is examined once; every path gives the same bits, so the choice
// only changes speed.
#pragma once

namespace corx_internal {

enum class Isa : int { Baseline = 0, Avx2 = 1, Avx512 = 2 };

// The widest instruction set this processor (and its operating system)
// supports, determined on first use.
Isa detectedIsa() noexcept;

// The instruction set the kernels use now: detectedIsa() unless a narrower
// one was forced.
Isa activeIsa() noexcept;

// Restricts the kernels to `isa` (for testing each path). Returns false, and
// changes nothing, when the processor does not support it.
bool forceIsa(Isa isa) noexcept;

// Short lower-case name: "baseline", "avx2", "avx512".
const char* isaName(Isa isa) noexcept;

}  // namespace corx_internal
