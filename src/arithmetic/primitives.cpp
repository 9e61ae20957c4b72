// SPDX-License-Identifier: BSD-3-Clause
#include "arithmetic/primitives.h"

#include "runtime/errors.h"

#include <algorithm>
#include <tuple>

namespace corx_internal {

std::pair<Limb, Limb> udiv128(Limb hi, Limb lo, Limb d) {
    // The zero test comes first: a zero divisor is reported as such
    // whatever the high limb is.
    if (d == 0) throw DivByZeroDefect("udiv128: divisor is zero");
    if (hi >= d) throw ValueError("udiv128: high limb must be < divisor (quotient must fit a Limb)");
    return divideDoubleLimb(hi, lo, d);
}

int compareLimbs(std::span<const Limb> a, std::span<const Limb> b) noexcept {
    if (a.size() != b.size()) return a.size() > b.size() ? 1 : -1;
    for (std::size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
    }
    return 0;
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

Limb divLimbs(std::span<Limb> q, std::span<const Limb> a, const LimbReciprocal& r) noexcept {
    Limb remainder = 0;  // below the divisor before every step
    std::size_t i = a.size();
    if (i > 0 && a[i - 1] < r.divisor) {
        // The first step would divide a single limb below the divisor:
        // digit 0, and that limb is the remainder.
        --i;
        remainder = a[i];
        q[i] = 0;
    }
    while (i-- > 0) std::tie(q[i], remainder) = divideDoubleLimb(remainder, a[i], r);
    return remainder;
}

Limb shiftLeftLimbs(std::span<Limb> r, std::span<const Limb> a, unsigned s) noexcept {
    if (s == 0) {
        if (r.data() != a.data()) std::copy(a.begin(), a.end(), r.begin());
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
        if (r.data() != a.data()) std::copy(a.begin(), a.end(), r.begin());
        return;
    }
    const std::size_t top = a.size() - 1;
    for (std::size_t i = 0; i < top; ++i) r[i] = (a[i] >> s) | (a[i + 1] << (LimbBits - s));
    r[top] = a[top] >> s;
}

}  // namespace corx_internal
