#include "arithmetic/primitives.h"

#include "runtime/errors.h"

#include <algorithm>

namespace corx_internal {

std::pair<Limb, Limb> udiv128(Limb hi, Limb lo, Limb d) {
    // The zero test comes first: a zero divisor is reported as such
    // whatever the high limb is.
    if (d == 0) throw DivByZeroDefect("udiv128: divisor is zero");
    if (hi >= d) throw ValueError("udiv128: high limb must be < divisor (quotient must fit a Limb)");
    Limb quotient = 0;
    Limb remainder = 0;
    corvane_udiv128(hi, lo, d, &quotient, &remainder);
    return {quotient, remainder};
}

Limb addN(std::span<Limb> r, std::span<const Limb> a, std::span<const Limb> b) noexcept {
    Limb carry = 0;
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = addWithCarry(a[i], b[i], carry);
    return carry;
}

Limb addCarry(std::span<Limb> r, std::span<const Limb> a, Limb carry) noexcept {
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = addWithCarry(a[i], 0, carry);
    return carry;
}

Limb subN(std::span<Limb> r, std::span<const Limb> a, std::span<const Limb> b) noexcept {
    Limb borrow = 0;
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = subWithBorrow(a[i], b[i], borrow);
    return borrow;
}

Limb subBorrow(std::span<Limb> r, std::span<const Limb> a, Limb borrow) noexcept {
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = subWithBorrow(a[i], 0, borrow);
    return borrow;
}

Limb addMulLimb(std::span<Limb> r, std::span<const Limb> a, Limb m) noexcept {
    // Each step forms a[i]*m + r[i] + carry, at most (B-1)^2 + 2(B-1) =
    // B^2 - 1, so the new carry always fits a limb.
    Limb carry = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto [high, low] = mulWide(a[i], m);
        low += carry;
        high += static_cast<Limb>(low < carry);
        const Limb sum = r[i] + low;
        high += static_cast<Limb>(sum < low);
        r[i] = sum;
        carry = high;
    }
    return carry;
}

Limb subMulLimb(std::span<Limb> r, std::span<const Limb> a, Limb m) noexcept {
    // The carried amount is a[i]*m + carry plus one for a borrow; when the
    // product part reaches its maximum B^2 - B its low limb is 0 and no
    // borrow can occur, so the carried amount never exceeds B - 1.
    Limb carry = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto [high, low] = mulWide(a[i], m);
        low += carry;
        high += static_cast<Limb>(low < carry);
        high += static_cast<Limb>(r[i] < low);
        r[i] -= low;
        carry = high;
    }
    return carry;
}

Limb shiftLeftLimbs(std::span<Limb> r, std::span<const Limb> a, unsigned s) noexcept {
    if (s == 0) {
        std::copy(a.begin(), a.end(), r.begin());
        return 0;
    }
    Limb carried = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Limb limb = a[i];  // read before writing: r may alias a
        r[i] = (limb << s) | carried;
        carried = limb >> (LimbBits - s);
    }
    return carried;
}

void shiftRightLimbs(std::span<Limb> r, std::span<const Limb> a, unsigned s) noexcept {
    if (a.empty()) return;
    if (s == 0) {
        std::copy(a.begin(), a.end(), r.begin());
        return;
    }
    const std::size_t top = a.size() - 1;
    for (std::size_t i = 0; i < top; ++i) r[i] = (a[i] >> s) | (a[i + 1] << (LimbBits - s));
    r[top] = a[top] >> s;
}

}  // namespace corx_internal
