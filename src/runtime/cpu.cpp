#include "runtime/cpu.h"

#include <atomic>

namespace corx_internal {

namespace {

Isa probe() noexcept {
    // libgcc's probe also checks that the operating system saves the wider
    // registers (XCR0), not only the CPUID bits.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return Isa::Avx512;
    if (__builtin_cpu_supports("avx2")) return Isa::Avx2;
    return Isa::Baseline;
}

std::atomic<int> forced{-1};

}  // namespace

Isa detectedIsa() noexcept {
    static const Isa isa = probe();
    return isa;
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
    switch (isa) {
        case Isa::Avx512: return "avx512";
        case Isa::Avx2: return "avx2";
        default: return "baseline";
    }
}

}  // namespace corx_internal
