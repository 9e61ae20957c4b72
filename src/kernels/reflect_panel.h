// A panel of Householder reflections applied in order to many independent
// columns, each reflection's update sharing its pass over the rows with
// the next reflection's dot product.
#pragma once

#include <cstdint>

#include "runtime/cpu.h"

namespace corx_internal {

// Reflection of rows k .. rows-1 by v (rows-k values), vv = v.v.
struct PanelReflection {
    std::int64_t k;
    const double* v;
    double vv;
};

// x is `rows` rows of w columns with row stride ld. Every column c takes
// the reflections h[0], ..., h[count-1] in this order (their k
// non-decreasing), each in exactly this order of rounded operations:
//     dot = x(k,c)*v[0];  dot = dot + x(k+t,c)*v[t]   for t = 1 .. rows-k-1
//     f = (dot + dot) / vv
//     x(k+t,c) = x(k+t,c) - v[t]*f                    for t = 0 .. rows-k-1
// Columns are independent and are processed side by side in vectors. Row
// by row, the update of reflection j is made before the product of
// reflection j+1 reads the row, so one pass over the rows serves both.
void reflectPanel(Isa isa, double* x, std::int64_t ld, std::int64_t rows, std::int64_t w,
                  const PanelReflection* h, std::int64_t count);

}  // namespace corx_internal
