// SPDX-License-Identifier: BSD-3-Clause
#include "algorithms/exactsum.h"

#include "kernels/kernel_set.h"
#include "runtime/memory.h"

namespace corx_internal {

std::vector<double> residual(const Matrix& a, std::span<const double> b, std::span<const double> x) {
    std::vector<double> r(elementCount(a.rows, 1), 0.0);
    // The right-hand side goes first into lane 0, the row's products into
    // all lanes, and the lanes are merged before the single rounding.
    const KernelSet& kern = activeKernels();
    ExactAccumulator acc[kernels::kExactLanes];
    const std::int64_t cols = a.cols;
    std::vector<kernels::ExactFactor> xf(elementCount(cols, 1));
    kernels::exactFactors(xf.data(), x.data(), cols);
    for (std::int64_t i = 0; i < a.rows; ++i) {
        for (ExactAccumulator& lane : acc) clear(lane);
        addTerm(acc[0], -b[static_cast<std::size_t>(i)]);
        acc[0].countdown = ExactAccumulator::kCountdown;
        kern.exactRowProducts(acc, a.data.data() + i * cols, x.data(), xf.data(), cols);
        mergeLanes(acc, kernels::kExactLanes);
        const double v = round(acc[0]);
        r[static_cast<std::size_t>(i)] = -v;
    }
    return r;
}

}  // namespace corx_internal
