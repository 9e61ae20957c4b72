/* SPDX-License-Identifier: BSD-3-Clause */
// Random operands for differential tests: mostly ordinary values of a
// chosen scale, with IEEE special values (signed zeros, infinities, NaN,
// subnormals, extremes) sprinkled in at a given rate.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "support/bits.h"

namespace corx_test {

inline std::vector<double> randomOperand(std::mt19937_64& rng, std::int64_t count, double specialRate,
                                         double scale = 1.0) {
    std::uniform_real_distribution<double> value(-scale, scale);
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    const std::vector<double>& specials = specialValues();
    std::uniform_int_distribution<std::size_t> pick(0, specials.size() - 1);
    std::vector<double> v(static_cast<std::size_t>(count));
    for (double& x : v) x = coin(rng) < specialRate ? specials[pick(rng)] : value(rng);
    return v;
}

}  // namespace corx_test
