#include "kernels/reflect_panel.h"

#include <cstring>

// The vector helpers below are always inlined into functions compiled for
// their instruction set; no vector crosses a call boundary.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace corx_internal {

namespace {

typedef double V2 __attribute__((vector_size(16)));
typedef double V4 __attribute__((vector_size(32)));
typedef double V8 __attribute__((vector_size(64)));

template <class T>
[[gnu::always_inline]] inline T load(const double* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
[[gnu::always_inline]] inline void store(double* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// NV vectors (or scalars) T of L columns each, starting at column 0 of x.
template <class T, int L, int NV>
[[gnu::always_inline]] inline void panelBlock(double* x, std::int64_t ld, std::int64_t rows,
                                              const PanelReflection* h, std::int64_t count) {
    T dot[NV], f[NV];
    {
        const std::int64_t k = h[0].k;
        const double* v = h[0].v;
        for (int i = 0; i < NV; ++i) dot[i] = load<T>(x + k * ld + i * L) * v[0];
        for (std::int64_t t = k + 1; t < rows; ++t) {
            const double vt = v[t - k];
            for (int i = 0; i < NV; ++i) dot[i] = dot[i] + load<T>(x + t * ld + i * L) * vt;
        }
    }
    for (std::int64_t j = 0; j < count; ++j) {
        const std::int64_t k = h[j].k;
        const double* v = h[j].v;
        for (int i = 0; i < NV; ++i) f[i] = (dot[i] + dot[i]) / h[j].vv;
        // Rows before the next reflection's first row: the update alone.
        const std::int64_t k2 = j + 1 < count ? h[j + 1].k : rows;
        for (std::int64_t t = k; t < k2; ++t) {
            const double vt = v[t - k];
            for (int i = 0; i < NV; ++i) {
                double* p = x + t * ld + i * L;
                store(p, load<T>(p) - vt * f[i]);
            }
        }
        if (k2 >= rows) continue;
        // Its first row: the update, then the first product.
        const double* v2 = h[j + 1].v;
        {
            const double vt = v[k2 - k];
            for (int i = 0; i < NV; ++i) {
                double* p = x + k2 * ld + i * L;
                const T y = load<T>(p) - vt * f[i];
                store(p, y);
                dot[i] = y * v2[0];
            }
        }
        for (std::int64_t t = k2 + 1; t < rows; ++t) {
            const double vt = v[t - k], ut = v2[t - k2];
            for (int i = 0; i < NV; ++i) {
                double* p = x + t * ld + i * L;
                const T y = load<T>(p) - vt * f[i];
                store(p, y);
                dot[i] = dot[i] + y * ut;
            }
        }
    }
}

// Blocks of NV vectors, then single vectors, then single columns.
template <class V, int L, int NV>
[[gnu::always_inline]] inline void panelAll(double* x, std::int64_t ld, std::int64_t rows, std::int64_t w,
                                            const PanelReflection* h, std::int64_t count) {
    std::int64_t c = 0;
    for (; c + NV * L <= w; c += NV * L) panelBlock<V, L, NV>(x + c, ld, rows, h, count);
    for (; c + L <= w; c += L) panelBlock<V, L, 1>(x + c, ld, rows, h, count);
    for (; c < w; ++c) panelBlock<double, 1, 1>(x + c, ld, rows, h, count);
}

void panelBaseline(double* x, std::int64_t ld, std::int64_t rows, std::int64_t w, const PanelReflection* h,
                   std::int64_t count) {
    panelAll<V2, 2, 4>(x, ld, rows, w, h, count);
}

__attribute__((target("avx2"))) void panelAvx2(double* x, std::int64_t ld, std::int64_t rows, std::int64_t w,
                                               const PanelReflection* h, std::int64_t count) {
    panelAll<V4, 4, 4>(x, ld, rows, w, h, count);
}

__attribute__((target("avx512f"))) void panelAvx512(double* x, std::int64_t ld, std::int64_t rows, std::int64_t w,
                                                    const PanelReflection* h, std::int64_t count) {
    panelAll<V8, 8, 4>(x, ld, rows, w, h, count);
}

}  // namespace

void reflectPanel(Isa isa, double* x, std::int64_t ld, std::int64_t rows, std::int64_t w,
                  const PanelReflection* h, std::int64_t count) {
    if (w <= 0 || count <= 0) return;
    switch (isa) {
        case Isa::Avx512: panelAvx512(x, ld, rows, w, h, count); break;
        case Isa::Avx2: panelAvx2(x, ld, rows, w, h, count); break;
        default: panelBaseline(x, ld, rows, w, h, count); break;
    }
}

}  // namespace corx_internal
