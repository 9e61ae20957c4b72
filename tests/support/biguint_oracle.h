/* SPDX-License-Identifier: BSD-3-Clause */
// GMP as an independent oracle for BigUInt, seeded operands biased toward
// the hard cases of limb arithmetic, and a check of raised errors.
#pragma once

#include <gmp.h>
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "arithmetic/big_int.h"
#include "runtime/errors.h"

namespace corx_test {

using corx_internal::BigUInt;
using corx_internal::Limb;

inline constexpr Limb kOnes = ~Limb{0};
inline constexpr Limb kTop = Limb{1} << 63;

class Mpz {
public:
    Mpz() { mpz_init(v_); }
    explicit Mpz(const BigUInt& a) : Mpz() { mpz_import(v_, a.limbs.size(), -1, 8, 0, 0, a.limbs.data()); }
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;
    ~Mpz() { mpz_clear(v_); }
    operator mpz_ptr() { return v_; }

    // The limbs GMP holds, least significant first; GMP never keeps zero
    // limbs on top, so this is the normal form the library must produce.
    BigUInt big() const {
        BigUInt r;
        r.limbs.resize((mpz_sizeinbase(v_, 2) + 63) / 64);
        std::size_t count = 0;
        mpz_export(r.limbs.data(), &count, -1, 8, 0, 0, v_);
        r.limbs.resize(count);
        return r;
    }

private:
    mpz_t v_;
};

// Operands drawn in shapes that stress carries, borrows and digit
// estimates: uniform limbs, runs of all-ones limbs, zero limbs below a
// non-zero top, and limb-by-limb mixtures of special values.
class Operands {
public:
    explicit Operands(std::uint64_t seed) : rng_(seed) {}
    std::uint64_t below(std::uint64_t n) { return rng_() % n; }

    Limb limb() {
        const Limb special[] = {0, kOnes, kTop, 1, kOnes - 1, Limb{1} << below(64)};
        return below(8) < 6 ? special[below(6)] : rng_();
    }

    BigUInt ofLength(std::size_t length) {
        BigUInt a;
        const auto shape = below(4);
        for (std::size_t i = 0; i < length; ++i) {
            const bool plain = below(8) == 0;
            a.limbs.push_back(shape == 0 || plain ? rng_() : shape == 1 ? kOnes : shape == 2 ? 0 : limb());
        }
        while (length > 0 && a.limbs.back() == 0) a.limbs.back() = limb();
        return a;
    }

    // Length 0 .. maxLimbs, short lengths drawn more often.
    BigUInt any(std::size_t maxLimbs) { return ofLength(below((below(4) == 0 ? 4 : maxLimbs) + 1)); }

private:
    std::mt19937_64 rng_;
};

// `call` raises exactly `Kind`, named `kind`, with `message` and a trace.
template <typename Kind>
void expectRaises(const std::function<void()>& call, const char* kind, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "expected " << kind << ": " << message;
    } catch (const Kind& error) {
        EXPECT_STREQ(error.kind(), kind);
        EXPECT_EQ(error.message(), message);
        EXPECT_FALSE(error.trace().empty());
    }
}

}  // namespace corx_test
