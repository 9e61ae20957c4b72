/* SPDX-License-Identifier: BSD-3-Clause */
// Element-wise vector updates.
#pragma once

#include <cstdint>

#include "kernels/simd.h"

namespace corx_internal::kernels {

// s[i] = s[i] - a*x[i] for i = 0 .. len-1: the product a*x[i], then the
// difference, each rounded on its own. Elements are independent; s and x
// must not overlap.
template <class V>
[[gnu::always_inline]] inline void subtractScaled(double* s, const double* x, double a, std::int64_t len) {
    constexpr int L = kLanes<V>;
    std::int64_t i = 0;
    for (; i + 2 * L <= len; i += 2 * L) {
        V x0, x1, s0, s1;
        load(x0, x + i);
        load(x1, x + i + L);
        load(s0, s + i);
        load(s1, s + i + L);
        const V p0 = a * x0, p1 = a * x1;
        s0 = s0 - p0;
        s1 = s1 - p1;
        store(s + i, s0);
        store(s + i + L, s1);
    }
    for (; i < len; ++i) {
        const double product = a * x[i];
        s[i] = s[i] - product;
    }
}

}  // namespace corx_internal::kernels
