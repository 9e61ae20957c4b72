/* SPDX-License-Identifier: BSD-3-Clause */
/* An outside program built against an installed corx. */
#include <corx/corx.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    const double data[4] = {1, 2, 3, 4};
    CorxMatrix m = corx_matrix_create_from_buffer(2, 2, data, 4);
    CorxMatrix p = corx_matrix_mul(m, m);
    double out[4];
    int32_t n = corx_matrix_get_buffer(p, out, 4);
    corx_matrix_destroy(p);
    corx_matrix_destroy(m);
    if (strcmp(corx_version(), "1.0.0") != 0 || n != 4 || out[0] != 7 || out[3] != 22) {
        printf("consumer: unexpected results\n");
        return 1;
    }
    printf("consumer: corx %s, [[1,2],[3,4]]^2 = [[%g,%g],[%g,%g]]\n", corx_version(), out[0], out[1], out[2],
           out[3]);
    return 0;
}
