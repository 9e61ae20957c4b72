/* SPDX-License-Identifier: BSD-3-Clause */
// The floating-point model every library source must be compiled under.
//
// The build includes this header ahead of every library source (-include),
// and the configure step compiles it once with the flags the build was
// given, so a build that cannot give every result its prescribed bits stops
// with the reason instead of producing a library that silently differs.
// Contraction into fused multiply-add has no macro to test; the build
// refuses a compiler that does not accept -ffp-contract=off.
#pragma once

#if defined(__FAST_MATH__)
#error "corx cannot be built with -ffast-math or -Ofast: they let the compiler change the value of floating-point expressions, so results would not have their prescribed bits. Remove the flag."
#endif

#if defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__
#error "corx cannot be built with -ffinite-math-only: the library's results include infinities and NaNs, which that flag lets the compiler assume away. Remove the flag."
#endif

#if !defined(__FLT_EVAL_METHOD__)
#error "corx needs a compiler that defines __FLT_EVAL_METHOD__: without it the build cannot tell whether doubles are evaluated in double precision."
#elif __FLT_EVAL_METHOD__ != 0
#error "corx cannot be built where floating-point expressions are evaluated in a wider precision (__FLT_EVAL_METHOD__ is not 0, as with x87 arithmetic on 32-bit x86): each operation must round to double. On 32-bit x86 build with -msse2 -mfpmath=sse."
#endif

#if defined(__wasm_relaxed_simd__)
#error "corx cannot be built with -mrelaxed-simd: its multiply-add may be fused or not depending on the engine, so results would not have their prescribed bits. Use -msimd128."
#endif
