/* SPDX-License-Identifier: BSD-3-Clause */
/* A tour of the corx C interface: every family, with printed results. */
#include <corx/corx.h>

#include <stdio.h>

static void printMatrix(const char* name, CorxMatrix m) {
    int32_t rows = corx_matrix_rows(m), cols = corx_matrix_cols(m);
    printf("%s (%d x %d):\n", name, rows, cols);
    for (int32_t i = 0; i < rows; ++i) {
        printf("  [");
        for (int32_t j = 0; j < cols; ++j) printf(" %.17g", corx_matrix_get(m, i, j));
        printf(" ]\n");
    }
}

static void demoDense(void) {
    const double a_data[] = {1, 2, 3, 4};
    const double b_data[] = {5, 6, 7, 8};
    CorxMatrix a = corx_matrix_create_from_buffer(2, 2, a_data, 4);
    CorxMatrix b = corx_matrix_create_from_buffer(2, 2, b_data, 4);
    CorxMatrix sum = corx_matrix_add(a, b);
    CorxMatrix diff = corx_matrix_sub(a, b);
    CorxMatrix prod = corx_matrix_mul(a, b);
    CorxMatrix scaled = corx_matrix_scale(a, 0.5);
    CorxMatrix at = corx_matrix_transpose(a);
    printMatrix("a", a);
    printMatrix("b", b);
    printMatrix("a + b", sum);
    printMatrix("a - b", diff);
    printMatrix("a * b", prod);
    printMatrix("a * 0.5", scaled);
    printMatrix("transpose(a)", at);
    printf("almost_equal(a, a, 0) = %d\n", corx_matrix_almost_equal(a, a, 0.0));
    printf("almost_equal(a, b, 3.9) = %d, (a, b, 4) = %d\n", corx_matrix_almost_equal(a, b, 3.9),
           corx_matrix_almost_equal(a, b, 4.0));

    CorxMatrix c = corx_matrix_create(3, 3);
    CorxMatrix bad = corx_matrix_mul(a, c);
    printf("mul of 2x2 by 3x3 gives %s\n", bad == NULL ? "NULL (shape mismatch)" : "a handle?!");
    corx_matrix_destroy(bad);
    corx_matrix_destroy(c);

    double out[4];
    int32_t n = corx_matrix_get_buffer(prod, out, 3);
    printf("get_buffer into 3 slots: %d (%s)\n", n, corx_get_error_string(-n));
    n = corx_matrix_get_buffer(prod, out, 4);
    printf("get_buffer into 4 slots: %d -> %g %g %g %g\n", n, out[0], out[1], out[2], out[3]);

    corx_matrix_destroy(a);
    corx_matrix_destroy(b);
    corx_matrix_destroy(sum);
    corx_matrix_destroy(diff);
    corx_matrix_destroy(prod);
    corx_matrix_destroy(scaled);
    corx_matrix_destroy(at);
}

static void demoSparse(void) {
    const double data[] = {0, 2, 0, 3, 0, 0, 0, 0, -0.0};
    CorxMatrix dense = corx_matrix_create_from_buffer(3, 3, data, 9);
    CorxSparse s = corx_sparse_from_dense(dense);
    printf("sparse nnz = %d\n", corx_sparse_nnz(s));
    const double x[] = {1, 1, 1};
    double y[3];
    int32_t n = corx_sparse_matvec(s, x, 3, y, 3);
    printf("sparse * (1,1,1) -> %d values: %g %g %g\n", n, y[0], y[1], y[2]);
    CorxMatrix back = corx_sparse_to_dense(s);
    printMatrix("to_dense(sparse)", back);
    corx_matrix_destroy(back);
    corx_sparse_destroy(s);
    corx_matrix_destroy(dense);
}

static void demoVectors(void) {
    CorxVec3 i = {1, 0, 0}, j = {0, 1, 0};
    CorxVec3 k = corx_vec3_cross(i, j);
    printf("cross((1,0,0), (0,1,0)) = (%g, %g, %g)\n", k.x, k.y, k.z);
    CorxVec2 v = {3, 4};
    CorxVec2 u = corx_vec2_normalize(v);
    printf("length(3,4) = %g, normalize = (%.17g, %.17g)\n", corx_vec2_length(v), u.x, u.y);
    CorxVec2 p = corx_vec2_perp(v);
    printf("perp(3,4) = (%g, %g), cross2d((3,4),(1,0)) = %g\n", p.x, p.y,
           corx_vec2_cross2d(v, (CorxVec2){1, 0}));
    CorxVec4 w = {1, 2, 3, 4};
    printf("dot4((1,2,3,4),(1,2,3,4)) = %g\n", corx_vec4_dot(w, w));
}

static void demoSolvers(void) {
    /* A system whose exact solution is (1/8, 5/8): plain LU misses it in the
     * last bits, one refinement step on the exact residual recovers it. */
    const double a_data[] = {3, 1, 1, 3};
    const double b[] = {1, 2};
    double x[2];
    CorxMatrix a = corx_matrix_create_from_buffer(2, 2, a_data, 4);
    int32_t n = corx_matrix_lu_solve(a, b, 2, x, 2, false);
    printf("lu_solve without refinement -> %d: %.17g %.17g\n", n, x[0], x[1]);
    n = corx_matrix_lu_solve(a, b, 2, x, 2, true);
    printf("lu_solve with refinement    -> %d: %.17g %.17g\n", n, x[0], x[1]);

    const double singular_data[] = {1, 2, 1, 2};
    CorxMatrix singular = corx_matrix_create_from_buffer(2, 2, singular_data, 4);
    n = corx_matrix_lu_solve(singular, b, 2, x, 2, true);
    printf("lu_solve of a singular matrix -> %d (%s)\n", n, corx_get_error_string(-n));

    int32_t ok = 0;
    double d = corx_matrix_determinant(a, &ok);
    printf("det(a) = %.17g (ok %d); det(singular) = %g\n", d, ok, corx_matrix_determinant(singular, NULL));

    const double spd_data[] = {4, 2, 2, 5};
    CorxMatrix spd = corx_matrix_create_from_buffer(2, 2, spd_data, 4);
    CorxMatrix l = corx_matrix_cholesky(spd);
    printMatrix("cholesky([[4, 2], [2, 5]])", l);
    const double indefinite_data[] = {1, 2, 2, 1};
    CorxMatrix indefinite = corx_matrix_create_from_buffer(2, 2, indefinite_data, 4);
    CorxMatrix none = corx_matrix_cholesky(indefinite);
    printf("cholesky of [[1, 2], [2, 1]] (not positive definite): %s\n", none == NULL ? "NULL" : "a handle?!");
    corx_matrix_destroy(none);
    corx_matrix_destroy(indefinite);

    const double qr_data[] = {3, 1, 4, 2};
    CorxMatrix qr_in = corx_matrix_create_from_buffer(2, 2, qr_data, 4);
    CorxMatrix q = NULL, r = NULL;
    if (corx_matrix_qr(qr_in, &q, &r) == CORX_SUCCESS) {
        printMatrix("Q of [[3, 1], [4, 2]]", q);
        printMatrix("R", r);
    }

    const double svd_data[] = {3, 0, 4, 5};
    CorxMatrix svd_in = corx_matrix_create_from_buffer(2, 2, svd_data, 4);
    CorxMatrix u = NULL, v = NULL;
    double s[2];
    if (corx_matrix_svd(svd_in, &u, s, 2, &v) == CORX_SUCCESS) {
        printf("singular values of [[3, 0], [4, 5]]: %.17g %.17g\n", s[0], s[1]);
        printMatrix("U", u);
        printMatrix("V", v);
    }
    CorxStatus status = corx_matrix_svd(svd_in, &u, s, 1, &v);
    printf("svd with room for one value: status %d (%s)\n", status, corx_get_error_string(status));

    corx_matrix_destroy(u);
    corx_matrix_destroy(v);
    corx_matrix_destroy(svd_in);
    corx_matrix_destroy(q);
    corx_matrix_destroy(r);
    corx_matrix_destroy(qr_in);
    corx_matrix_destroy(l);
    corx_matrix_destroy(spd);
    corx_matrix_destroy(singular);
    corx_matrix_destroy(a);
}

static void demoLimbs(void) {
    uint64_t q = 0, r = 0;
    corvane_udiv128(1, 5, 3, &q, &r); /* (2^64 + 5) / 3 */
    printf("udiv128(hi=1, lo=5, 3) = q %llu, r %llu; clz64(1) = %d, clz64(0) = %d\n",
           (unsigned long long)q, (unsigned long long)r, corvane_clz64(1), corvane_clz64(0));
}

int main(void) {
    printf("corx %s, init -> %d\n", corx_version(), corx_init());
    for (int32_t code = 0; code <= 6; ++code) printf("status %d: %s\n", code, corx_get_error_string(code));
    demoDense();
    demoSolvers();
    demoSparse();
    demoVectors();
    demoLimbs();
    corx_cleanup();
    return 0;
}
