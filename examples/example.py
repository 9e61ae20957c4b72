# SPDX-License-Identifier: BSD-3-Clause
"""corx from Python: numpy arrays in, numpy arrays out, corx.Error on failure.

Run from the repository: PYTHONPATH=python /usr/bin/python3 examples/example.py
"""
import numpy as np

import corx

print("corx", corx.version())

a = np.array([[4.0, 2.0, 0.0],
              [2.0, 5.0, 1.0],
              [0.0, 1.0, 3.0]])
b = np.array([2.0, 1.0, 3.0])

x = corx.solve(a, b)  # LU, one refinement step on an exact residual
print("solve a @ x = b: x =", x.tolist())
print("det(a) =", corx.det(a))
print("a @ a.T:\n", corx.matmul(a, corx.transpose(a)))

low = corx.cholesky(a)
print("cholesky(a):\n", low)
print("L @ L.T == a within 1e-15:", corx.almost_equal(corx.matmul(low, low.T), a, 1e-15))

q, r = corx.qr(a)  # reduced, as numpy's; mode="complete" for the m x m q
print("|Q R - a| =", np.abs(q @ r - a).max())
u, s, vh = corx.svd(a)  # as numpy.linalg.svd: vh is V transposed
print("singular values:", s.tolist())
print("|U diag(s) Vh - a| =", np.abs(u @ np.diag(s) @ vh - a).max())

with corx.SparseMatrix(a) as sp:  # the handle is released at the end of the block
    print(f"sparse ({sp.nnz} stored): a @ x =", (sp @ x).tolist())

print("cross(x, y) =", corx.cross([1, 0, 0], [0, 1, 0]).tolist())

for bad in (lambda: corx.solve([[1, 2], [2, 4]], [1, 1]),
            lambda: corx.cholesky([[1, 2], [2, 1]])):
    try:
        bad()
        raise SystemExit("expected a failure")
    except corx.Error as e:
        print(f"caught: {e} (status {e.code})")
