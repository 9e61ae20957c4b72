/* SPDX-License-Identifier: BSD-3-Clause */
// Plain Householder QR, one column and one row of q at a time, exactly in
// the prescribed loop order, on the input scaled by 2^qrInputShift(a) and
// with each reflection found from its column scaled to a largest magnitude
// in [1/2, 1). The vectorised library routine must agree with it bit for
// bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "algorithms/qr.h"
#include "algorithms/scaling.h"
#include "runtime/memory.h"

namespace corx_test {

using corx_internal::Matrix;
using corx_internal::identity;

inline corx_internal::QrFactors referenceQrDecompose(const Matrix& a) {
    const std::int64_t m = a.rows, n = a.cols;
    corx_internal::QrFactors out{identity(m), a};
    Matrix& q = out.q;
    Matrix& r = out.r;

    // A square matrix's last column needs no reflection.
    const std::int64_t steps = m > n ? n : m - 1;
    if (steps <= 0) return out;

    const int shift = corx_internal::qrInputShift(a);
    for (double& x : r.data) x = corx_internal::scaleByPowerOfTwo(x, shift);

    // Every sum below starts from its first term (never from +0.0), so a
    // sum of negative zeros stays -0.0.
    std::vector<double> v;
    for (std::int64_t k = 0; k < steps; ++k) {
        const std::int64_t len = m - k;

        // The column part scaled by 2^s, its largest magnitude then in
        // [1/2, 1); as it is when it holds an infinity or NaN.
        double big = 0.0;
        bool finite = true;
        for (std::int64_t i = k; i < m; ++i) {
            if (!std::isfinite(r(i, k))) finite = false;
            else if (std::fabs(r(i, k)) > big) big = std::fabs(r(i, k));
        }
        if (finite && big == 0.0) continue;
        const int s = finite ? -corx_internal::binaryExponent(big) : 0;
        v.assign(corx_internal::elementCount(len, 1), 0.0);
        for (std::int64_t t = 0; t < len; ++t)
            v[static_cast<std::size_t>(t)] = corx_internal::scaleByPowerOfTwo(r(k + t, k), s);

        double sumSquares = v[0] * v[0];
        for (std::int64_t t = 1; t < len; ++t) {
            volatile double square = v[static_cast<std::size_t>(t)] * v[static_cast<std::size_t>(t)];
            sumSquares = sumSquares + square;
        }
        const double norm = std::sqrt(sumSquares);
        if (norm == 0.0) continue;

        // Adding the norm with the sign of v[0] avoids cancellation; -0.0
        // counts as non-negative.
        if (v[0] < 0.0) {
            v[0] = v[0] - norm;
        } else {
            v[0] = v[0] + norm;
        }
        double vv = v[0] * v[0];
        for (std::int64_t t = 1; t < len; ++t) {
            volatile double square = v[static_cast<std::size_t>(t)] * v[static_cast<std::size_t>(t)];
            vv = vv + square;
        }
        if (vv == 0.0) continue;

        // r = (I - 2 v v^T / vv) r, one column at a time.
        for (std::int64_t c = k; c < n; ++c) {
            double dot = r(k, c) * v[0];
            for (std::int64_t t = 1; t < len; ++t) {
                volatile double product = r(k + t, c) * v[static_cast<std::size_t>(t)];
                dot = dot + product;
            }
            const double f = (dot + dot) / vv;
            for (std::int64_t t = 0; t < len; ++t) {
                volatile double product = v[static_cast<std::size_t>(t)] * f;
                r(k + t, c) = r(k + t, c) - product;
            }
        }
        // q = q (I - 2 v v^T / vv), one row at a time.
        for (std::int64_t i = 0; i < m; ++i) {
            double dot = q(i, k) * v[0];
            for (std::int64_t t = 1; t < len; ++t) {
                volatile double product = q(i, k + t) * v[static_cast<std::size_t>(t)];
                dot = dot + product;
            }
            const double f = (dot + dot) / vv;
            for (std::int64_t t = 0; t < len; ++t) {
                volatile double product = v[static_cast<std::size_t>(t)] * f;
                q(i, k + t) = q(i, k + t) - product;
            }
        }
        for (std::int64_t i = k + 1; i < m; ++i) r(i, k) = 0.0;
    }
    for (double& x : r.data) x = corx_internal::scaleByPowerOfTwo(x, -shift);
    return out;
}

}  // namespace corx_test
