// Element-wise vector updates, vectorised per instruction set.
#pragma once

#include <cstdint>

#include "runtime/cpu.h"

namespace corx_internal {

// s[i] = s[i] - a*x[i] for i = 0 .. len-1, product and difference each
// rounded. s and x must not overlap.
void subtractScaled(Isa isa, double* s, const double* x, double a, std::int64_t len);

}  // namespace corx_internal
