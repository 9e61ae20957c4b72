// SPDX-License-Identifier: BSD-3-Clause
#include "arithmetic/division_big.h"

#include "arithmetic/comparison_big.h"
#include "runtime/errors.h"


namespace corx_internal {
namespace {

// The quotient digit qhat is estimated from the top two limbs of the window
// and the top limb vt of the normalised divisor, then refined with the next
// divisor limb: while qhat * vnext > rhat * B + unext, qhat is one too large.
// Once rhat reaches B the test can no longer hold.
Limb refineDigit(Limb qhat, Limb rhat, Limb vt, Limb vnext, Limb unext) noexcept {
    for (;;) {
        const auto [high, low] = mulWide(qhat, vnext);
        if (high < rhat || (high == rhat && low <= unext)) return qhat;
        --qhat;
        rhat += vt;
        if (rhat < vt) return qhat;  // rhat wrapped: it is B or more
    }
}

// Estimate of the quotient digit of window (n + 1 limbs) by v (n limbs,
// top bit set); never too small and at most one too large.
Limb estimateDigit(std::span<const Limb> window, std::span<const Limb> v) {
    const std::size_t n = v.size();
    const Limb top = window[n];
    const Limb next = window[n - 1];
    const Limb vt = v[n - 1];
    if (top == vt) {
        // top*B + next divided by vt is B or more: take B - 1.
        const Limb qhat = ~Limb{0};
        const Limb rhat = next + vt;
        if (rhat < vt) return qhat;  // rhat >= B: refinement cannot fire
        return refineDigit(qhat, rhat, vt, v[n - 2], window[n - 2]);
    }
    const auto [qhat, rhat] = udiv128(top, next, vt);
    return refineDigit(qhat, rhat, vt, v[n - 2], window[n - 2]);
}

// window -= qhat * v; if that goes below zero the estimate was one too
// large, and one v is added back. Returns the true digit.
Limb subtractDigitMultiple(std::span<Limb> window, std::span<const Limb> v, Limb qhat) noexcept {
    const std::size_t n = v.size();
    std::span<Limb> low = window.first(n);
    const Limb borrow = subMulLimb(low, v, qhat);
    const Limb top = window[n];
    window[n] = top - borrow;
    if (top >= borrow) return qhat;
    window[n] += addN(low, low, v);
    return qhat - 1;
}

}  // namespace

std::pair<BigUInt, BigUInt> divMod(const BigUInt& a, const BigUInt& b) {
    if (isZero(b)) throw DivByZeroDefect("Division by zero in BigUInt.");
    if (cmp(a, b) < 0) return {BigUInt{}, a};
    if (b.limbs.size() == 1) {
        auto [quotient, remainder] = divModLimb(a, b.limbs[0]);
        return {std::move(quotient), initBigUInt(remainder)};
    }
    return divModKnuth(a, b);
}

std::pair<BigUInt, Limb> divModLimb(const BigUInt& a, Limb d) {
    if (d == 0) throw DivByZeroDefect("divModLimb: divisor is zero");
    BigUInt quotient;
    if (isZero(a)) return {std::move(quotient), 0};

    // The dividend shifted as the normalised divisor is, one limb longer;
    // it is divided in place.
    const LimbReciprocal reciprocal = limbReciprocal(d);
    const std::size_t n = a.limbs.size();
    quotient.limbs = zeroLimbs(addLimbCounts(n, 1));
    std::span<Limb> u = quotient.limbs;
    u[n] = shiftLeftLimbs(u.first(n), a.limbs, reciprocal.shift);
    const Limb remainder = divLimbs(u, u, reciprocal);
    trim(quotient);
    return {std::move(quotient), remainder >> reciprocal.shift};
}

std::pair<BigUInt, BigUInt> divModKnuth(const BigUInt& a, const BigUInt& b) {
    const std::size_t n = b.limbs.size();
    if (n < 2 || b.limbs.back() == 0) {
        throw ValueError("divModKnuth: divisor must have at least two limbs and a non-zero top limb");
    }
    if (a.limbs.size() < n) return {BigUInt{}, initBigUInt(a.limbs)};
    const std::size_t m = a.limbs.size() - n;

    // Normalise: shift both so the divisor's top limb has its highest bit
    // set; this keeps every estimated digit within one of the true digit.
    const auto s = static_cast<unsigned>(clz64(b.limbs.back()));
    std::vector<Limb> v = zeroLimbs(n);
    shiftLeftLimbs(v, b.limbs, s);
    std::vector<Limb> u = zeroLimbs(addLimbCounts(a.limbs.size(), 1));
    u[a.limbs.size()] = shiftLeftLimbs(u, a.limbs, s);

    // One quotient digit per window u[j .. j+n], from the top down.
    std::vector<Limb> q = zeroLimbs(m + 1);
    for (std::size_t j = m + 1; j-- > 0;) {
        std::span<Limb> window = std::span<Limb>(u).subspan(j, n + 1);
        q[j] = subtractDigitMultiple(window, v, estimateDigit(window, v));
    }

    // The remainder is left in u[0 .. n-1], still shifted by s.
    std::vector<Limb> r = zeroLimbs(n);
    shiftRightLimbs(r, std::span<const Limb>(u).first(n), s);
    return {initBigUInt(q), initBigUInt(r)};
}

}  // namespace corx_internal
