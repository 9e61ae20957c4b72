/* SPDX-License-Identifier: BSD-3-Clause */
/* A host program that is not linked against the library: it loads the
 * shared library with dlopen, the way interpreters and plugin hosts do, and
 * runs one scenario chosen on the command line. The lifecycle and
 * out-of-memory tests run it in child processes and judge how it ends.
 *
 *   dlopen_host LIB cycles N        load (with corx_init) and unload N times;
 *                                   prints the heap in use before and after
 *   dlopen_host LIB unload-kill SIG load, corx_init, unload, kill(self, SIG)
 *   dlopen_host LIB init-raise SIG  load, corx_init, raise SIG, print
 *                                   "survived" if the process is still alive
 *   dlopen_host LIB singular        an LU solve of a singular matrix
 *   dlopen_host LIB notspd          a refused Cholesky factorisation
 *
 * The last two call corx_test_arm_allocation_failures() just before the
 * call when the failing-allocation shim is preloaded (see failing_malloc.c),
 * and print the call's result if it returns. Exit status 2: a load failed. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <malloc.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef void* Matrix;

static void* load(const char* path) {
    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        exit(2);
    }
    return lib;
}

static void* symbol(void* lib, const char* name) {
    void* f = dlsym(lib, name);
    if (f == NULL) {
        fprintf(stderr, "dlsym %s: %s\n", name, dlerror());
        exit(2);
    }
    return f;
}

static void callInit(void* lib) {
    int32_t (*init)(void) = (int32_t(*)(void))symbol(lib, "corx_init");
    if (init() != 1) exit(2);
}

static size_t heapInUse(void) {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

static void armAllocationFailures(void) {
    void (*arm)(void) = (void (*)(void))dlsym(RTLD_DEFAULT, "corx_test_arm_allocation_failures");
    if (arm != NULL) arm();
}

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const char* path = argv[1];
    const char* mode = argv[2];
    if (strcmp(mode, "cycles") == 0 && argc == 4) {
        const long cycles = atol(argv[3]);
        /* One cycle first, so that what the loader keeps for good after a
         * first load is not counted. */
        void* lib = load(path);
        callInit(lib);
        dlclose(lib);
        const size_t before = heapInUse();
        for (long k = 0; k < cycles; ++k) {
            lib = load(path);
            callInit(lib);
            dlclose(lib);
        }
        printf("%zu %zu\n", before, heapInUse());
        return 0;
    }
    if ((strcmp(mode, "unload-kill") == 0 || strcmp(mode, "init-raise") == 0) && argc == 4) {
        const int sig = atoi(argv[3]);
        void* lib = load(path);
        callInit(lib);
        if (strcmp(mode, "unload-kill") == 0) {
            dlclose(lib);
            kill(getpid(), sig);
        } else {
            raise(sig);
        }
        printf("survived\n");
        return 0;
    }
    if (strcmp(mode, "singular") == 0 || strcmp(mode, "notspd") == 0) {
        void* lib = load(path);
        Matrix (*fromBuffer)(int32_t, int32_t, const double*, int64_t) =
            (Matrix(*)(int32_t, int32_t, const double*, int64_t))symbol(lib, "corx_matrix_create_from_buffer");
        int32_t (*luSolve)(Matrix, const double*, int64_t, double*, int64_t, _Bool) =
            (int32_t(*)(Matrix, const double*, int64_t, double*, int64_t, _Bool))symbol(lib, "corx_matrix_lu_solve");
        Matrix (*cholesky)(Matrix) = (Matrix(*)(Matrix))symbol(lib, "corx_matrix_cholesky");
        /* Singular (second row twice the first) and, as a Cholesky operand,
         * symmetric but not positive definite (the second pivot is 0). */
        const double a[9] = {1, 2, 3, 2, 4, 6, 3, 6, 10};
        const double b[3] = {1, 2, 3};
        double x[3];
        Matrix m = fromBuffer(3, 3, a, 9);
        if (m == NULL) return 2;
        armAllocationFailures();
        if (strcmp(mode, "singular") == 0)
            printf("%d\n", luSolve(m, b, 3, x, 3, 1));
        else
            printf("%s\n", cholesky(m) == NULL ? "refused" : "factored");
        return 0;
    }
    return 2;
}
