// SPDX-License-Identifier: BSD-3-Clause
#include "kernels/exact_accumulator.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "arithmetic/primitives.h"

namespace corx_internal {

namespace {

using U128 = DoubleLimb;

constexpr std::uint64_t kSignBit = 0x8000000000000000ULL;
constexpr std::uint64_t kFractionMask = 0x000FFFFFFFFFFFFFULL;
constexpr std::uint64_t kLow32 = 0xFFFFFFFFULL;
constexpr std::uint64_t kOverflowNaN = 0x7FFFFFFFFFFFFFFFULL;
constexpr std::int64_t kTwo32 = std::int64_t{1} << 32;
constexpr std::int64_t kTwo52 = std::int64_t{1} << 52;

std::uint64_t bitsOf(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

double fromBits(std::uint64_t u) {
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

std::int64_t exponentField(std::uint64_t bits) { return static_cast<std::int64_t>((bits >> 52) & 0x7FF); }

// |t| = M * 2^(e - 1075) for a finite double: the integer mantissa M (the
// hidden bit included for normal numbers) and the effective exponent e
// (1 for subnormal numbers).
struct Decomposed {
    std::uint64_t mantissa;
    std::int64_t exponent;
};

Decomposed decompose(std::uint64_t bits) {
    const std::int64_t biased = exponentField(bits);
    const std::uint64_t fraction = bits & kFractionMask;
    if (biased >= 1) return {fraction | (std::uint64_t{1} << 52), biased};
    return {fraction, 1};
}

// floor(a / 32), also for negative a.
std::int64_t floorDiv32(std::int64_t a) {
    std::int64_t q = a / 32;
    if (a % 32 != 0 && a < 0) q -= 1;
    return q;
}

// Non-zero when any of c[0 .. 7] is.
inline std::int64_t anyNonZero8(const std::int64_t* c) {
    return (c[0] | c[1]) | (c[2] | c[3]) | (c[4] | c[5]) | (c[6] | c[7]);
}

// Adds a non-negative magnitude, negated when negative is set, to a chunk.
void addToChunk(ExactAccumulator& acc, std::int64_t index, std::uint64_t magnitude, bool negative) {
    const std::int64_t v = static_cast<std::int64_t>(magnitude);
    acc.chunks[index] += negative ? -v : v;
}

}  // namespace

void clear(ExactAccumulator& acc) {
    for (std::int64_t& c : acc.chunks) c = 0;
    acc.infSlot = 0.0;
    acc.nanSlot = 0;
    acc.countdown = ExactAccumulator::kFreshCountdown;
}

void addTerm(ExactAccumulator& acc, double t) {
    const std::uint64_t bits = bitsOf(t);
    if (exponentField(bits) == 2047) {
        if ((bits & kFractionMask) != 0) {
            acc.nanSlot = bits & ~kSignBit;
        } else {
            acc.infSlot = t;
        }
        return;
    }
    if (t == 0.0) return;

    const Decomposed d = decompose(bits);
    const std::int64_t k = d.exponent / 32;  // e >= 1: division is the floor
    const std::int64_t s = d.exponent % 32;
    const U128 shifted = static_cast<U128>(d.mantissa) << s;  // at most 84 bits
    const std::uint64_t low = static_cast<std::uint64_t>(shifted) & kLow32;
    const std::uint64_t high = static_cast<std::uint64_t>(shifted >> 32);  // at most 52 bits
    const bool negative = (bits & kSignBit) != 0;
    addToChunk(acc, k, low, negative);
    addToChunk(acc, k + 1, high, negative);
}

namespace {

// The exact product y*z, any operands, into the chunks or the special
// slots; countdown is left to the caller.
[[gnu::noinline]] void addGeneralProduct(ExactAccumulator& acc, double y, double z) {
    const std::uint64_t yb = bitsOf(y), zb = bitsOf(z);
    if (exponentField(yb) == 2047 || exponentField(zb) == 2047) {
        // Ordinary double arithmetic decides: 0 * Inf is NaN, a NaN operand
        // gives a NaN, anything else an infinity.
        const double p = y * z;
        const std::uint64_t pb = bitsOf(p);
        if (std::isnan(p)) {
            // Of all NaNs seen the one with the largest fraction is kept.
            if ((pb & kFractionMask) >= (acc.nanSlot & kFractionMask)) acc.nanSlot = pb & ~kSignBit;
        } else if (acc.infSlot == 0.0) {
            acc.infSlot = p;
        } else if (bitsOf(acc.infSlot) != pb) {
            acc.infSlot = p - p;  // infinities of both signs: NaN
        }
        return;
    }
    if (y == 0.0 || z == 0.0) return;

    const Decomposed dy = decompose(yb), dz = decompose(zb);
    const U128 product = static_cast<U128>(dy.mantissa) * dz.mantissa;  // exact, at most 106 bits
    const std::int64_t e = dy.exponent + dz.exponent - 1075;          // -1073 .. 3017
    const std::int64_t chunk = floorDiv32(e);
    const std::int64_t s = e - 32 * chunk;  // 0 .. 31

    // The five 32-bit pieces of Q = product * 2^s (at most 137 bits): the
    // low 128 bits by a wrapping shift, the top piece from the bits that
    // the shift pushed out.
    const U128 lowPart = product << s;
    std::uint64_t pieces[5];
    for (int j = 0; j < 4; ++j) pieces[j] = static_cast<std::uint64_t>(lowPart >> (32 * j)) & kLow32;
    pieces[4] = s == 0 ? 0 : static_cast<std::uint64_t>(product >> (128 - s));

    const bool negative = ((yb ^ zb) & kSignBit) != 0;
    for (std::int64_t j = 0; j < 5; ++j) {
        // Pieces below weight 2^-1075 have no chunk and are dropped.
        if (chunk + j >= 0) addToChunk(acc, chunk + j, pieces[j], negative);
    }
}

[[gnu::always_inline]] inline void addProductInline(ExactAccumulator& acc, double y, double z) {
    if (acc.countdown == 0) carryPropagate(acc);
    const std::uint64_t yb = bitsOf(y), zb = bitsOf(z);
    addGeneralProduct(acc, y, z);
    // Only finite non-zero products count.
    if (exponentField(yb) != 2047 && exponentField(zb) != 2047 && y != 0.0 && z != 0.0) acc.countdown -= 1;
}

}  // namespace

void addProduct(ExactAccumulator& acc, double y, double z) { addProductInline(acc, y, z); }

std::int64_t carryPropagate(ExactAccumulator& acc) {
    std::int64_t* chunks = acc.chunks;
    constexpr std::int64_t top = ExactAccumulator::kChunks - 1;

    // Most of the 131 chunks are zero: they are passed over eight at a time.
    std::int64_t f = -1;
    std::int64_t i = top;
    while (i >= 8 && anyNonZero8(chunks + i - 7) == 0) i -= 8;
    for (; i >= 1; --i) {
        if (chunks[i] != 0) {
            f = i;
            break;
        }
    }
    if (f < 0) {
        if (chunks[0] == 0) {
            acc.countdown = ExactAccumulator::kCountdown;
            return 0;
        }
        f = 0;
    }

    // Zero chunks change nothing: the loop starts near the lowest non-zero one.
    std::int64_t u = -1;
    i = 0;
    while (i + 8 <= f && anyNonZero8(chunks + i) == 0) i += 8;
    for (; i <= f; ++i) {
        const std::int64_t c = chunks[i];
        if (c == 0) continue;
        const std::int64_t hi = c >> 32;  // arithmetic: floor(c / 2^32)
        if (hi == 0) {
            u = i;
            continue;
        }
        if (i == f) {
            // A leading digit between -2^32 and -1 stays as it is.
            if (hi == -1) {
                u = i;
                break;
            }
            f = i + 1;  // the carry opens a new leading chunk
        }
        const std::int64_t low = static_cast<std::int64_t>(static_cast<std::uint64_t>(c) & kLow32);
        chunks[i] = low;
        if (low != 0) u = i;
        if (i == top) {
            acc.nanSlot = kOverflowNaN;  // the carry has no place left
            break;
        }
        chunks[i + 1] += hi;
    }

    if (u == -1) {
        acc.countdown = ExactAccumulator::kCountdown;
        return 0;
    }
    // A leading digit of -1 is folded into the digit below it.
    while (chunks[u] == -1 && u > 0) {
        chunks[u] = 0;
        u -= 1;
        chunks[u] -= kTwo32;
    }
    acc.countdown = ExactAccumulator::kCountdown;
    return u;
}

double round(ExactAccumulator& acc) {
    if (fromBits(acc.nanSlot) != 0.0) return fromBits(acc.nanSlot);
    if (acc.infSlot != 0.0) return acc.infSlot;

    const std::int64_t u = carryPropagate(acc);
    // An overflow met by this last propagation is reported like any other.
    if (fromBits(acc.nanSlot) != 0.0) return fromBits(acc.nanSlot);
    const std::int64_t* chunks = acc.chunks;
    const std::int64_t c = chunks[u];

    if (u == 0 && c == 0) return 0.0;

    if (u == 0) {
        // Subnormal range: drop the lowest accumulator bit (toward zero).
        const std::uint64_t magnitude = static_cast<std::uint64_t>(c < 0 ? -c : c) / 2;
        return fromBits(magnitude | (c < 0 ? kSignBit : 0));
    }

    if (u == 1) {
        // chunks[0] is non-negative here; floor division by 2 keeps the
        // value in units of 2^-1074.
        const std::int64_t w = c * (std::int64_t{1} << 31) + chunks[0] / 2;
        if (w >= 0 && w < kTwo52) return fromBits(static_cast<std::uint64_t>(w));
        if (w < 0 && w >= -(kTwo52 - 1)) return fromBits(static_cast<std::uint64_t>(-w) | kSignBit);
    }

    // General case: a signed 55-bit mantissa m with its leading bit at bit
    // 54 (two bits below the 53-bit significand), the unused low bits `rest`
    // of the last chunk read, and chunks[0..j-1] still unread.
    const std::uint64_t absC = static_cast<std::uint64_t>(c < 0 ? -c : c);
    const std::int64_t z = std::countl_zero(absC);  // >= 31
    std::int64_t m = c * (std::int64_t{1} << (z - 9));
    std::int64_t rest = 0;
    std::int64_t restWidth = 0;
    std::int64_t j = 0;
    if (z <= 40) {
        const std::int64_t g = chunks[u - 1];
        restWidth = 41 - z;
        m = m + (g >> restWidth);
        rest = g & ((std::int64_t{1} << restWidth) - 1);
        j = u - 1;
    } else {
        m = m + chunks[u - 1] * (std::int64_t{1} << (z - 41));
        if (u == 1) {
            rest = 0;
            j = 0;
        } else {
            const std::int64_t g = chunks[u - 2];
            restWidth = 73 - z;
            m = m + (g >> restWidth);
            rest = g & ((std::int64_t{1} << restWidth) - 1);
            j = u - 2;
        }
    }
    std::int64_t e = (1086 - z) + 32 * u - 1075;

    auto lowerBitsNonZero = [&]() {
        if (rest != 0) return true;
        std::int64_t k = 0;
        for (; k + 8 <= j; k += 8)
            if (anyNonZero8(chunks + k) != 0) return true;
        for (; k < j; ++k)
            if (chunks[k] != 0) return true;
        return false;
    };

    if (c > 0) {
        const bool bit0 = (m & 1) != 0, bit1 = (m & 2) != 0, bit2 = (m & 4) != 0;
        if (bit1 && (bit0 || bit2 || lowerBitsNonZero())) {
            m += 4;
            if ((m >> 55) & 1) {
                m >>= 1;
                e += 1;
            }
        }
        if (e > 2046) return fromBits(0x7FF0000000000000ULL);
        return fromBits((static_cast<std::uint64_t>(e) << 52) |
                        (static_cast<std::uint64_t>(m / 4) & kFractionMask));
    }

    // c < 0: the lower bits are non-negative, so the true magnitude lies
    // slightly below M = -m whenever they are not all zero.
    std::int64_t M = -m;
    if (((M >> 54) & 1) == 0) {
        // |c| is a power of two and lower bits remain: one more bit is due.
        std::int64_t b0 = 0;
        if (restWidth > 0) {
            const std::int64_t topBit = std::int64_t{1} << (restWidth - 1);
            b0 = (rest & topBit) != 0 ? 1 : 0;
            rest &= ~topBit;
        }
        m = 2 * m + b0;
        M = -m;
        e -= 1;
    }
    bool roundUp = false;
    if (M % 4 == 3) {
        roundUp = true;
    } else if (M % 8 == 6 && !lowerBitsNonZero()) {
        roundUp = true;  // exact tie, bit 2 set: to even
    }
    if (roundUp) {
        M += 4;
        if ((M >> 55) & 1) {
            M >>= 1;
            e += 1;
        }
    }
    if (e > 2046) return fromBits(0xFFF0000000000000ULL);
    return fromBits(kSignBit | (static_cast<std::uint64_t>(e) << 52) |
                    (static_cast<std::uint64_t>(M / 4) & kFractionMask));
}

void mergeLanes(ExactAccumulator* lanes, int count) {
    ExactAccumulator& to = lanes[0];
    for (int l = 1; l < count; ++l) {
        const ExactAccumulator& from = lanes[l];
        for (int k = 0; k < ExactAccumulator::kChunks; ++k) to.chunks[k] += from.chunks[k];
        if (from.nanSlot != 0 && (from.nanSlot & kFractionMask) >= (to.nanSlot & kFractionMask))
            to.nanSlot = from.nanSlot;
        if (from.infSlot != 0.0) {
            if (to.infSlot == 0.0) {
                to.infSlot = from.infSlot;
            } else if (bitsOf(to.infSlot) != bitsOf(from.infSlot)) {
                to.infSlot = from.infSlot - from.infSlot;  // infinities of both signs: NaN
            }
        }
    }
    to.countdown = 0;  // the next addition normalises first
}

namespace {

// A 256-bit two's complement integer as two 128-bit halves.
struct Int256 {
    U128 low = 0, high = 0;
};

// v += M * 2^s, negated when negative is set (1): M < 2^106, 0 <= s <= 127.
// Without branches: the signs of a row's products follow no pattern.
inline void addShifted(Int256& v, U128 m, std::uint64_t s, std::uint64_t negative) {
    const U128 flip = U128{0} - U128{negative};
    const U128 low = (m << s) ^ flip;
    const U128 high = ((m >> 1) >> (127 - s)) ^ flip;
    // -t = ~t + 1: the flipped words, and the 1 at the bottom.
    v.low += low;
    const U128 carry = v.low < low ? 1 : 0;
    v.low += negative;
    v.high += high + carry + (v.low < negative ? 1 : 0);
}

inline std::int64_t leadingBit(U128 v) {
    const std::uint64_t h = static_cast<std::uint64_t>(v >> 64), l = static_cast<std::uint64_t>(v);
    return h != 0 ? 127 - std::countl_zero(h) : 63 - std::countl_zero(l);
}

// The double of sign `negative` whose 53-bit significand m has its
// leading bit weighing 2^e (-1022 <= e <= 1022), m first raised by one unit
// when up is set (carrying into the exponent at 2^53).
inline double assemble(bool negative, std::uint64_t m, std::int64_t e, bool up) {
    if (up) {
        m += 1;
        if (m >> 53 != 0) {
            m >>= 1;
            e += 1;
        }
    }
    return fromBits((negative ? kSignBit : 0) | (static_cast<std::uint64_t>(e + 1023) << 52) | (m & kFractionMask));
}

// out = the double nearest sum * 2^(scale - 2150), ties to even, when
// the sum (below 2^254 in magnitude) is zero (+0.0) or lies between
// 2^-1022 and 2^1023 in magnitude; false otherwise.
bool roundWide(Int256 sum, std::int64_t scale, double& out) {
    const bool negative = (sum.high >> 127) != 0;
    if (negative) {
        sum.high = ~sum.high + (sum.low == 0 ? 1 : 0);
        sum.low = U128{0} - sum.low;
    }
    if (sum.high == 0 && sum.low == 0) {
        out = 0.0;
        return true;
    }
    const std::int64_t top = sum.high != 0 ? 128 + leadingBit(sum.high) : leadingBit(sum.low);
    std::int64_t e = top + scale - 2150;  // the leading bit weighs 2^e
    if (e < -1022 || e > 1022) return false;

    if (top <= 52) {
        out = assemble(negative, static_cast<std::uint64_t>(sum.low) << (52 - top), e, false);
        return true;
    }
    // The 53 bits from the leading one down, then the half bit below them
    // and whether anything lies below that.
    const std::int64_t shift = top - 52;
    const std::uint64_t m = shift >= 128 ? static_cast<std::uint64_t>(sum.high >> (shift - 128))
                                         : static_cast<std::uint64_t>((sum.low >> shift) | (sum.high << (128 - shift)));
    const std::int64_t h = shift - 1;
    bool half = false, below = false;
    if (h >= 128) {
        half = ((sum.high >> (h - 128)) & 1) != 0;
        below = sum.low != 0 || (sum.high & ((U128{1} << (h - 128)) - 1)) != 0;
    } else {
        half = ((sum.low >> h) & 1) != 0;
        below = (sum.low & ((U128{1} << h) - 1)) != 0;
    }
    out = assemble(negative, m, e, half && (below || (m & 1) != 0));
    return true;
}

}  // namespace

bool roundShortSum(double c, const double* y, const double* z, std::int64_t n, double& out) {
    constexpr std::int64_t kMost = 16;
    if (n > kMost) return false;
    // Every term is M * 2^(u - 2150), M < 2^106: a product of normal
    // factors with exponent fields fy, fz has u = fy + fz, the term c with
    // field fc has u = fc + 1075, a zero term M = 0.
    U128 mantissa[kMost + 1];
    std::uint64_t u[kMost + 1], sign[kMost + 1];
    constexpr std::uint64_t kHidden = std::uint64_t{1} << 52;
    const std::uint64_t cb = bitsOf(c);
    const std::uint64_t fc = (cb >> 52) & 0x7FF;
    const bool cZero = (cb << 1) == 0;
    bool refused = fc == 2047 || (fc == 0 && !cZero);
    mantissa[0] = cZero ? U128{0} : U128{(cb & kFractionMask) | kHidden};
    u[0] = fc + 1075;
    sign[0] = cb >> 63;
    std::uint64_t least = cZero ? 4095 : u[0], most = cZero ? 0 : u[0];
    for (std::int64_t j = 0; j < n; ++j) {
        const std::uint64_t yb = bitsOf(y[j]), zb = bitsOf(z[j]);
        const std::uint64_t fy = (yb >> 52) & 0x7FF, fz = (zb >> 52) & 0x7FF;
        const bool zero = (yb << 1) == 0 || (zb << 1) == 0;
        refused |= fy == 2047 || fz == 2047;
        refused |= !zero && (fy == 0 || fz == 0 || fy + fz < 1075);
        const U128 product = static_cast<U128>((yb & kFractionMask) | kHidden) * ((zb & kFractionMask) | kHidden);
        mantissa[j + 1] = zero ? U128{0} : product;
        u[j + 1] = fy + fz;
        sign[j + 1] = (yb ^ zb) >> 63;
        least = zero || fy + fz > least ? least : fy + fz;
        most = zero || fy + fz < most ? most : fy + fz;
    }
    if (refused) return false;
    if (most == 0) {
        out = 0.0;
        return true;
    }
    if (most - least > 127) return false;

    Int256 sum;
    // A zero term adds nothing whatever its shift; the mask keeps the
    // shift of one below least within range.
    for (std::int64_t k = 0; k <= n; ++k) addShifted(sum, mantissa[k], (u[k] - least) & 127, sign[k]);

    return roundWide(sum, static_cast<std::int64_t>(least), out);
}

namespace kernels {

void exactFactors(ExactFactor* f, const double* x, std::int64_t n) {
    for (std::int64_t j = 0; j < n; ++j) {
        const std::uint64_t b = bitsOf(x[j]);
        const std::int64_t biased = static_cast<std::int64_t>((b >> 52) & 0x7FF);
        const std::int64_t mantissa = static_cast<std::int64_t>((b & kFractionMask) | (std::uint64_t{1} << 52));
        f[j].mantissa[0] = (b >> 63) != 0 ? -mantissa : mantissa;
        f[j].mantissa[1] = -f[j].mantissa[0];
        const std::int64_t low = biased < 1074 ? 1075 - biased : 1;
        f[j].low = static_cast<std::uint32_t>(low);
        // Zero, subnormal, infinite or NaN: no y passes the test.
        f[j].span = static_cast<std::uint32_t>(biased >= 1 && biased <= 2046 ? 2047 - low : 0);
        f[j].place = 16 * (kExactLanes * (low + biased - 1075) + j % kExactLanes);
    }
}

namespace {

// A product for the general route: into its lane's accumulator, carries
// propagated first when its countdown has run out. Zeros and specials
// count too, which only brings a propagation forward.
[[gnu::noinline]] void addGeneralCounted(ExactAccumulator& acc, double y, double z) {
    if (acc.countdown == 0) carryPropagate(acc);
    addGeneralProduct(acc, y, z);
    acc.countdown -= 1;
}

// The product row[j]*x[j], x[j] prepared as fz, into its bucket (or the
// general route into acc); sets the bit of the bucket's group in touched.
[[gnu::always_inline]] inline void addBucketProduct(ExactAccumulator& acc, ExactBucket* words, const double* row,
                                                    const double* x, const ExactFactor& fz, std::int64_t j,
                                                    std::uint64_t& touched) {
    std::uint64_t yb;
    std::memcpy(&yb, row + j, sizeof yb);
    const std::uint64_t d = ((yb << 1) >> 53) - fz.low;  // ey - low
    if (d >= fz.span) {
        addGeneralCounted(acc, row[j], x[j]);
        return;
    }
    std::int64_t my = static_cast<std::int64_t>((yb & kFractionMask) | (std::uint64_t{1} << 52));
    // Hides that my is positive, which would make the compiler build the
    // signed product below from an unsigned one and a correction.
    asm("" : "+r"(my));
    // The product of the signed mantissas: below 2^106 in magnitude, exact.
    const Int128 p = static_cast<Int128>(my) * fz.mantissa[yb >> 63];
    // The bucket's byte offset, 16 * (kExactLanes * e + lane).
    const std::uint64_t at = (d << 6) + fz.place;
    ExactBucket* const bucket = reinterpret_cast<ExactBucket*>(reinterpret_cast<char*>(words) + at);
    *bucket += static_cast<ExactBucket>(p);  // two's complement, wrapping
    touched |= std::uint64_t{1} << (at >> 12);  // e / 64
}

// Adds V * 2^(e - 1075), V a signed 128-bit integer, to acc as one
// addition: V shifted by s = e mod 32 spans at most 159 signed bits, four
// unsigned 32-bit pieces and a signed top piece (the floor of the shifted
// value over 2^128, of magnitude at most 2^31), placed from chunk e / 32.
void addShiftedBucket(ExactAccumulator& acc, ExactBucket v, std::int64_t e) {
    if (acc.countdown == 0) carryPropagate(acc);
    const std::uint64_t lo = static_cast<std::uint64_t>(v), hi = static_cast<std::uint64_t>(v >> 64);
    const unsigned sh = static_cast<unsigned>(e & 31);
    // ">> 1 >> (63 - sh)" is ">> (64 - sh)" without the undefined shift by
    // 64 when sh is 0; the top piece shifts the signed high word.
    const std::uint64_t w0 = lo << sh;
    const std::uint64_t w1 = (hi << sh) | ((lo >> 1) >> (63 - sh));
    const std::int64_t top = (static_cast<std::int64_t>(hi) >> 1) >> (63 - sh);
    std::int64_t* c = acc.chunks + (e >> 5);
    c[0] += static_cast<std::int64_t>(w0 & kLow32);
    c[1] += static_cast<std::int64_t>(w0 >> 32);
    c[2] += static_cast<std::int64_t>(w1 & kLow32);
    c[3] += static_cast<std::int64_t>(w1 >> 32);
    c[4] += top;
    acc.countdown -= 1;
}

// Empties every touched bucket into acc: per exponent, the lanes' sum (it
// fits, see kBucketAdditions) as one addition. Leaves all buckets zero.
void foldBuckets(ExactAccumulator& acc, ExactBuckets& b) {
    std::uint64_t groups = b.touched;
    while (groups != 0) {
        const std::int64_t g = std::countr_zero(groups);
        groups &= groups - 1;
        for (std::int64_t e = 64 * g; e < 64 * g + 64; ++e) {
            ExactBucket* w = b.words + kExactLanes * e;
            ExactBucket v = 0, any = 0;
            for (int l = 0; l < kExactLanes; ++l) {
                v += w[l];
                any |= w[l];
            }
            if (any == 0) continue;
            for (int l = 0; l < kExactLanes; ++l) w[l] = 0;
            if (v != 0) addShiftedBucket(acc, v, e);
        }
    }
    b.touched = 0;
    b.countdown = b.additions;
}

}  // namespace

void exactRowProducts(ExactAccumulator* lanes, ExactBuckets& buckets, const double* row, const double* x,
                      const ExactFactor* xf, std::int64_t cols) {
    ExactBucket* const words = buckets.words;
    std::uint64_t touched = buckets.touched;
    std::int64_t j = 0;
    while (j < cols) {
        if (buckets.countdown == 0) {
            buckets.touched = touched;
            foldBuckets(lanes[0], buckets);
            touched = 0;
        }
        // Whole groups of kExactLanes products, as many as every lane has
        // room for; each product counts, whichever route it takes.
        const std::int64_t whole = (cols - j) / kExactLanes;
        const std::int64_t groups = whole < buckets.countdown ? whole : buckets.countdown;
        const std::int64_t end = j + groups * kExactLanes;
        // Per group, the four group bits are or-ed together first so that
        // the products do not wait on each other through touched.
        for (; j < end; j += kExactLanes) {
            std::uint64_t t[kExactLanes] = {};
#pragma GCC unroll 4
            for (int l = 0; l < kExactLanes; ++l)
                addBucketProduct(lanes[l], words, row, x, xf[j + l], j + l, t[l]);
            touched |= (t[0] | t[1]) | (t[2] | t[3]);
        }
        buckets.countdown -= groups;
        if (groups == whole && j < cols) {
            // The last cols % kExactLanes products, one per lane.
            if (buckets.countdown == 0) {
                buckets.touched = touched;
                foldBuckets(lanes[0], buckets);
                touched = 0;
            }
            for (int l = 0; j < cols; ++j, ++l) addBucketProduct(lanes[l], words, row, x, xf[j], j, touched);
            buckets.countdown -= 1;
        }
    }
    buckets.touched = touched;
    foldBuckets(lanes[0], buckets);
}

void exactSingleProduct(ExactAccumulator* lanes, ExactBuckets& buckets, const double* row, const double* x,
                        const ExactFactor* xf, std::int64_t j) {
    if (buckets.countdown == 0) foldBuckets(lanes[0], buckets);
    addBucketProduct(lanes[j % kExactLanes], buckets.words, row, x, xf[j], j, buckets.touched);
    buckets.countdown -= 1;
}

void exactFoldBuckets(ExactAccumulator& acc, ExactBuckets& buckets) { foldBuckets(acc, buckets); }

void exactAddShifted(ExactAccumulator& acc, ExactBucket v, std::int64_t e) { addShiftedBucket(acc, v, e); }

bool exactRoundsToNearest() {
    // 1 + 2^-53 is a tie (to even: 1), 1 + 3*2^-54 lies above the midpoint
    // (up, away from 1) and so does its negation (down): only rounding to
    // nearest gives all three. The operands are read at run time so that
    // the sums are not folded at compile time.
    volatile double one = 1.0, half = 0x1p-53, more = 0x1.8p-53;
    const double a = one + half, b = one + more, c = -one - more;
    return a == 1.0 && b == 1.0 + 0x1p-52 && c == -1.0 - 0x1p-52;
}

ExactSplit exactSplit(double* high, double* low, std::int64_t* exponent, const double* x, std::int64_t n) {
    std::int64_t top = 0;
    for (std::int64_t j = 0; j < n; ++j) {
        const std::uint64_t b = bitsOf(x[j]);
        const std::int64_t f = exponentField(b);
        high[j] = 0.0;
        low[j] = 0.0;
        if ((b << 1) == 0) {
            exponent[j] = kExactAnyExponent;
        } else if (f >= 1 && f <= 2045) {
            // Adding half a unit of the 26th bit and clearing the 27 bits
            // below it rounds the magnitude; a carry into the exponent field
            // gives the next power of two, still finite as f <= 2045.
            high[j] = fromBits((b + (std::uint64_t{1} << 26)) & ~((std::uint64_t{1} << 27) - 1));
            low[j] = x[j] - high[j];
            exponent[j] = f;
            if (f > top) top = f;
        } else {
            exponent[j] = -kExactAnyExponent;
        }
    }
    std::int64_t beyond = 0, least = kExactAnyExponent;
    for (std::int64_t j = 0; j < n; ++j) {
        beyond += exponent[j] < top - kExactWindow ? 1 : 0;
        least = exponent[j] < least ? exponent[j] : least;
    }
    return {high, low, exponent, top, beyond, least};
}

namespace {

// v as a 128-bit two's complement integer.
inline U128 wideSigned(std::int64_t v) {
    return v < 0 ? U128{0} - U128{std::uint64_t{0} - static_cast<std::uint64_t>(v)} : U128{static_cast<std::uint64_t>(v)};
}

}  // namespace

bool roundLevels(std::int64_t a3, std::int64_t a0, std::int64_t a1, std::int64_t a2, std::int64_t k2, double& out) {
    // The value hi * 2^102 + lo in units of 2^(k2 - 1075), both halves
    // 128-bit two's complement: |hi| < 2^102, |lo| < 2^108. The carry out
    // of lo (an arithmetic shift) leaves lo in 0 .. 2^102 - 1.
    constexpr U128 kLow102 = (U128{1} << 102) - 1;
    U128 hi = (wideSigned(a3) << 51) + wideSigned(a0);
    U128 lo = (wideSigned(a1) << 51) + wideSigned(a2);
    hi += (lo >> 102) | ((U128{0} - (lo >> 127)) << 26);
    lo &= kLow102;
    // A negative value becomes its magnitude: -(hi * 2^102 + lo) =
    // ~hi * 2^102 + (2^102 - lo), carried once more.
    const bool negative = (hi >> 127) != 0;
    if (negative) {
        hi = ~hi;
        lo = (kLow102 + 1) - lo;
        hi += lo >> 102;
        lo &= kLow102;
    }
    // t: the magnitude whole while it fits in 128 bits, else its top 127
    // bits with whether anything non-zero lies below them; base is the
    // weight of t's lowest bit.
    U128 t;
    std::int64_t base = 0;
    bool rest = false;
    if ((hi >> 26) == 0) {
        t = (hi << 102) | lo;
    } else {
        const std::int64_t s = 127 - leadingBit(hi) - 1;  // 24 .. 100: hi's top bit to bit 126
        base = 102 - s;
        t = (hi << s) | (lo >> base);
        rest = (lo & ((U128{1} << base) - 1)) != 0;
    }
    if (t == 0) {
        out = 0.0;
        return true;
    }
    const std::int64_t top = leadingBit(t);
    std::int64_t e = top + base + k2 - 1075;  // the leading bit weighs 2^e
    if (e < -1022 || e > 1022) return false;
    if (top <= 52) {
        out = assemble(negative, static_cast<std::uint64_t>(t) << (52 - top), e, false);  // exact
        return true;
    }
    const std::int64_t shift = top - 52;
    const std::uint64_t m = static_cast<std::uint64_t>(t >> shift);
    const U128 below = t & ((U128{1} << shift) - 1), half = U128{1} << (shift - 1);
    out = assemble(negative, m, e, below > half || (below == half && (rest || (m & 1) != 0)));
    return true;
}

}  // namespace kernels

}  // namespace corx_internal
