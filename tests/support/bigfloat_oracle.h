/* SPDX-License-Identifier: BSD-3-Clause */
// MPFR as an independent oracle for BigFloat: exact conversions both ways,
// the library's four rounding modes, and seeded operands in shapes that
// stress rounding.
#pragma once

#include <gmp.h>
#include <mpfr.h>

#include <cstdint>
#include <random>
#include <string>

#include "float/big_float.h"

namespace corx_test {

using corx_internal::BigFloat;
using corx_internal::BigUInt;
using corx_internal::Limb;
using corx_internal::RoundingMode;

struct Mpfr {
    mpfr_t v;
    explicit Mpfr(mpfr_prec_t precision = MPFR_PREC_MIN) { mpfr_init2(v, precision); }
    Mpfr(const Mpfr&) = delete;
    ~Mpfr() { mpfr_clear(v); }
    operator mpfr_ptr() { return v; }
};

// x exactly (the precision is set to x's bit length). Call
// mpfr_set_emin/emax wide first: test exponents leave MPFR's default range.
inline void assignExact(mpfr_ptr out, const BigFloat& x) {
    const std::int64_t bits = corx_internal::bitLength(x.mantissa);
    mpfr_set_prec(out, bits < MPFR_PREC_MIN ? MPFR_PREC_MIN : bits);
    mpz_t z;
    mpz_init(z);
    mpz_import(z, x.mantissa.limbs.size(), -1, sizeof(Limb), 0, 0, x.mantissa.limbs.data());
    if (x.negative) mpz_neg(z, z);
    mpfr_set_z_2exp(out, z, x.exponent, MPFR_RNDN);
    mpz_clear(z);
}

// x as a record whose mantissa holds x's full precision.
inline BigFloat fromMpfr(mpfr_ptr x) {
    BigFloat r;
    if (mpfr_zero_p(x)) return r;
    mpz_t z;
    mpz_init(z);
    r.exponent = mpfr_get_z_2exp(z, x);
    r.negative = mpz_sgn(z) < 0;
    mpz_abs(z, z);
    r.mantissa.limbs.resize((mpz_sizeinbase(z, 2) + 63) / 64);
    mpz_export(r.mantissa.limbs.data(), nullptr, -1, sizeof(Limb), 0, 0, z);
    mpz_clear(z);
    return r;
}

using MpfrBinary = int (*)(mpfr_ptr, mpfr_srcptr, mpfr_srcptr, mpfr_rnd_t);

// r := op(a, b) rounded to `precision` bits under the library's mode; r must
// not alias a or b. Nearest breaks ties away from zero, which MPFR has no
// mode for: truncated to one bit more, the last bit is the round bit, and
// when it is set the value is at or past the midpoint and rounds away.
// Returns true when the exact result was a tie.
inline bool roundedOp(mpfr_ptr r, std::int64_t precision, MpfrBinary op, mpfr_ptr a, mpfr_ptr b, RoundingMode mode) {
    mpfr_set_prec(r, precision);
    if (mode != corx_internal::rmNearest) {
        op(r, a, b, mode == corx_internal::rmTowardZero ? MPFR_RNDZ : mode == corx_internal::rmTowardPositive ? MPFR_RNDU : MPFR_RNDD);
        return false;
    }
    Mpfr wider(precision + 1);
    const bool exact = op(wider, a, b, MPFR_RNDZ) == 0;
    if (mpfr_zero_p(wider)) return mpfr_set_zero(r, 1), false;
    mpz_t z;
    mpz_init(z);
    mpfr_get_z_2exp(z, wider);
    const bool roundBit = mpz_tstbit(z, 0) != 0;
    mpz_clear(z);
    mpfr_set(r, wider, roundBit ? MPFR_RNDA : MPFR_RNDZ);
    return roundBit && exact;
}

inline std::string describe(const BigFloat& x) {
    std::string s = x.negative ? "-" : "+";
    char buf[18];
    for (std::size_t i = x.mantissa.limbs.size(); i-- > 0;) {
        std::snprintf(buf, sizeof buf, "%016llX ", static_cast<unsigned long long>(x.mantissa.limbs[i]));
        s += buf;
    }
    return s + "* 2^" + std::to_string(x.exponent);
}

inline const RoundingMode kAllModes[] = {corx_internal::rmNearest, corx_internal::rmTowardZero, corx_internal::rmTowardPositive,
                                         corx_internal::rmTowardNegative};

// Seeded operands: mantissas of an exact bit length, shaped as all ones, a
// lone top bit, a top bit over a short low tail, sparse bits, or uniform
// bits; random signs.
class FloatOperands {
public:
    explicit FloatOperands(std::uint64_t seed) : rng_(seed) {}
    std::uint64_t below(std::uint64_t n) { return rng_() % n; }
    bool coin() { return (rng_() & 1) != 0; }

    BigUInt mantissa(std::int64_t bits) {
        BigUInt m;
        m.limbs.assign(static_cast<std::size_t>((bits + 63) / 64), 0);
        const std::uint64_t shape = below(6);
        for (Limb& l : m.limbs) l = shape == 0 ? ~Limb{0} : shape >= 4 ? rng_() : 0;
        if (shape == 2) m.limbs[0] = rng_() & 0xFF;
        for (int k = 0; shape == 3 && k < 3; ++k) {
            const std::uint64_t bit = below(static_cast<std::uint64_t>(bits));
            m.limbs[bit / 64] |= Limb{1} << (bit % 64);
        }
        if (bits % 64 != 0) m.limbs.back() &= (Limb{1} << (bits % 64)) - 1;
        m.limbs.back() |= Limb{1} << ((bits - 1) % 64);
        return m;
    }

    BigFloat value(std::int64_t bits, std::int64_t exponent) {
        BigFloat x;
        x.mantissa = mantissa(bits);
        x.exponent = exponent;
        x.negative = coin();
        return x;
    }

private:
    std::mt19937_64 rng_;
};

}  // namespace corx_test
