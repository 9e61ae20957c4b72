/* SPDX-License-Identifier: BSD-3-Clause */
// Running a test on every instruction-set path the machine offers.
#pragma once

#include <vector>

#include "kernels/kernel_set.h"

namespace corx_test {

// Restores the detected path when a test that forced another one ends.
struct IsaGuard {
    ~IsaGuard() { corx_internal::forceIsa(corx_internal::detectedIsa()); }
};

// Every path up to and including the one this CPU supports.
inline std::vector<corx_internal::Isa> supportedIsas() {
    std::vector<corx_internal::Isa> out;
    for (corx_internal::Isa isa : {corx_internal::Isa::Baseline, corx_internal::Isa::Avx2, corx_internal::Isa::Avx512})
        if (static_cast<int>(isa) <= static_cast<int>(corx_internal::detectedIsa())) out.push_back(isa);
    return out;
}

}  // namespace corx_test
