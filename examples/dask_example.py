# SPDX-License-Identifier: BSD-3-Clause
"""corx on a Dask cluster: a product and a Cholesky solve computed by tiles
on two worker processes, with the bits of the single call.

Run from the repository:
    PYTHONPATH=python CORX_LIBRARY=build/libcorx.so /usr/bin/python3 examples/dask_example.py
The workers inherit PYTHONPATH and CORX_LIBRARY, so they load the same
package and library.
"""
import numpy as np
import dask.array as da
from distributed import Client, LocalCluster

import corx
import corx.dask


def main():
    rng = np.random.default_rng(7)
    n = 400
    a = rng.standard_normal((n, n))
    b = rng.standard_normal((n, n))
    spd = a @ a.T / n + np.eye(n)
    spd = np.tril(spd) + np.tril(spd, -1).T
    rhs = rng.standard_normal((n, 3))

    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster):
        # Any chunks: the tiles of the inner dimension are chained in order.
        product = corx.dask.matmul(da.from_array(a, chunks=(128, 96)), da.from_array(b, chunks=(70, 150)))
        x = corx.dask.solve_spd(da.from_array(spd, chunks=100), da.from_array(rhs, chunks=(100, 3)))
        product, x = product.compute(), x.compute()

    same_product = product.tobytes() == corx.matmul(a, b).tobytes()
    same_solution = x.tobytes() == corx.solve_spd(spd, rhs).tobytes()
    print("product on the cluster equals corx.matmul bit for bit:", same_product)
    print("Cholesky solve on the cluster equals corx.solve_spd bit for bit:", same_solution)
    print("largest residual |spd @ x - rhs|:", float(np.abs(spd @ x - rhs).max()))
    if not (same_product and same_solution):
        raise SystemExit(1)


if __name__ == "__main__":
    main()
