/* SPDX-License-Identifier: BSD-3-Clause */
// The floating-point environment the library computes in.
//
// Every result is prescribed for IEEE round-to-nearest-even with subnormals
// kept and no exception trapping. The caller's environment may differ: a
// program linked with -ffast-math or -Ofast sets flush-to-zero and
// denormals-are-zero at start-up, and any caller may call fesetround or
// enable traps. DefaultFloatEnv switches to the library's environment for
// the lifetime of the object and gives the caller's back afterwards.
//
// The common case, a caller already in the default environment, costs one
// read of the control register and one comparison; the register is written
// only when it differs.
//
// Status flags (inexact, underflow, ...) are merged: whatever the caller had
// raised stays raised, and the library's own operations may raise more.
// Which ones is not part of the contract.
//
// What is forced, per target:
//   x86 with SSE arithmetic: MXCSR rounding to nearest, FTZ and DAZ off,
//     every exception masked. The x87 control word is left alone: the
//     library does no x87 arithmetic (builds that would are refused, see
//     float_model.h).
//   aarch64: FPCR rounding to nearest, FZ, DN, FIZ, AH, NEP and the trap
//     enables off; the half-precision controls are left alone.
//   elsewhere: the rounding direction through <fenv.h>, and, with glibc,
//     the trap enables.
#pragma once

#include <cstdint>

#if defined(__SSE2_MATH__)
#include <xmmintrin.h>
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
inline Control defaultFrom(Control c) noexcept { return (c & ~kControls) | kDefault; }
// The caller's controls with every flag raised before or during the call.
inline Control restored(Control saved, Control now) noexcept { return saved | (now & kFlags); }

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
inline Control defaultFrom(Control c) noexcept { return c & ~kControls; }
// The flags live in FPSR, which is never written: they merge by themselves.
inline Control restored(Control saved, Control) noexcept { return saved; }

#else

struct Control {
    int rounding;
    int traps;
};

inline Control read() noexcept {
#if defined(__GLIBC__) && defined(FE_ALL_EXCEPT)
    return {fegetround(), fegetexcept()};
#else
    return {fegetround(), 0};
#endif
}
inline bool isDefault(Control c) noexcept {
#if defined(FE_TONEAREST)
    return c.rounding == FE_TONEAREST && c.traps == 0;
#else
    return c.traps == 0;  // a target with one rounding direction
#endif
}
inline void write(Control c) noexcept {
#if defined(FE_TONEAREST)
    fesetround(c.rounding);
#endif
#if defined(__GLIBC__) && defined(FE_ALL_EXCEPT)
    fedisableexcept(FE_ALL_EXCEPT & ~c.traps);
    if (c.traps != 0) feenableexcept(c.traps);
#endif
}
inline Control defaultFrom(Control) noexcept {
#if defined(FE_TONEAREST)
    return {FE_TONEAREST, 0};
#else
    return {0, 0};
#endif
}
inline Control restored(Control saved, Control) noexcept { return saved; }

#endif

}  // namespace float_env

// The library's floating-point environment from construction to
// destruction, the caller's before and after.
class DefaultFloatEnv {
public:
    DefaultFloatEnv() noexcept : saved_(float_env::read()) {
        if (!float_env::isDefault(saved_)) [[unlikely]]
            float_env::write(float_env::defaultFrom(saved_));
    }
    ~DefaultFloatEnv() {
        if (!float_env::isDefault(saved_)) [[unlikely]]
            float_env::write(float_env::restored(saved_, float_env::read()));
    }
    DefaultFloatEnv(const DefaultFloatEnv&) = delete;
    DefaultFloatEnv& operator=(const DefaultFloatEnv&) = delete;

private:
    float_env::Control saved_;
};

}  // namespace corx_internal
