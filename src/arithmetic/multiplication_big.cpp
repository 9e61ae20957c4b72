// SPDX-License-Identifier: BSD-3-Clause
#include "arithmetic/multiplication_big.h"

#include "arithmetic/addition_big.h"
#include "arithmetic/subtraction_big.h"

#include <algorithm>

namespace corx_internal {

BigUInt mul(const BigUInt& a, const BigUInt& b, MulAlgorithm algorithm) {
    switch (algorithm) {
        case maSchoolbook: return mulSchoolbook(a, b);
        case maKaratsuba: return mulKaratsuba(a, b);
        default: break;
    }
    if (std::min(a.limbs.size(), b.limbs.size()) >= KaratsubaThreshold) return mulKaratsuba(a, b);
    return mulSchoolbook(a, b);
}

BigUInt mulSchoolbook(const BigUInt& a, const BigUInt& b) {
    BigUInt result;
    if (isZero(a) || isZero(b)) return result;

    result.limbs = zeroLimbs(addLimbCounts(a.limbs.size(), b.limbs.size()));
    mulLimbs(result.limbs, a.limbs, b.limbs);
    trim(result);
    return result;
}

std::pair<BigUInt, BigUInt> splitAt(const BigUInt& a, std::size_t m) {
    if (a.limbs.size() <= m) return {a, BigUInt{}};
    std::span<const Limb> all = a.limbs;
    return {initBigUInt(all.first(m)), initBigUInt(all.subspan(m))};
}

BigUInt shiftLimbsLeft(const BigUInt& a, std::size_t k) {
    if (isZero(a)) return BigUInt{};
    BigUInt result;
    result.limbs = zeroLimbs(addLimbCounts(a.limbs.size(), k));
    std::copy(a.limbs.begin(), a.limbs.end(), result.limbs.begin() + static_cast<std::ptrdiff_t>(k));
    return result;  // the top limb is a's top limb, so already normal
}

BigUInt mulKaratsuba(const BigUInt& a, const BigUInt& b) {
    // A zero factor ends the recursion at once: splitting it further would
    // only produce zero products at a cost that grows with the other factor.
    if (isZero(a) || isZero(b)) return BigUInt{};
    const std::size_t n = std::max(a.limbs.size(), b.limbs.size());
    if (n <= KaratsubaThreshold) return mulSchoolbook(a, b);

    // One split point for both operands, taken from the longer one:
    // a = a0 + a1 B^m, b = b0 + b1 B^m.
    const std::size_t m = n / 2;
    const auto [a0, a1] = splitAt(a, m);
    const auto [b0, b1] = splitAt(b, m);

    const BigUInt z0 = mulKaratsuba(a0, b0);
    const BigUInt z2 = mulKaratsuba(a1, b1);
    const BigUInt p = mulKaratsuba(add(a0, a1), add(b0, b1));
    // p = z0 + z2 + a0 b1 + a1 b0, so neither subtraction can underflow.
    const BigUInt z1 = sub(sub(p, z0), z2);

    // a b = z2 B^2m + z1 B^m + z0.
    const BigUInt high = add(shiftLimbsLeft(z2, 2 * m), shiftLimbsLeft(z1, m));
    return add(high, z0);
}

}  // namespace corx_internal
