/* SPDX-License-Identifier: BSD-3-Clause */
// Bit-level comparison of doubles: two values match when their bits are
// identical, or when both are NaN (payloads are not part of the contract).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace corx_test {

inline std::uint64_t bitsOf(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

inline bool sameBits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return bitsOf(a) == bitsOf(b);
}

inline bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k)
        if (!sameBits(a[k], b[k])) return false;
    return true;
}

// Values that stress IEEE semantics: signed zeros, infinities, NaN,
// subnormals, extremes.
inline const std::vector<double>& specialValues() {
    static const std::vector<double> values = {
        0.0, -0.0, 1.0, -1.0, 0.5, 3.0,
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
        2.2250738585072009e-308,  // largest subnormal
        std::numeric_limits<double>::min(), std::numeric_limits<double>::max(),
        -std::numeric_limits<double>::max(), 1e-160, 1e160};
    return values;
}

}  // namespace corx_test
