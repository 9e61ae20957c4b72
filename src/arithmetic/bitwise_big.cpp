// SPDX-License-Identifier: BSD-3-Clause
#include "arithmetic/bitwise_big.h"

#include <algorithm>

namespace corx_internal {
namespace {

// |count| as an unsigned value; also exact for the most negative count.
std::uint64_t magnitude(std::int64_t count) noexcept {
    const auto bits = static_cast<std::uint64_t>(count);
    return count < 0 ? 0 - bits : bits;
}

BigUInt shiftLeftBits(const BigUInt& a, std::uint64_t count) {
    if (isZero(a) || count == 0) return a;

    const std::size_t q = wholeLimbs(count);
    const unsigned r = count % LimbBits;
    const std::size_t n = a.limbs.size();
    BigUInt result;
    // One spare limb on top takes the bits shifted out of a's top limb.
    result.limbs = zeroLimbs(addLimbCounts(addLimbCounts(n, q), 1));
    std::span<Limb> out = std::span<Limb>(result.limbs).subspan(q);
    out[n] = shiftLeftLimbs(out, a.limbs, r);
    trim(result);
    return result;
}

BigUInt shiftRightBits(const BigUInt& a, std::uint64_t count) {
    if (isZero(a) || count == 0) return a;

    const std::size_t n = a.limbs.size();
    const std::uint64_t q = count / LimbBits;
    if (q >= n) return BigUInt{};  // every significant bit is shifted out

    const unsigned r = count % LimbBits;
    std::span<const Limb> in = std::span<const Limb>(a.limbs).subspan(q);
    BigUInt result;
    result.limbs = zeroLimbs(in.size());
    shiftRightLimbs(result.limbs, in, r);
    trim(result);
    return result;
}

}  // namespace

BigUInt shl(const BigUInt& a, std::int64_t count) {
    return count < 0 ? shiftRightBits(a, magnitude(count)) : shiftLeftBits(a, magnitude(count));
}

BigUInt shr(const BigUInt& a, std::int64_t count) {
    return count < 0 ? shiftLeftBits(a, magnitude(count)) : shiftRightBits(a, magnitude(count));
}

BigUInt bitOr(const BigUInt& a, const BigUInt& b) {
    const std::size_t n = std::max(a.limbs.size(), b.limbs.size());
    BigUInt result;
    result.limbs = zeroLimbs(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Limb x = i < a.limbs.size() ? a.limbs[i] : 0;
        const Limb y = i < b.limbs.size() ? b.limbs[i] : 0;
        result.limbs[i] = x | y;
    }
    trim(result);
    return result;
}

}  // namespace corx_internal
