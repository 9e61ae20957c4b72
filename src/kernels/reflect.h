// Householder reflection of many independent columns at once.
#pragma once

#include <cstdint>

#include "runtime/cpu.h"

namespace corx_internal {

// x is len rows of w columns with row stride ld. Each column c is reflected
// by v (len values) with vv = v.v, in exactly this order of rounded
// operations:
//     dot = x(0,c)*v[0];  dot = dot + x(t,c)*v[t]  for t = 1 .. len-1
//     f = (dot + dot) / vv
//     x(t,c) = x(t,c) - v[t]*f                     for t = 0 .. len-1
// Columns are independent, so they are processed side by side in vectors.
void reflectColumns(Isa isa, double* x, std::int64_t ld, std::int64_t len, std::int64_t w, const double* v,
                    double vv);

}  // namespace corx_internal
