/* SPDX-License-Identifier: BSD-3-Clause */
// The floating-point environment the library computes in.
//
// Every result is prescribed for IEEE round-to-nearest-even with subnormals
// kept. The caller's environment may differ: a program linked with
// -ffast-math or -Ofast sets flush-to-zero and denormals-are-zero at
// start-up, and any caller may call fesetround. DefaultFloatEnv switches to
// the library's environment for the lifetime of the object and gives the
// caller's back afterwards; the register is written only when it differs.
//
// Status flags (inexact, underflow, ...) are merged: whatever the caller had
// raised stays raised, and the library's own operations may raise more.
// Which ones is not part of the contract.
//
// Per target:
//   x86 with SSE arithmetic: the test is arithmetic, not a read of MXCSR
//     (STMXCSR takes about 5 ns on the AMD processors measured, more than a
//     small product costs in total): two additions per lane whose bits
//     differ from the expected ones under any other rounding direction,
//     under flush-to-zero and under denormals-are-zero. Only when they
//     differ is MXCSR read and set to rounding to nearest, FTZ and DAZ off
//     and every exception masked. Trap enables alone are not detected; the
//     test itself raises inexact and denormal-operand.
//   32-bit x86, in addition: the library's own arithmetic is SSE2's (x87
//     builds are refused, see float_model.h), but the C library's double
//     functions it calls there (frexp, ldexp, the sqrt reached for a
//     negative argument) compute on the x87 unit, which follows its own
//     control word: ldexp rounds an underflowing result by its rounding
//     control. The control word's rounding and precision control are read
//     on every call (FNSTCW costs about half a nanosecond, a tenth of
//     STMXCSR); unless they are rounding to nearest with a 53- or 64-bit
//     significand (the Windows and the i386 defaults, under which those
//     functions give the same results: they scale or split a double
//     exactly and round once, on the store), they are set to rounding to
//     nearest with a 64-bit significand for the call; its exception masks are
//     left alone, like trap enables under SSE. Status flags live in the
//     status word, which is never written. The same holds on 64-bit
//     Windows with mingw-w64, whose runtime's ldexp scales on the x87 unit.
//     On other x86-64 targets the control word is left alone: there the
//     library calls no x87 code.
//   aarch64: FPCR is read and compared; rounding to nearest, FZ, DN, FIZ,
//     AH, NEP and the trap enables off. The half-precision controls are left
//     alone.
//   elsewhere: the rounding direction through <fenv.h>.
#pragma once

#include <cstdint>

#if defined(__SSE2_MATH__)
#include <emmintrin.h>
#elif defined(__aarch64__)
#else
#include <fenv.h>
#endif

namespace corx_internal {
namespace float_env {

#if defined(__SSE2_MATH__)

using Control = std::uint32_t;

inline constexpr Control kFlags = 0x003F;     // IE DE ZE OE UE PE
inline constexpr Control kControls = 0xFFC0;  // DAZ, the six masks, RC, FTZ
inline constexpr Control kDefault = 0x1F80;   // every mask set, RC nearest, FTZ and DAZ off

inline Control read() noexcept { return _mm_getcsr(); }
inline void write(Control c) noexcept { _mm_setcsr(c); }
inline bool isDefault(Control c) noexcept { return (c & kControls) == kDefault; }

// 1 + 0.75 ulp and -1 - 0.75 ulp round away from 1 only under rounding to
// nearest (upward, downward and toward zero each keep one of them at 1);
// 2^-1023 + 2^-1023 is 0 under denormals-are-zero; 2^-1022 - 1.5*2^-1023,
// an exact subnormal, is 0 under flush-to-zero. The results are compared
// as bits: under denormals-are-zero a comparison would read a subnormal as
// zero.
inline bool inDefault() noexcept {
    __m128d a = _mm_set_pd(-1.0, 1.0), b = _mm_set_pd(-0x1.8p-53, 0x1.8p-53);
    __m128d c = _mm_set_pd(0x1p-1022, 0x1p-1023), d = _mm_set_pd(-0x1.8p-1023, 0x1p-1023);
    asm("" : "+x"(a), "+x"(b), "+x"(c), "+x"(d));  // computed now, not when compiling
    const __m128i rounded = _mm_castpd_si128(_mm_add_pd(a, b));
    const __m128i tiny = _mm_castpd_si128(_mm_add_pd(c, d));
    const __m128i wantRounded = _mm_castpd_si128(_mm_set_pd(-0x1.0000000000001p0, 0x1.0000000000001p0));
    const __m128i wantTiny = _mm_castpd_si128(_mm_set_pd(0x1p-1024, 0x1p-1022));
    const __m128i same = _mm_and_si128(_mm_cmpeq_epi32(rounded, wantRounded), _mm_cmpeq_epi32(tiny, wantTiny));
    return _mm_movemask_epi8(same) == 0xFFFF;
}
inline Control defaultFrom(Control c) noexcept { return (c & ~kControls) | kDefault; }
// The caller's controls with every flag raised before or during the call.
inline Control restored(Control saved, Control now) noexcept { return saved | (now & kFlags); }

#if defined(__i386__) || defined(__MINGW64__)
#define CORX_X87_CONTROL 1

// The x87 control word's rounding control (bits 10-11) and precision
// control (bits 8-9).
namespace x87 {
using Control = std::uint16_t;
inline constexpr Control kControls = 0x0F00;
inline constexpr Control kDefault = 0x0300;  // rounding to nearest, 64-bit significand

inline Control read() noexcept {
    Control c;
    asm volatile("fnstcw %0" : "=m"(c));
    return c;
}
inline void write(Control c) noexcept { asm volatile("fldcw %0" : : "m"(c) : "memory"); }
// Rounding control 00 (nearest) and precision control 10 or 11 (53 or 64 bits).
inline bool isDefault(Control c) noexcept { return (c & 0x0E00) == 0x0200; }
inline Control defaultFrom(Control c) noexcept { return static_cast<Control>((c & ~kControls) | kDefault); }
}  // namespace x87
#endif

#elif defined(__aarch64__)

using Control = std::uint64_t;

// FIZ, AH, NEP (bits 0-2), the trap enables IOE..IXE (8-12) and IDE (15),
// RMode (22-23), FZ (24), DN (25). Zero in each is the IEEE behaviour;
// bits a processor does not implement read as zero, so clearing them is
// always allowed.
inline constexpr Control kControls = 0x03C09F07;

inline Control read() noexcept {
    Control c;
    asm volatile("mrs %0, fpcr" : "=r"(c));
    return c;
}
inline void write(Control c) noexcept { asm volatile("msr fpcr, %0" : : "r"(c) : "memory"); }
inline bool isDefault(Control c) noexcept { return (c & kControls) == 0; }
inline bool inDefault() noexcept { return isDefault(read()); }
inline Control defaultFrom(Control c) noexcept { return c & ~kControls; }
// The flags live in FPSR, which is never written: they merge by themselves.
inline Control restored(Control saved, Control) noexcept { return saved; }

#else

// The rounding direction alone: <fenv.h> has no portable control of
// subnormal flushing, and enabling traps is a stub that fails on some
// targets.
struct Control {
    int rounding;
};

inline Control read() noexcept { return {fegetround()}; }
inline void write(Control c) noexcept {
#if defined(FE_TONEAREST)
    fesetround(c.rounding);
#else
    (void)c;  // a target with one rounding direction
#endif
}
inline bool isDefault(Control c) noexcept {
#if defined(FE_TONEAREST)
    return c.rounding == FE_TONEAREST;
#else
    return true;
#endif
}
inline bool inDefault() noexcept { return isDefault(read()); }
inline Control defaultFrom(Control c) noexcept {
#if defined(FE_TONEAREST)
    c.rounding = FE_TONEAREST;
#endif
    return c;
}
inline Control restored(Control saved, Control) noexcept { return saved; }

#endif

}  // namespace float_env

// The library's floating-point environment from construction to
// destruction, the caller's before and after.
class DefaultFloatEnv {
public:
    DefaultFloatEnv() noexcept : switched_(!float_env::inDefault()) {
        if (switched_) [[unlikely]] {
            saved_ = float_env::read();
            float_env::write(float_env::defaultFrom(saved_));
        }
#if defined(CORX_X87_CONTROL)
        if (!float_env::x87::isDefault(x87Saved_)) [[unlikely]]
            float_env::x87::write(float_env::x87::defaultFrom(x87Saved_));
#endif
    }
    ~DefaultFloatEnv() {
        if (switched_) [[unlikely]]
            float_env::write(float_env::restored(saved_, float_env::read()));
#if defined(CORX_X87_CONTROL)
        if (!float_env::x87::isDefault(x87Saved_)) [[unlikely]]
            float_env::x87::write(x87Saved_);
#endif
    }
    DefaultFloatEnv(const DefaultFloatEnv&) = delete;
    DefaultFloatEnv& operator=(const DefaultFloatEnv&) = delete;

private:
    bool switched_;
    float_env::Control saved_{};
#if defined(CORX_X87_CONTROL)
    float_env::x87::Control x87Saved_ = float_env::x87::read();
#endif
};

}  // namespace corx_internal
