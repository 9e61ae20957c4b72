/* SPDX-License-Identifier: BSD-3-Clause */
/* Compiles the public header as strict C99 and calls through it. */
#include <corx/corx.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

/* A host's parallel-for written in C: every task on the calling thread,
 * last first. */
static void reverse_executor(void* host_data, int64_t count, CorxTask task, void* task_data) {
    int64_t i;
    ++*(int*)host_data;
    for (i = count; i-- > 0;) task(task_data, i);
}

#define CHECK(cond)                                                     \
    do {                                                                \
        if (!(cond)) {                                                  \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                 \
        }                                                               \
    } while (0)

int main(void) {
    CHECK(corx_init() == 1);
    CHECK(strcmp(corx_version(), "1.0.0") == 0);
    CHECK(strcmp(corx_get_error_string(CORX_BUFFER_TOO_SMALL), "Output buffer too small") == 0);

    const double data[6] = {1, 2, 3, 4, 5, 6};
    CorxMatrix m = corx_matrix_create_from_buffer(2, 3, data, 6);
    CHECK(m != NULL);
    CHECK(corx_matrix_rows(m) == 2 && corx_matrix_cols(m) == 3);
    CorxMatrix t = corx_matrix_transpose(m);
    CorxMatrix p = corx_matrix_mul(m, t); /* [[14, 32], [32, 77]] */
    double out[4] = {0, 0, 0, 0};
    CHECK(corx_matrix_get_buffer(p, out, 4) == 4);
    CHECK(out[0] == 14 && out[1] == 32 && out[2] == 32 && out[3] == 77);

    /* Two right-hand sides, row-major: column j of x solves column j of b. */
    const double diag[4] = {2, 0, 0, 4};
    CorxMatrix d = corx_matrix_create_from_buffer(2, 2, diag, 4);
    const double rhs[4] = {2, 4, 8, 12};
    double sol[5] = {0, 0, 0, 0, -7};
    CHECK(corx_matrix_lu_solve_many(d, rhs, 4, 2, sol, 4, true) == 2);
    CHECK(sol[0] == 1 && sol[1] == 2 && sol[2] == 2 && sol[3] == 3 && sol[4] == -7);
    CHECK(corx_matrix_lu_solve_many(d, rhs, 4, 0, sol, 4, false) == -2);
    corx_matrix_destroy(d);

    /* A stack of two 2x2 systems, one right-hand side each. */
    const double stack[8] = {2, 0, 0, 4, 1, 0, 0, 2};
    int64_t singular = -1;
    CHECK(corx_lu_solve_stack(2, 2, stack, 8, rhs, 4, 1, sol, 4, true, &singular) == 2);
    CHECK(sol[0] == 1 && sol[1] == 1 && sol[2] == 8 && sol[3] == 6 && singular == -1);

    CorxSparse s = corx_sparse_from_dense(m);
    CHECK(corx_sparse_nnz(s) == 6);
    double y[2];
    const double x[3] = {1, 1, 1};
    CHECK(corx_sparse_matvec(s, x, 3, y, 2) == 2 && y[0] == 6 && y[1] == 15);

    CorxVec3 c = corx_vec3_cross((CorxVec3){1, 0, 0}, (CorxVec3){0, 1, 0});
    CHECK(c.x == 0 && c.y == 0 && c.z == 1);
    bool close = corx_vec2_almost_equal((CorxVec2){1, 1}, (CorxVec2){1, 1}, 1e-12);
    CHECK(close);
    CHECK(corvane_clz64(1) == 63);

    CHECK(corx_set_threads(2) == 2 && corx_get_threads() == 2);
    CHECK(corx_set_threads(-1) == -1 && corx_get_threads() == 2);
    int executor_calls = 0;
    CHECK(corx_set_executor(reverse_executor, &executor_calls, 0) == -1);
    CHECK(corx_set_executor(reverse_executor, &executor_calls, 3) == 0);
    CorxMatrix p2 = corx_matrix_mul(m, t);
    CHECK(corx_matrix_get_buffer(p2, out, 4) == 4);
    CHECK(out[0] == 14 && out[1] == 32 && out[2] == 32 && out[3] == 77);
    CHECK(corx_set_executor(NULL, NULL, 0) == 0);
    CHECK(corx_set_threads(1) == 1);
    corx_matrix_destroy(p2);

    corx_sparse_destroy(s);
    corx_matrix_destroy(p);
    corx_matrix_destroy(t);
    corx_matrix_destroy(m);
    corx_cleanup();
    if (failures == 0) printf("c header test: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
