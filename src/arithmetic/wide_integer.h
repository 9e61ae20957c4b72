/* SPDX-License-Identifier: BSD-3-Clause */
// 128-bit integers: PortableUInt128 (arithmetic modulo 2^128) and PortableInt128 (two's
// complement, wrapping where the compiler's type would overflow).
//
// Where the compiler has a 128-bit integer type they are that type. Where it
// has none (32-bit targets) they are PortableUInt128 and PortableInt128,
// which give the same value as the compiler's types for every operation the
// library performs: construction from any integer (sign-extended from signed
// types), explicit narrowing to any integer (keeping the low bits),
// + - * / % & | ^ ~ << >> and comparisons. Defining CORX_PORTABLE_INT128
// selects the portable classes on any target, so that a native build runs
// the whole library and its tests on them.
#pragma once

#include <concepts>
#include <cstdint>
#include <type_traits>

namespace corx_internal {

namespace wide_detail {

// The bits of a 128-bit integer as two 64-bit words, in the byte order of
// the machine's own double-word integers, so that a value stored in memory
// has the same bytes as the compiler's type would.
struct Words {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    std::uint64_t hi, lo;
#else
    std::uint64_t lo, hi;
#endif
};

constexpr Words fromInteger(std::integral auto v) noexcept {
    Words w{};
    w.lo = static_cast<std::uint64_t>(v);
    if constexpr (std::is_signed_v<decltype(v)>) w.hi = v < 0 ? ~std::uint64_t{0} : 0;
    return w;
}

constexpr Words add(Words a, Words b) noexcept {
    Words r{};
    r.lo = a.lo + b.lo;
    r.hi = a.hi + b.hi + (r.lo < a.lo ? 1 : 0);
    return r;
}

constexpr Words negate(Words a) noexcept {
    Words r{};
    r.lo = ~a.lo + 1;
    r.hi = ~a.hi + (r.lo == 0 ? 1 : 0);
    return r;
}

// The full product of two 64-bit words, from 32-bit halves.
constexpr Words multiplyWords(std::uint64_t a, std::uint64_t b) noexcept {
    const std::uint64_t a0 = a & 0xffffffffu, a1 = a >> 32, b0 = b & 0xffffffffu, b1 = b >> 32;
    const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const std::uint64_t middle = (p00 >> 32) + (p01 & 0xffffffffu) + (p10 & 0xffffffffu);
    Words r{};
    r.lo = (middle << 32) | (p00 & 0xffffffffu);
    r.hi = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
    return r;
}

constexpr Words multiply(Words a, Words b) noexcept {
    Words r = multiplyWords(a.lo, b.lo);
    r.hi += a.lo * b.hi + a.hi * b.lo;
    return r;
}

constexpr Words shiftLeft(Words a, unsigned s) noexcept {
    s &= 127;
    Words r{};
    if (s == 0) return a;
    if (s >= 64) {
        r.hi = a.lo << (s - 64);
        r.lo = 0;
    } else {
        r.hi = (a.hi << s) | (a.lo >> (64 - s));
        r.lo = a.lo << s;
    }
    return r;
}

// Shifts right by s, filling with `fill` (all ones for an arithmetic shift
// of a negative value, else zero).
constexpr Words shiftRight(Words a, unsigned s, std::uint64_t fill) noexcept {
    s &= 127;
    Words r{};
    if (s == 0) return a;
    if (s >= 64) {
        r.lo = s == 64 ? a.hi : (a.hi >> (s - 64)) | (fill << (128 - s));
        r.hi = fill;
    } else {
        r.lo = (a.lo >> s) | (a.hi << (64 - s));
        r.hi = (a.hi >> s) | (fill << (64 - s));
    }
    return r;
}

constexpr bool less(Words a, Words b) noexcept { return a.hi != b.hi ? a.hi < b.hi : a.lo < b.lo; }

// Unsigned quotient and remainder, b != 0: restoring division, one quotient
// bit per step from the dividend's leading one down.
constexpr void divide(Words a, Words b, Words& quotient, Words& remainder) noexcept {
    quotient = Words{};
    remainder = Words{};
    if (a.hi == 0 && b.hi == 0) {
        quotient.lo = a.lo / b.lo;
        remainder.lo = a.lo % b.lo;
        return;
    }
    for (int bit = 127; bit >= 0; --bit) {
        const std::uint64_t top = remainder.hi >> 63;
        remainder = shiftLeft(remainder, 1);
        remainder.lo |= (bit >= 64 ? a.hi >> (bit - 64) : a.lo >> bit) & 1;
        if (top != 0 || !less(remainder, b)) {
            remainder = add(remainder, negate(b));
            if (bit >= 64) {
                quotient.hi |= std::uint64_t{1} << (bit - 64);
            } else {
                quotient.lo |= std::uint64_t{1} << bit;
            }
        }
    }
}

}  // namespace wide_detail

class PortableInt128;

class alignas(16) PortableUInt128 {
public:
    constexpr PortableUInt128() noexcept = default;
    constexpr PortableUInt128(std::integral auto v) noexcept : w_(wide_detail::fromInteger(v)) {}
    constexpr explicit PortableUInt128(PortableInt128 v) noexcept;

    template <std::integral T>
    constexpr explicit operator T() const noexcept {
        return static_cast<T>(w_.lo);
    }

    friend constexpr PortableUInt128 operator+(PortableUInt128 a, PortableUInt128 b) noexcept { return make(wide_detail::add(a.w_, b.w_)); }
    friend constexpr PortableUInt128 operator-(PortableUInt128 a, PortableUInt128 b) noexcept {
        return make(wide_detail::add(a.w_, wide_detail::negate(b.w_)));
    }
    friend constexpr PortableUInt128 operator*(PortableUInt128 a, PortableUInt128 b) noexcept {
        return make(wide_detail::multiply(a.w_, b.w_));
    }
    friend constexpr PortableUInt128 operator/(PortableUInt128 a, PortableUInt128 b) noexcept {
        wide_detail::Words q{}, r{};
        wide_detail::divide(a.w_, b.w_, q, r);
        return make(q);
    }
    friend constexpr PortableUInt128 operator%(PortableUInt128 a, PortableUInt128 b) noexcept {
        wide_detail::Words q{}, r{};
        wide_detail::divide(a.w_, b.w_, q, r);
        return make(r);
    }
    friend constexpr PortableUInt128 operator&(PortableUInt128 a, PortableUInt128 b) noexcept { return make2(a.w_.lo & b.w_.lo, a.w_.hi & b.w_.hi); }
    friend constexpr PortableUInt128 operator|(PortableUInt128 a, PortableUInt128 b) noexcept { return make2(a.w_.lo | b.w_.lo, a.w_.hi | b.w_.hi); }
    friend constexpr PortableUInt128 operator^(PortableUInt128 a, PortableUInt128 b) noexcept { return make2(a.w_.lo ^ b.w_.lo, a.w_.hi ^ b.w_.hi); }
    friend constexpr PortableUInt128 operator~(PortableUInt128 a) noexcept { return make2(~a.w_.lo, ~a.w_.hi); }
    friend constexpr PortableUInt128 operator-(PortableUInt128 a) noexcept { return make(wide_detail::negate(a.w_)); }
    friend constexpr PortableUInt128 operator<<(PortableUInt128 a, std::integral auto s) noexcept {
        return make(wide_detail::shiftLeft(a.w_, static_cast<unsigned>(s)));
    }
    friend constexpr PortableUInt128 operator>>(PortableUInt128 a, std::integral auto s) noexcept {
        return make(wide_detail::shiftRight(a.w_, static_cast<unsigned>(s), 0));
    }
    friend constexpr bool operator==(PortableUInt128 a, PortableUInt128 b) noexcept { return a.w_.lo == b.w_.lo && a.w_.hi == b.w_.hi; }
    friend constexpr bool operator<(PortableUInt128 a, PortableUInt128 b) noexcept { return wide_detail::less(a.w_, b.w_); }
    friend constexpr bool operator>(PortableUInt128 a, PortableUInt128 b) noexcept { return b < a; }
    friend constexpr bool operator<=(PortableUInt128 a, PortableUInt128 b) noexcept { return !(b < a); }
    friend constexpr bool operator>=(PortableUInt128 a, PortableUInt128 b) noexcept { return !(a < b); }

    constexpr PortableUInt128& operator+=(PortableUInt128 b) noexcept { return *this = *this + b; }
    constexpr PortableUInt128& operator-=(PortableUInt128 b) noexcept { return *this = *this - b; }
    constexpr PortableUInt128& operator*=(PortableUInt128 b) noexcept { return *this = *this * b; }
    constexpr PortableUInt128& operator|=(PortableUInt128 b) noexcept { return *this = *this | b; }
    constexpr PortableUInt128& operator&=(PortableUInt128 b) noexcept { return *this = *this & b; }
    constexpr PortableUInt128& operator^=(PortableUInt128 b) noexcept { return *this = *this ^ b; }
    constexpr PortableUInt128& operator<<=(std::integral auto s) noexcept { return *this = *this << s; }
    constexpr PortableUInt128& operator>>=(std::integral auto s) noexcept { return *this = *this >> s; }

private:
    friend class PortableInt128;
    static constexpr PortableUInt128 make(wide_detail::Words w) noexcept {
        PortableUInt128 r;
        r.w_ = w;
        return r;
    }
    static constexpr PortableUInt128 make2(std::uint64_t lo, std::uint64_t hi) noexcept {
        wide_detail::Words w{};
        w.lo = lo;
        w.hi = hi;
        return make(w);
    }
    wide_detail::Words w_{};
};

class alignas(16) PortableInt128 {
public:
    constexpr PortableInt128() noexcept = default;
    constexpr PortableInt128(std::integral auto v) noexcept : w_(wide_detail::fromInteger(v)) {}
    constexpr explicit PortableInt128(PortableUInt128 v) noexcept : w_(v.w_) {}

    template <std::integral T>
    constexpr explicit operator T() const noexcept {
        return static_cast<T>(w_.lo);
    }

    friend constexpr PortableInt128 operator+(PortableInt128 a, PortableInt128 b) noexcept { return make(wide_detail::add(a.w_, b.w_)); }
    friend constexpr PortableInt128 operator-(PortableInt128 a, PortableInt128 b) noexcept {
        return make(wide_detail::add(a.w_, wide_detail::negate(b.w_)));
    }
    friend constexpr PortableInt128 operator-(PortableInt128 a) noexcept { return make(wide_detail::negate(a.w_)); }
    friend constexpr PortableInt128 operator*(PortableInt128 a, PortableInt128 b) noexcept { return make(wide_detail::multiply(a.w_, b.w_)); }
    // Quotients truncate toward zero, remainders take the dividend's sign.
    friend constexpr PortableInt128 operator/(PortableInt128 a, PortableInt128 b) noexcept {
        wide_detail::Words q{}, r{};
        wide_detail::divide(a.magnitude(), b.magnitude(), q, r);
        return a.negative() != b.negative() ? make(wide_detail::negate(q)) : make(q);
    }
    friend constexpr PortableInt128 operator%(PortableInt128 a, PortableInt128 b) noexcept {
        wide_detail::Words q{}, r{};
        wide_detail::divide(a.magnitude(), b.magnitude(), q, r);
        return a.negative() ? make(wide_detail::negate(r)) : make(r);
    }
    friend constexpr PortableInt128 operator&(PortableInt128 a, PortableInt128 b) noexcept { return PortableInt128(PortableUInt128(a) & PortableUInt128(b)); }
    friend constexpr PortableInt128 operator|(PortableInt128 a, PortableInt128 b) noexcept { return PortableInt128(PortableUInt128(a) | PortableUInt128(b)); }
    friend constexpr PortableInt128 operator^(PortableInt128 a, PortableInt128 b) noexcept { return PortableInt128(PortableUInt128(a) ^ PortableUInt128(b)); }
    friend constexpr PortableInt128 operator~(PortableInt128 a) noexcept { return PortableInt128(~PortableUInt128(a)); }
    friend constexpr PortableInt128 operator<<(PortableInt128 a, std::integral auto s) noexcept {
        return make(wide_detail::shiftLeft(a.w_, static_cast<unsigned>(s)));
    }
    friend constexpr PortableInt128 operator>>(PortableInt128 a, std::integral auto s) noexcept {
        return make(wide_detail::shiftRight(a.w_, static_cast<unsigned>(s), a.negative() ? ~std::uint64_t{0} : 0));
    }
    friend constexpr bool operator==(PortableInt128 a, PortableInt128 b) noexcept { return a.w_.lo == b.w_.lo && a.w_.hi == b.w_.hi; }
    friend constexpr bool operator<(PortableInt128 a, PortableInt128 b) noexcept {
        if (a.w_.hi != b.w_.hi) return static_cast<std::int64_t>(a.w_.hi) < static_cast<std::int64_t>(b.w_.hi);
        return a.w_.lo < b.w_.lo;
    }
    friend constexpr bool operator>(PortableInt128 a, PortableInt128 b) noexcept { return b < a; }
    friend constexpr bool operator<=(PortableInt128 a, PortableInt128 b) noexcept { return !(b < a); }
    friend constexpr bool operator>=(PortableInt128 a, PortableInt128 b) noexcept { return !(a < b); }

    constexpr PortableInt128& operator+=(PortableInt128 b) noexcept { return *this = *this + b; }
    constexpr PortableInt128& operator-=(PortableInt128 b) noexcept { return *this = *this - b; }
    constexpr PortableInt128& operator*=(PortableInt128 b) noexcept { return *this = *this * b; }
    constexpr PortableInt128& operator|=(PortableInt128 b) noexcept { return *this = *this | b; }
    constexpr PortableInt128& operator&=(PortableInt128 b) noexcept { return *this = *this & b; }
    constexpr PortableInt128& operator<<=(std::integral auto s) noexcept { return *this = *this << s; }
    constexpr PortableInt128& operator>>=(std::integral auto s) noexcept { return *this = *this >> s; }

private:
    friend class PortableUInt128;
    constexpr bool negative() const noexcept { return (w_.hi >> 63) != 0; }
    constexpr wide_detail::Words magnitude() const noexcept { return negative() ? wide_detail::negate(w_) : w_; }
    static constexpr PortableInt128 make(wide_detail::Words w) noexcept {
        PortableInt128 r;
        r.w_ = w;
        return r;
    }
    wide_detail::Words w_{};
};

constexpr PortableUInt128::PortableUInt128(PortableInt128 v) noexcept : w_(v.w_) {}

#if defined(__SIZEOF_INT128__) && !defined(CORX_PORTABLE_INT128)
__extension__ typedef unsigned __int128 UInt128;
__extension__ typedef __int128 Int128;
#else
using UInt128 = PortableUInt128;
using Int128 = PortableInt128;
#endif

}  // namespace corx_internal
