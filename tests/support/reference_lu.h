/* SPDX-License-Identifier: BSD-3-Clause */
// Plain LU factorisation with partial pivoting, unblocked, exactly in the
// prescribed loop order. The blocked library routine must agree with it bit
// for bit (factors, permutation, sign, and where it reports singularity).
// Also the plain solve with those factors.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "algorithms/lu.h"
#include "runtime/errors.h"

namespace corx_test {

inline corx_internal::LuFactors referenceLuDecompose(const corx_internal::Matrix& a) {
    corx_internal::LuFactors f;
    f.factors = a;
    const std::int64_t n = a.rows;
    if (n > 0) f.perm.resize(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) f.perm[static_cast<std::size_t>(i)] = i;
    f.sign = 1;
    if (n <= 0) return f;

    corx_internal::Matrix& F = f.factors;
    for (std::int64_t k = 0; k < n; ++k) {
        std::int64_t p = k;
        double best = std::fabs(F(k, k));
        for (std::int64_t r = k + 1; r < n; ++r) {
            const double v = std::fabs(F(r, k));
            if (v > best) {
                p = r;
                best = v;
            }
        }
        if (best == 0.0) throw corx_internal::ValueError("luDecompose: singular matrix");
        if (p != k) {
            for (std::int64_t j = 0; j < n; ++j) std::swap(F(k, j), F(p, j));
            std::swap(f.perm[static_cast<std::size_t>(k)], f.perm[static_cast<std::size_t>(p)]);
            f.sign = -f.sign;
        }
        const double pivot = F(k, k);
        if (k == n - 1) break;
        for (std::int64_t i = k + 1; i < n; ++i) {
            const double m = F(i, k) / pivot;
            F(i, k) = m;
            for (std::int64_t j = k + 1; j < n; ++j) {
                volatile double product = F(k, j) * m;
                F(i, j) = F(i, j) - product;
            }
        }
    }
    return f;
}

// Solve with the factors: y[i] = b[perm[i]]; forward substitution with the
// unit lower factor, y[i] -= F[i][k]*y[k] for k = 0 .. i-1; back
// substitution for i = n-1 down to 0, y[i] -= F[i][k]*y[k] for
// k = i+1 .. n-1, then y[i] /= F[i][i]. Each product, difference and
// quotient rounded on its own, in that order.
inline std::vector<double> referenceLuSolve(const corx_internal::LuFactors& f, const std::vector<double>& b) {
    const corx_internal::Matrix& F = f.factors;
    const std::int64_t n = F.rows;
    std::vector<double> y(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) y[static_cast<std::size_t>(i)] = b[static_cast<std::size_t>(f.perm[static_cast<std::size_t>(i)])];
    for (std::int64_t i = 1; i < n; ++i) {
        double v = y[static_cast<std::size_t>(i)];
        for (std::int64_t k = 0; k < i; ++k) {
            const double product = F(i, k) * y[static_cast<std::size_t>(k)];
            v = v - product;
        }
        y[static_cast<std::size_t>(i)] = v;
    }
    for (std::int64_t i = n - 1; i >= 0; --i) {
        double v = y[static_cast<std::size_t>(i)];
        for (std::int64_t k = i + 1; k < n; ++k) {
            const double product = F(i, k) * y[static_cast<std::size_t>(k)];
            v = v - product;
        }
        y[static_cast<std::size_t>(i)] = v / F(i, i);
    }
    return y;
}

// The determinant from the factors: sign times the pivots, left to right,
// one rounding each. When the pivots are finite and non-zero but a partial
// product leaves the normal range, the same roundings on the significands
// (each pivot's and the running product's, all in [1/2, 1)) and the exponent
// summed apart, scaled once at the end.
inline double referenceDeterminant(const corx_internal::LuFactors& f) {
    const std::int64_t n = f.factors.rows;
    double plain = static_cast<double>(f.sign);
    bool inRange = true, ordinary = true;
    for (std::int64_t i = 0; i < n; ++i) {
        plain = plain * f.factors(i, i);
        inRange = inRange && std::isnormal(plain);
        ordinary = ordinary && std::isfinite(f.factors(i, i)) && f.factors(i, i) != 0.0;
    }
    if (inRange || !ordinary) return plain;
    double significand = static_cast<double>(f.sign);
    long long exponent = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        int e = 0;
        const double d = std::frexp(f.factors(i, i), &e);
        significand = significand * d;
        exponent += e;
        significand = std::frexp(significand, &e);
        exponent += e;
    }
    if (exponent > 2000) return std::copysign(std::numeric_limits<double>::infinity(), significand);
    if (exponent < -2000) return std::copysign(0.0, significand);
    return std::ldexp(significand, static_cast<int>(exponent));
}

}  // namespace corx_test
