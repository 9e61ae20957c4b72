/* SPDX-License-Identifier: BSD-3-Clause */
// Plain exact residual: one accumulator per row, the products added one by
// one in column order with the library's general addProduct. The residual
// kernel (several accumulators, a fast path for ordinary products) must
// give the same bits.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "algorithms/exactsum.h"
#include "types/matrix.h"

namespace corx_test {

inline std::vector<double> referenceResidual(const corx_internal::Matrix& a, std::span<const double> b,
                                             std::span<const double> x) {
    std::vector<double> r(static_cast<std::size_t>(a.rows), 0.0);
    corx_internal::ExactAccumulator acc;
    for (std::int64_t i = 0; i < a.rows; ++i) {
        corx_internal::clear(acc);
        corx_internal::addTerm(acc, -b[static_cast<std::size_t>(i)]);
        acc.countdown = corx_internal::ExactAccumulator::kCountdown;
        for (std::int64_t j = 0; j < a.cols; ++j) corx_internal::addProduct(acc, a(i, j), x[static_cast<std::size_t>(j)]);
        r[static_cast<std::size_t>(i)] = -corx_internal::round(acc);
    }
    return r;
}

}  // namespace corx_test
