/* SPDX-License-Identifier: BSD-3-Clause */
/* corx alone on 1 and on T threads, and the share of its one-thread time that
 * stays on the calling thread, for the scaling model of docs/threads.md.
 *
 *   corx_thread_scaling [T] [--quick]
 *
 * Each case is timed as the fastest of several calls, first on one thread,
 * then on T (default 2), with nothing else calling in between: no peer
 * library's threads are left spinning on the other cores. The serial share
 * is measured on one thread through an executor of width T that runs the
 * tasks one after the other on the calling thread and times itself: the
 * time outside its calls is the work no thread count can split, and the
 * number of its calls is the number of hand-overs a run on T threads makes.
 * A Amdahl prediction s + (1 - s)/T is printed beside the measured speed-up. */
#include <corx/corx.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static double inside;
static long handovers;

static void timedSerial(void* data, int64_t count, CorxTask task, void* taskData) {
    (void)data;
    const double t0 = now();
    for (int64_t i = 0; i < count; ++i) task(taskData, i);
    inside += now() - t0;
    ++handovers;
}

static CorxMatrix randomMatrix(int n, unsigned seed, int spd) {
    double* d = malloc(sizeof(double) * (size_t)n * (size_t)n);
    srand(seed);
    for (size_t i = 0; i < (size_t)n * (size_t)n; ++i) d[i] = rand() / (double)RAND_MAX - 0.5;
    if (spd) {
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < i; ++j) d[(size_t)j * n + i] = d[(size_t)i * n + j];
        for (int i = 0; i < n; ++i) d[(size_t)i * n + i] += n;
    }
    CorxMatrix h = corx_matrix_create_from_buffer(n, n, d, (int64_t)n * n);
    free(d);
    return h;
}

enum Case { PRODUCT, LU, CHOLESKY, QR, SVD };

static void runCase(enum Case c, CorxMatrix a, CorxMatrix b, int n, const double* rhs, double* x) {
    switch (c) {
        case PRODUCT: corx_matrix_destroy(corx_matrix_mul(a, b)); break;
        case LU: corx_matrix_lu_solve(a, rhs, n, x, n, false); break;
        case CHOLESKY: corx_matrix_destroy(corx_matrix_cholesky(a)); break;
        case QR: {
            CorxMatrix q = NULL, r = NULL;
            corx_matrix_qr(a, &q, &r);
            corx_matrix_destroy(q);
            corx_matrix_destroy(r);
            break;
        }
        case SVD: {
            CorxMatrix u = NULL, v = NULL;
            corx_matrix_svd(a, &u, x, n, &v);
            corx_matrix_destroy(u);
            corx_matrix_destroy(v);
            break;
        }
    }
}

static double fastest(enum Case c, CorxMatrix a, CorxMatrix b, int n, const double* rhs, double* x, int reps) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const double t0 = now();
        runCase(c, a, b, n, rhs, x);
        const double t = now() - t0;
        if (t < best) best = t;
    }
    return best;
}

int main(int argc, char** argv) {
    int threads = 2, quick = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quick") == 0) quick = 1;
        else threads = atoi(argv[i]);
    }
    if (threads < 2) threads = 2;
    static const struct {
        enum Case c;
        const char* name;
        int n, nQuick, reps;
    } cases[] = {
        {PRODUCT, "product", 2048, 512, 5}, {LU, "LU solve", 2000, 500, 9}, {CHOLESKY, "Cholesky", 2000, 500, 9},
        {QR, "QR with Q", 2000, 300, 5},    {SVD, "SVD", 400, 100, 5},      {SVD, "SVD", 1000, 150, 3},
    };
    printf("%-10s %6s %12s %12s %9s %8s %10s %11s\n", "case", "n", "1 thread", "threads", "speed-up", "serial",
           "predicted", "hand-overs");
    for (size_t k = 0; k < sizeof cases / sizeof cases[0]; ++k) {
        const int n = quick ? cases[k].nQuick : cases[k].n, reps = quick ? 1 : cases[k].reps;
        CorxMatrix a = randomMatrix(n, 1, cases[k].c == CHOLESKY), b = randomMatrix(n, 2, 0);
        double* rhs = malloc(sizeof(double) * (size_t)n);
        double* x = malloc(sizeof(double) * (size_t)n);
        for (int i = 0; i < n; ++i) rhs[i] = i;

        corx_set_threads(1);
        const double t1 = fastest(cases[k].c, a, b, n, rhs, x, reps);
        corx_set_threads(threads);
        const double tt = fastest(cases[k].c, a, b, n, rhs, x, reps);
        corx_set_threads(1);

        corx_set_executor(timedSerial, NULL, threads);
        double best = 1e300, bestInside = 0.0;
        long bestHandovers = 0;
        for (int r = 0; r < reps; ++r) {
            inside = 0.0;
            handovers = 0;
            const double t0 = now();
            runCase(cases[k].c, a, b, n, rhs, x);
            const double t = now() - t0;
            if (t < best) {
                best = t;
                bestInside = inside;
                bestHandovers = handovers;
            }
        }
        corx_set_executor(NULL, NULL, 0);
        const double serial = 1.0 - bestInside / best;
        printf("%-10s %6d %10.4f s %10.4f s %8.2fx %7.3f %9.2fx %11ld\n", cases[k].name, n, t1, tt, t1 / tt, serial,
               1.0 / (serial + (1.0 - serial) / threads), bestHandovers);
        fflush(stdout);
        free(rhs);
        free(x);
        corx_matrix_destroy(a);
        corx_matrix_destroy(b);
    }
    return 0;
}
