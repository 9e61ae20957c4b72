// GMP as an independent oracle for BigUInt, a seeded source of operands
// biased toward the hard cases of limb arithmetic, and a check of raised
// error kinds and messages.
#pragma once

#include <gmp.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "arithmetic/big_int.h"
#include "runtime/errors.h"

namespace corx_test {

using corx::BigUInt;
using corx::Limb;

inline constexpr Limb kAllOnes = ~Limb{0};
inline constexpr Limb kTopBit = Limb{1} << 63;

// An owned mpz_t.
class Mpz {
public:
    Mpz() { mpz_init(value_); }
    explicit Mpz(const BigUInt& a) {
        mpz_init(value_);
        mpz_import(value_, a.limbs.size(), -1, sizeof(Limb), 0, 0, a.limbs.data());
    }
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;
    ~Mpz() { mpz_clear(value_); }
    mpz_ptr get() { return value_; }
    mpz_srcptr get() const { return value_; }

private:
    mpz_t value_;
};

// The limbs of a non-negative mpz, least significant first, built without
// any library routine; GMP never emits zero limbs on top, so this is the
// normal form the library must produce.
inline BigUInt fromMpz(const Mpz& x) {
    BigUInt result;
    result.limbs.resize((mpz_sizeinbase(x.get(), 2) + 63) / 64);
    std::size_t count = 0;
    mpz_export(result.limbs.data(), &count, -1, sizeof(Limb), 0, 0, x.get());
    result.limbs.resize(count);
    return result;
}

// Seeded operands. Each operand is drawn in one of several shapes that
// stress carries, borrows and digit estimates: uniform limbs, runs of
// all-ones limbs, zero limbs below a non-zero top, single set bits, and
// mixtures of these limb by limb.
class OperandSource {
public:
    explicit OperandSource(std::uint64_t seed) : rng_(seed) {}

    std::uint64_t below(std::uint64_t n) { return rng_() % n; }
    Limb anyLimb() { return rng_(); }

    Limb patternLimb() {
        switch (below(8)) {
            case 0: return 0;
            case 1: return kAllOnes;
            case 2: return kTopBit;
            case 3: return 1;
            case 4: return kAllOnes - below(4);
            case 5: return Limb{1} << below(64);
            default: return rng_();
        }
    }

    // A normal-form operand of exactly `length` limbs.
    BigUInt operandOfLength(std::size_t length) {
        BigUInt a;
        if (length == 0) return a;
        const auto shape = below(5);
        a.limbs.resize(length);
        for (Limb& limb : a.limbs) {
            switch (shape) {
                case 0: limb = rng_(); break;
                case 1: limb = below(8) == 0 ? rng_() : kAllOnes; break;
                case 2: limb = below(8) == 0 ? rng_() : 0; break;
                default: limb = patternLimb(); break;
            }
        }
        while (a.limbs.back() == 0) a.limbs.back() = patternLimb();
        return a;
    }

    // Length 0 .. maxLimbs, with short lengths drawn more often.
    BigUInt operand(std::size_t maxLimbs) {
        const std::size_t cap = below(4) == 0 ? 4 : maxLimbs;
        return operandOfLength(below(cap + 1));
    }

private:
    std::mt19937_64 rng_;
};

// Runs `call` and checks that it raises exactly the error kind `Kind`,
// reporting the kind name `kind` and the message `message`.
template <typename Kind>
void expectRaises(const std::function<void()>& call, const std::string& kind,
                  const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "expected " << kind << ": " << message;
    } catch (const Kind& error) {
        EXPECT_EQ(error.kind(), kind);
        EXPECT_EQ(error.message(), message);
        EXPECT_FALSE(error.trace().empty());
    } catch (const corx::CorxError& error) {
        ADD_FAILURE() << "raised " << error.kind() << ": " << error.message();
    }
}

}  // namespace corx_test
