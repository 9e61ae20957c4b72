/* SPDX-License-Identifier: BSD-3-Clause */
// Running a test on every instruction-set path the machine offers.
#pragma once

#include <string>
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

// Gives the AVX-512 product tile's form back to the processor when a test
// that forced one ends.
struct TileFormGuard {
    ~TileFormGuard() { corx_internal::forceTileForm(corx_internal::TileForm::Auto); }
};

// The product tile forms of a path: both on AVX-512, where the processor
// picks one, else the path's only form.
inline std::vector<corx_internal::TileForm> tileForms(corx_internal::Isa isa) {
    using corx_internal::TileForm;
    if (isa == corx_internal::Isa::Avx512) return {TileForm::Register, TileForm::Operand};
    return {TileForm::Auto};
}

// A path's name with the tile form where it has two.
inline std::string pathName(corx_internal::Isa isa, corx_internal::TileForm form) {
    std::string name = corx_internal::isaName(isa);
    if (form == corx_internal::TileForm::Register) name += " (register broadcast)";
    if (form == corx_internal::TileForm::Operand) name += " (operand broadcast)";
    return name;
}

}  // namespace corx_test
