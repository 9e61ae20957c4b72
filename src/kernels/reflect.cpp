#include "kernels/reflect.h"

namespace corx_internal {

namespace {

// W columns starting at x; the loops over c have a constant bound and
// vectorise across columns under the caller's target.
template <int W>
[[gnu::always_inline]] inline void reflectBlock(double* x, std::int64_t ld, std::int64_t len, const double* v,
                                                double vv) {
    double dot[W], f[W];
    for (int c = 0; c < W; ++c) dot[c] = x[c] * v[0];
    for (std::int64_t t = 1; t < len; ++t) {
        const double* row = x + t * ld;
        const double vt = v[t];
        for (int c = 0; c < W; ++c) dot[c] = dot[c] + row[c] * vt;
    }
    for (int c = 0; c < W; ++c) f[c] = (dot[c] + dot[c]) / vv;
    for (std::int64_t t = 0; t < len; ++t) {
        double* row = x + t * ld;
        const double vt = v[t];
        for (int c = 0; c < W; ++c) row[c] = row[c] - vt * f[c];
    }
}

// The last w < W columns, one at a time.
[[gnu::always_inline]] inline void reflectNarrow(double* x, std::int64_t ld, std::int64_t len, std::int64_t w,
                                                 const double* v, double vv) {
    for (std::int64_t c = 0; c < w; ++c) {
        double dot = x[c] * v[0];
        for (std::int64_t t = 1; t < len; ++t) dot = dot + x[t * ld + c] * v[t];
        const double f = (dot + dot) / vv;
        for (std::int64_t t = 0; t < len; ++t) x[t * ld + c] = x[t * ld + c] - v[t] * f;
    }
}

template <int W>
[[gnu::always_inline]] inline void reflectAll(double* x, std::int64_t ld, std::int64_t len, std::int64_t w,
                                              const double* v, double vv) {
    std::int64_t c = 0;
    for (; c + W <= w; c += W) reflectBlock<W>(x + c, ld, len, v, vv);
    if (c + W / 2 <= w) {
        reflectBlock<W / 2>(x + c, ld, len, v, vv);
        c += W / 2;
    }
    reflectNarrow(x + c, ld, len, w - c, v, vv);
}

void reflectBaseline(double* x, std::int64_t ld, std::int64_t len, std::int64_t w, const double* v, double vv) {
    reflectAll<8>(x, ld, len, w, v, vv);
}

__attribute__((target("avx2"))) void reflectAvx2(double* x, std::int64_t ld, std::int64_t len, std::int64_t w,
                                                  const double* v, double vv) {
    reflectAll<16>(x, ld, len, w, v, vv);
}

__attribute__((target("avx512f"))) void reflectAvx512(double* x, std::int64_t ld, std::int64_t len,
                                                      std::int64_t w, const double* v, double vv) {
    reflectAll<32>(x, ld, len, w, v, vv);
}

}  // namespace

void reflectColumns(Isa isa, double* x, std::int64_t ld, std::int64_t len, std::int64_t w, const double* v,
                    double vv) {
    if (len <= 0 || w <= 0) return;
    switch (isa) {
        case Isa::Avx512: reflectAvx512(x, ld, len, w, v, vv); break;
        case Isa::Avx2: reflectAvx2(x, ld, len, w, v, vv); break;
        default: reflectBaseline(x, ld, len, w, v, vv); break;
    }
}

}  // namespace corx_internal
