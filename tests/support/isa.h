// Running a test on every instruction-set path the machine offers.
#pragma once

#include <vector>

#include "runtime/cpu.h"

namespace corx_test {

// Restores the detected path when a test that forced another one ends.
struct IsaGuard {
    ~IsaGuard() { corx::forceIsa(corx::detectedIsa()); }
};

// Every path up to and including the one this CPU supports.
inline std::vector<corx::Isa> supportedIsas() {
    std::vector<corx::Isa> out;
    for (corx::Isa isa : {corx::Isa::Baseline, corx::Isa::Avx2, corx::Isa::Avx512})
        if (static_cast<int>(isa) <= static_cast<int>(corx::detectedIsa())) out.push_back(isa);
    return out;
}

}  // namespace corx_test
