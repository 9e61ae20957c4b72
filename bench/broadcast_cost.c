/* SPDX-License-Identifier: BSD-3-Clause */
/* What a scalar broadcast costs beside the product tile's arithmetic: a
 * step of 24 vector multiplies and 24 adds (AVX-512, registers only), then
 * the same step with eight register broadcasts from memory added
 * (vbroadcastsd zmm, as the register form of the tile fills one per row),
 * with eight full vector loads added instead, and with every multiply
 * reading its scalar as a broadcast memory operand ({1to8}, the operand
 * form). Nanoseconds per step, the best of several passes.
 *
 *   corx_broadcast_cost
 *
 * Needs an AVX-512 processor; elsewhere it says so and exits. */
#include <stdio.h>
#include <time.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static double buf[64] __attribute__((aligned(64)));

#define MA(x) "vmulpd %%zmm24, %%zmm25, %%zmm28\n vaddpd %%zmm28, %%zmm" #x ", %%zmm" #x "\n"
#define MO(x) "vmulpd (%0)%{1to8%}, %%zmm25, %%zmm28\n vaddpd %%zmm28, %%zmm" #x ", %%zmm" #x "\n"
#define STEP(M)                                                                                          \
    M(0) M(1) M(2) M(3) M(4) M(5) M(6) M(7) M(8) M(9) M(10) M(11) M(12) M(13) M(14) M(15) M(16) M(17) \
        M(18) M(19) M(20) M(21) M(22) M(23)
#define BROADCAST "vbroadcastsd (%0), %%zmm24\n"
#define LOAD "vmovupd (%0), %%zmm26\n"
#define EIGHT(X) X X X X X X X X
#define CLOBBERS                                                                                       \
    "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", \
        "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20",      \
        "xmm21", "xmm22", "xmm23", "xmm24", "xmm26", "xmm28"

#define TIME(name, body)                                                                \
    do {                                                                                \
        double best = 1e9;                                                              \
        for (int pass = 0; pass < 7; ++pass) {                                          \
            const double t0 = now();                                                    \
            for (long i = 0; i < steps; ++i) __asm__ volatile(body : : "r"(buf) : CLOBBERS); \
            const double t = (now() - t0) / (double)steps * 1e9;                        \
            if (t < best) best = t;                                                     \
        }                                                                               \
        printf("%-44s %6.2f ns a step\n", name, best);                                  \
    } while (0)

__attribute__((target("avx512f"))) static void run(void) {
    const long steps = 5000000;
    for (int i = 0; i < 64; ++i) buf[i] = 1.0;
    TIME("24 multiplies and 24 adds", STEP(MA));
    TIME("  + 8 register broadcasts from memory", EIGHT(BROADCAST) STEP(MA));
    TIME("  + 8 vector loads", EIGHT(LOAD) STEP(MA));
    TIME("the multiplies reading broadcast operands", STEP(MO));
}

int main(void) {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx512f")) {
        printf("needs an AVX-512 processor\n");
        return 0;
    }
    run();
    return 0;
}
