#include "kernels/jacobi.h"

#include <cstring>

// The vector helpers below are always inlined into functions compiled for
// their instruction set; no vector crosses a call boundary.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace corx_internal {

namespace {

template <int L>
struct Lanes;
template <>
struct Lanes<2> {
    typedef double V __attribute__((vector_size(16)));
    typedef long long M __attribute__((vector_size(16)));
};
template <>
struct Lanes<4> {
    typedef double V __attribute__((vector_size(32)));
    typedef long long M __attribute__((vector_size(32)));
};
template <>
struct Lanes<8> {
    typedef double V __attribute__((vector_size(64)));
    typedef long long M __attribute__((vector_size(64)));
};

template <class T>
[[gnu::always_inline]] inline T load(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
[[gnu::always_inline]] inline void store(void* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// Lane order reversed: the q columns of a run of pairs descend while the p
// columns ascend.
template <int L>
[[gnu::always_inline]] inline typename Lanes<L>::V reversed(typename Lanes<L>::V x) {
    using M = typename Lanes<L>::M;
    if constexpr (L == 2) return __builtin_shuffle(x, M{1, 0});
    else if constexpr (L == 4) return __builtin_shuffle(x, M{3, 2, 1, 0});
    else return __builtin_shuffle(x, M{7, 6, 5, 4, 3, 2, 1, 0});
}

// {prev[L-1], cur[0], ..., cur[L-2]}: the q columns of the next
// anti-diagonal are those of this one moved up by one lane.
template <int L>
[[gnu::always_inline]] inline typename Lanes<L>::V shiftedIn(typename Lanes<L>::V prev, typename Lanes<L>::V cur) {
    using M = typename Lanes<L>::M;
    if constexpr (L == 2) return __builtin_shuffle(prev, cur, M{1, 2});
    else if constexpr (L == 4) return __builtin_shuffle(prev, cur, M{3, 4, 5, 6});
    else return __builtin_shuffle(prev, cur, M{7, 8, 9, 10, 11, 12, 13, 14});
}

// NV vectors of L lanes starting at lane i0 of the pass (absolute p column
// P = p0 + i0). With Rotate clear no lane of the run rotates. Reload is set
// for a run whose last lanes lie beyond the pass: their p columns may then
// be q columns of lanes of this run, so the q columns are read again after
// the p columns are stored and only the rotated lanes take new values.
template <int L, int NV, bool Rotate, bool Reload>
[[gnu::always_inline]] inline void runPass(double* w, std::int64_t ld, std::int64_t m, std::int64_t d,
                                           std::int64_t P, const double* c, const double* s,
                                           const std::int64_t* rotate, double* alpha, double* beta,
                                           double* gamma) {
    using V = typename Lanes<L>::V;
    using M = typename Lanes<L>::M;
    V cv[NV], sv[NV];
    M rv[NV];
    if constexpr (Rotate) {
        for (int k = 0; k < NV; ++k) {
            cv[k] = load<V>(c + k * L);
            sv[k] = load<V>(s + k * L);
            rv[k] = load<M>(rotate + k * L) != 0;
        }
    }
    V a[NV], b[NV], g[NV];
    for (int k = 0; k < NV; ++k) a[k] = b[k] = g[k] = V{};
    for (std::int64_t r = 0; r < m; ++r) {
        double* row = w + r * ld;
        V prevQ = {};
        // Only its last lane, column d+1-P, is used.
        if constexpr (Rotate) prevQ = load<V>(row + (d + 1 - P - (L - 1)));
        for (int k = 0; k < NV; ++k) {
            double* pp = row + P + k * L;
            V wp = load<V>(pp);
            V wq;
            if constexpr (Rotate) {
                double* qq = row + (d - P - k * L - (L - 1));
                V oq = reversed<L>(load<V>(qq));
                const V pc = wp * cv[k], qs = oq * sv[k];
                const V ps = wp * sv[k], qc = oq * cv[k];
                V np = pc - qs, nq = ps + qc;
                np = rv[k] ? np : wp;
                store(pp, np);
                if constexpr (Reload) oq = reversed<L>(load<V>(qq));
                nq = rv[k] ? nq : oq;
                store(qq, reversed<L>(nq));
                wp = np;
                wq = shiftedIn<L>(prevQ, nq);
                prevQ = nq;
            } else {
                wq = reversed<L>(load<V>(row + (d + 1 - P - k * L - (L - 1))));
            }
            const V pp2 = wp * wp, qq2 = wq * wq, pq = wp * wq;
            a[k] = a[k] + pp2;
            b[k] = b[k] + qq2;
            g[k] = g[k] + pq;
        }
    }
    for (int k = 0; k < NV; ++k) {
        store(alpha + k * L, a[k]);
        store(beta + k * L, b[k]);
        store(gamma + k * L, g[k]);
    }
}

[[gnu::always_inline]] inline bool anyFlag(const std::int64_t* flags, int n) {
    std::int64_t any = 0;
    for (int i = 0; i < n; ++i) any |= flags[i];
    return any != 0;
}

// A run with no rotation and no sums wanted is skipped.
template <int L, int NV, bool Reload>
[[gnu::always_inline]] inline void run(double* w, std::int64_t ld, std::int64_t m, std::int64_t d, std::int64_t p0,
                                       std::int64_t i, const double* c, const double* s,
                                       const std::int64_t* rotate, const std::int64_t* want, double* alpha,
                                       double* beta, double* gamma) {
    if (anyFlag(rotate + i, NV * L))
        runPass<L, NV, true, Reload>(w, ld, m, d, p0 + i, c + i, s + i, rotate + i, alpha + i, beta + i, gamma + i);
    else if (anyFlag(want + i, NV * L))
        runPass<L, NV, false, Reload>(w, ld, m, d, p0 + i, c + i, s + i, rotate + i, alpha + i, beta + i,
                                      gamma + i);
}

// Runs of NV vectors, then single vectors, then the last partial vector.
// The first run starts up to L-1 lanes before p0, so that every run's p
// columns start on a multiple of L (a line boundary when row 0 column 0
// is on one and ld is a multiple of 8). Each run passes over all rows
// before the next begins, so a run reads the q column shifted in from
// the lane before it after that lane's rotation is complete.
template <int L, int NV>
[[gnu::always_inline]] inline void diagonalPassT(double* w, std::int64_t ld, std::int64_t m, std::int64_t d,
                                                 std::int64_t p0, std::int64_t count, const double* c,
                                                 const double* s, const std::int64_t* rotate,
                                                 const std::int64_t* want, double* alpha, double* beta,
                                                 double* gamma) {
    std::int64_t i = -(p0 % L);
    const std::int64_t full = i + (count - i) / L * L;
    for (; i + NV * L <= full; i += NV * L)
        run<L, NV, false>(w, ld, m, d, p0, i, c, s, rotate, want, alpha, beta, gamma);
    for (; i + L <= full; i += L) run<L, 1, false>(w, ld, m, d, p0, i, c, s, rotate, want, alpha, beta, gamma);
    if (i < count) run<L, 1, true>(w, ld, m, d, p0, i, c, s, rotate, want, alpha, beta, gamma);
}

template <int L>
[[gnu::always_inline]] inline void rotateRowPairsT(double* x, std::int64_t ld, std::int64_t width,
                                                   const JacobiRotation* rotations, std::int64_t count) {
    using V = typename Lanes<L>::V;
    for (std::int64_t e = 0; e < count; ++e) {
        const JacobiRotation& rot = rotations[e];
        double* xp = x + rot.p * ld;
        double* xq = x + rot.q * ld;
        const double c = rot.c, s = rot.s;  // splat into the vector products
        std::int64_t j = 0;
        for (; j + L <= width; j += L) {
            const V wp = load<V>(xp + j), wq = load<V>(xq + j);
            const V pc = wp * c, qs = wq * s;
            const V ps = wp * s, qc = wq * c;
            store(xp + j, pc - qs);
            store(xq + j, ps + qc);
        }
        for (; j < width; ++j) {
            const double wp = xp[j], wq = xq[j];
            const double pc = wp * c, qs = wq * s;
            const double ps = wp * s, qc = wq * c;
            xp[j] = pc - qs;
            xq[j] = ps + qc;
        }
    }
}

#define CORX_JACOBI_KERNELS(SUFFIX, TARGET, L, NV)                                                                  \
    TARGET void diagonalPass##SUFFIX(double* w, std::int64_t ld, std::int64_t m, std::int64_t d, std::int64_t p0, \
                                     std::int64_t count, const double* c, const double* s,                        \
                                     const std::int64_t* rotate, const std::int64_t* want, double* alpha,         \
                                     double* beta, double* gamma) {                                               \
        diagonalPassT<L, NV>(w, ld, m, d, p0, count, c, s, rotate, want, alpha, beta, gamma);                     \
    }                                                                                                             \
    TARGET void rotateRowPairs##SUFFIX(double* x, std::int64_t ld, std::int64_t width,                            \
                                       const JacobiRotation* rotations, std::int64_t count) {                     \
        rotateRowPairsT<L>(x, ld, width, rotations, count);                                                       \
    }

CORX_JACOBI_KERNELS(Baseline, , 2, 2)
CORX_JACOBI_KERNELS(Avx2, __attribute__((target("avx2"))), 4, 2)
CORX_JACOBI_KERNELS(Avx512, __attribute__((target("avx512f"))), 8, 2)

#undef CORX_JACOBI_KERNELS

}  // namespace

JacobiKernels jacobiKernels(Isa isa) {
    switch (isa) {
        case Isa::Avx512: return {diagonalPassAvx512, rotateRowPairsAvx512};
        case Isa::Avx2: return {diagonalPassAvx2, rotateRowPairsAvx2};
        default: return {diagonalPassBaseline, rotateRowPairsBaseline};
    }
}

}  // namespace corx_internal
