#include "kernels/vector_ops.h"

namespace corx_internal {

namespace {

[[gnu::always_inline]] inline void subtractScaledLoop(double* __restrict s, const double* __restrict x, double a,
                                                      std::int64_t len) {
    for (std::int64_t i = 0; i < len; ++i) {
        const double product = a * x[i];
        s[i] = s[i] - product;
    }
}

void subtractScaledBaseline(double* s, const double* x, double a, std::int64_t len) {
    subtractScaledLoop(s, x, a, len);
}

__attribute__((target("avx2"))) void subtractScaledAvx2(double* s, const double* x, double a, std::int64_t len) {
    subtractScaledLoop(s, x, a, len);
}

__attribute__((target("avx512f"))) void subtractScaledAvx512(double* s, const double* x, double a,
                                                             std::int64_t len) {
    subtractScaledLoop(s, x, a, len);
}

}  // namespace

void subtractScaled(Isa isa, double* s, const double* x, double a, std::int64_t len) {
    switch (isa) {
        case Isa::Avx512: subtractScaledAvx512(s, x, a, len); break;
        case Isa::Avx2: subtractScaledAvx2(s, x, a, len); break;
        default: subtractScaledBaseline(s, x, a, len); break;
    }
}

}  // namespace corx_internal
