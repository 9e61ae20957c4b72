# SPDX-License-Identifier: BSD-3-Clause
"""Results against numpy, judged by LAPACK-style scaled residual ratios:
|residual| / (n * |A| * eps) must stay below THRESHOLD. Also: arrays of any
layout and dtype arrive intact, and results come back bit for bit."""
import doctest

import numpy as np
import pytest

import corx
from conftest import EPS

THRESHOLD = 30.0


def norm(x):
    return np.linalg.norm(x, 1)  # the 1-norm, vector or matrix


def ratio(residual, n, scale):
    return norm(residual) / (n * scale * EPS)


def well_conditioned(rng, n):
    return rng.standard_normal((n, n)) + n**0.5 * np.eye(n)


def test_products_and_element_wise_operations(rng):
    a, b = rng.standard_normal((50, 40)), rng.standard_normal((40, 30))
    c = corx.matmul(a, b)
    assert c.shape == (50, 30) and c.dtype == np.float64
    assert ratio(c - a @ b, 40, norm(a) * norm(b)) < THRESHOLD
    # The sums and differences are single roundings: numpy agrees exactly.
    d = rng.standard_normal((50, 40))
    np.testing.assert_array_equal(corx.add(a, d), a + d)
    np.testing.assert_array_equal(corx.subtract(a, d), a - d)
    np.testing.assert_array_equal(corx.scale(a, -0.375), a * -0.375)
    np.testing.assert_array_equal(corx.transpose(a), a.T)


def test_product_bits_follow_increasing_k(rng):
    a, b = rng.standard_normal((5, 7)), rng.standard_normal((7, 3))
    expected = np.zeros((5, 3))
    for i in range(5):
        for j in range(3):
            acc = 0.0
            for k in range(7):
                acc = acc + float(a[i, k]) * float(b[k, j])
            expected[i, j] = acc
    assert corx.matmul(a, b).tobytes() == expected.tobytes()


@pytest.mark.parametrize("refine", [True, False])
def test_solve(rng, refine):
    n = 60
    a, b = well_conditioned(rng, n), rng.standard_normal(n)
    x = corx.solve(a, b, refine=refine)
    assert ratio(b - a @ x, n, norm(a) * norm(x)) < THRESHOLD
    xn = np.linalg.solve(a, b)
    assert norm(x - xn) / (norm(xn) * np.linalg.cond(a, 1) * n * EPS) < THRESHOLD


def test_refinement_flag_reaches_the_library():
    a, b = [[3.0, 1.0], [1.0, 3.0]], [1.0, 2.0]
    assert corx.solve(a, b).tolist() == [0.125, 0.625]
    assert corx.solve(a, b, refine=False).tolist() == [0.12499999999999996, 0.6250000000000001]


def test_determinant(rng):
    n = 30
    a = well_conditioned(rng, n)
    d, dn = corx.det(a), np.linalg.det(a)
    assert abs(d - dn) / (abs(dn) * np.linalg.cond(a, 1) * n * EPS) < THRESHOLD
    assert corx.det([[0.0, 1.0], [1.0, 0.0]]) == -1.0
    assert corx.det([[1.0, 2.0], [1.0, 2.0]]) == 0.0


def test_cholesky(rng):
    n = 40
    m = rng.standard_normal((n, n))
    a = m @ m.T + n * np.eye(n)
    a = np.triu(a) + np.triu(a, 1).T  # exactly symmetric
    low = corx.cholesky(a)
    assert not np.triu(low, 1).any() and (np.diag(low) > 0).all()
    assert ratio(a - low @ low.T, n, norm(a)) < THRESHOLD
    ln = np.linalg.cholesky(a)
    assert norm(low - ln) / (norm(ln) * np.linalg.cond(a, 1) * n * EPS) < THRESHOLD


def test_qr(rng):
    m, n = 40, 25
    a = rng.standard_normal((m, n))
    q, r = corx.qr(a)
    assert q.shape == (m, m) and r.shape == (m, n)
    assert not np.tril(r, -1).any()
    assert ratio(a - q @ r, m, norm(a)) < THRESHOLD
    assert ratio(q.T @ q - np.eye(m), m, 1.0) < THRESHOLD
    # R is unique up to the signs of its rows.
    rn = np.linalg.qr(a, mode="complete")[1]
    assert norm(np.abs(r) - np.abs(rn)) / (m * norm(a) * np.linalg.cond(a) * EPS) < THRESHOLD


def test_svd(rng):
    m, n = 40, 15
    a = rng.standard_normal((m, n))
    u, s, v = corx.svd(a)
    assert u.shape == (m, n) and s.shape == (n,) and v.shape == (n, n)
    assert (np.diff(s) <= 0).all()
    assert ratio(a - u @ np.diag(s) @ v.T, m, norm(a)) < THRESHOLD
    assert ratio(v.T @ v - np.eye(n), n, 1.0) < THRESHOLD
    # The sweeps stop once every pair of columns is orthogonal within the
    # fixed tolerance 1e-12 (cosine of the angle), so U is orthonormal to
    # that tolerance rather than to rounding.
    assert np.abs(u.T @ u - np.eye(n)).max() < 1e-12 + THRESHOLD * m * EPS
    sn = np.linalg.svd(a, compute_uv=False)
    assert np.abs(s - sn).max() / (n * s[0] * EPS) < THRESHOLD


def test_sparse_matvec(rng):
    m, n = 45, 30
    a = rng.standard_normal((m, n)) * (rng.random((m, n)) < 0.2)
    a[3, :] = 0.0
    a[4, 5] = -0.0
    x = rng.standard_normal(n)
    with corx.SparseMatrix(a) as s:
        assert s.shape == (m, n)
        assert s.nnz == np.count_nonzero(a)
        y = s @ x
        assert ratio(y - a @ x, n, norm(a) * norm(x)) < THRESHOLD
        assert y[3] == 0.0
        back = s.to_dense()
    assert back.tobytes() == (a + 0.0).tobytes()  # -0.0 comes back as +0.0


def test_inputs_of_any_layout_and_dtype(rng):
    a = rng.standard_normal((6, 4))
    assert corx.transpose(a.T).tobytes() == a.tobytes()  # a strided view
    f = np.asfortranarray(a)
    assert corx.matmul(f, f.T).tobytes() == corx.matmul(a, np.ascontiguousarray(a.T)).tobytes()
    assert corx.solve([[2, 0], [0, 4]], (1, 1)).tolist() == [0.5, 0.25]  # int lists
    assert corx.det(np.array([[2, 1], [1, 2]], dtype=np.float32)) == 3.0
    nan = corx.add([[np.nan, np.inf]], [[1.0, -np.inf]])
    assert np.isnan(nan).all()


def test_vectors():
    np.testing.assert_array_equal(corx.vec_add([1, 2], [3, 5]), [4, 7])
    np.testing.assert_array_equal(corx.vec_sub([1, 2, 3, 4], [1, 1, 1, 1]), [0, 1, 2, 3])
    np.testing.assert_array_equal(corx.vec_scale([1, 2, 3], 2), [2, 4, 6])
    assert corx.vec_dot([1, 2, 3, 4], [2, 2, 2, 2]) == 20.0
    assert corx.vec_length([3, 4]) == 5.0
    np.testing.assert_array_equal(corx.vec_normalize([3, 4]), [0.6, 0.8])
    np.testing.assert_array_equal(corx.vec_normalize([0, 0, 0]), [0, 0, 0])
    assert corx.vec_almost_equal([1, 1], [1.25, 1], 0.5)
    assert not corx.vec_almost_equal([1, 1, 1], [1.5, 1, 1], 0.5)
    assert corx.cross2d([0, 1], [1, 0]) == -1.0
    np.testing.assert_array_equal(corx.cross([0, 1, 0], [1, 0, 0]), [0, 0, -1])
    p, pcw = corx.perp([1, 0]), corx.perp_cw([1, 0])
    assert p.tolist() == [0.0, 1.0] and np.signbit(p[0])  # (-0.0, 1)
    assert pcw.tolist() == [0.0, -1.0] and not np.signbit(pcw[0])


def test_numpy_conventions_for_shapes(rng):
    n, k = 5, 3
    a, b = well_conditioned(rng, n), rng.standard_normal((n, k))
    # Several right-hand sides: each column is the one-column solve, bit for bit.
    x = corx.solve(a, b)
    assert x.shape == (n, k)
    for j in range(k):
        assert x[:, j].tobytes() == corx.solve(a, b[:, j]).tobytes()
    # Stacks (..., n, n), with b shared or stacked and broadcast.
    stack = np.stack([a, a.T, 2 * a]).reshape(3, 1, n, n)
    xs = corx.solve(stack, b[:, 0])
    assert xs.shape == (3, 1, n)
    assert xs[1, 0].tobytes() == corx.solve(a.T, b[:, 0]).tobytes()
    xk = corx.solve(stack, np.stack([b, -b]))  # leading (3, 1) against (2,)
    assert xk.shape == (3, 2, n, k)
    assert xk[2, 1].tobytes() == corx.solve(2 * a, -b).tobytes()
    dets = corx.det(stack)
    assert dets.shape == (3, 1) and dets[2, 0] == corx.det(2 * a)
    spd = stack[:, 0] @ np.swapaxes(stack[:, 0], -1, -2)
    spd = (spd + np.swapaxes(spd, -1, -2)) / 2
    assert corx.cholesky(spd)[0].tobytes() == corx.cholesky(spd[0]).tobytes()
    tall = rng.standard_normal((2, 4, 3))
    q, r = corx.qr(tall)
    u, s, v = corx.svd(tall)
    assert q.shape == (2, 4, 4) and r.shape == (2, 4, 3)
    assert u.shape == (2, 4, 3) and s.shape == (2, 3) and v.shape == (2, 3, 3)
    assert s[1].tobytes() == corx.svd(tall[1])[1].tobytes()
    assert q[1].tobytes() == corx.qr(tall[1])[0].tobytes()


@pytest.mark.parametrize("threads", [1, 3])
def test_many_right_hand_sides_are_the_column_solves(rng, threads):
    # One factorisation for all columns; each column keeps the bits of its
    # own solve, refined or not, special values included, on any thread count.
    with corx.threads(threads):
        for n, k in ((1, 3), (7, 17), (64, 17)):
            a = well_conditioned(rng, n)
            b = rng.standard_normal((n, k))
            specials = np.array([np.nan, np.inf, -0.0, 5e-324, -np.inf, 1e300])[:b.size]
            b.flat[rng.choice(b.size, specials.size, replace=False)] = specials
            for refine in (False, True):
                x = corx.solve(a, b, refine=refine)
                for j in range(k):
                    assert x[:, j].tobytes() == corx.solve(a, b[:, j], refine=refine).tobytes(), (n, j, refine)


def test_inverse_is_the_refined_solve_against_each_unit_vector(rng):
    n = 9
    a = well_conditioned(rng, n)
    ai = corx.inv(a)
    for j in range(n):
        assert ai[:, j].tobytes() == corx.solve(a, np.eye(n)[:, j]).tobytes()
    np.testing.assert_allclose(ai @ a, np.eye(n), atol=50 * n * EPS)
    stack = corx.inv(np.stack([a, 2 * a]))
    assert stack[1].tobytes() == corx.inv(2 * a).tobytes()
    assert corx.inv(np.float32(a)).dtype == np.float32
    assert corx.inv(np.zeros((0, 0))).shape == (0, 0)
    with pytest.raises(np.linalg.LinAlgError):
        corx.inv([[1, 2], [2, 4]])
    with pytest.raises(np.linalg.LinAlgError):  # not square: numpy raises LinAlgError too
        corx.inv(np.ones((2, 3)))
    # The examples of the docstring hold.
    finder = doctest.DocTestFinder()
    runner = doctest.DocTestRunner()
    for test in finder.find(corx.inv, "inv", globs={}):
        runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


def test_empty_arrays_give_numpy_results_without_the_library(ledger):
    empty, e3 = np.zeros((0, 0)), np.zeros((3, 0))
    cases = [
        (corx.solve(empty, np.zeros(0)), np.linalg.solve(empty, np.zeros(0))),
        (corx.solve(empty, np.zeros((0, 2))), np.linalg.solve(empty, np.zeros((0, 2)))),
        (corx.det(empty), np.linalg.det(empty)),
        (corx.det(np.zeros((2, 0, 0))), np.linalg.det(np.zeros((2, 0, 0)))),
        (corx.cholesky(empty), np.linalg.cholesky(empty)),
        (corx.matmul(np.zeros((2, 0)), np.zeros((0, 3))), np.zeros((2, 0)) @ np.zeros((0, 3))),
        (corx.add(e3, e3), e3 + e3),
        (corx.transpose(e3), e3.T),
        (corx.solve(np.zeros((0, 2, 2)), np.zeros(2)), np.zeros((0, 2))),
    ]
    cases += list(zip(corx.qr(e3), np.linalg.qr(e3, mode="complete")))
    u, s, v = corx.svd(e3)
    un, sn, vhn = np.linalg.svd(e3, full_matrices=False)
    cases += [(u, un), (s, sn), (v, vhn.T)]
    for got, want in cases:
        got, want = np.asarray(got), np.asarray(want)
        assert got.shape == want.shape and got.dtype == np.float64
        np.testing.assert_array_equal(got, want)
    assert corx.almost_equal(e3, e3, 0.0) and not corx.almost_equal(e3, e3, -1.0)
    assert ledger.made == 0


SPD = np.array([[4, 2, 0], [2, 5, 1], [0, 1, 3]])
# (corx function, numpy's); numpy.linalg.svd returns v transposed, which
# does not change the types.
TYPED = [
    (corx.det, np.linalg.det), (corx.cholesky, np.linalg.cholesky), (corx.svd, np.linalg.svd),
    (lambda a: corx.qr(a), lambda a: np.linalg.qr(a, mode="complete")),
    (lambda a: corx.solve(a, np.ones(3, a.dtype)), 
     lambda a: np.linalg.solve(a, np.ones(a.shape[:-1], a.dtype))),  # numpy wants b stacked too
    (lambda a: corx.solve(a, a), lambda a: np.linalg.solve(a, a)),
]


@pytest.mark.parametrize("dtype", [np.bool_, np.int8, np.int64, np.uint16, np.float32, np.float64])
@pytest.mark.parametrize("stack", [False, True], ids=["matrix", "stack"])
@pytest.mark.parametrize("ours,numpys", TYPED)
def test_result_types_are_numpys(ours, numpys, stack, dtype):
    a = (np.eye(3) if dtype is np.bool_ else SPD).astype(dtype)
    if stack:
        a = np.stack([a, a])
    got, want = ours(a), numpys(a)
    got, want = (got, want) if isinstance(want, tuple) else ((got,), (want,))
    for g, w in zip(got, want):
        assert type(g) is type(w) and g.dtype == w.dtype and np.shape(g) == np.shape(w)


@pytest.mark.parametrize("call", [
    lambda a: corx.solve(a, a[:, 0]), corx.det, corx.cholesky, corx.qr, corx.svd, corx.transpose,
    lambda a: corx.matmul(a, a), lambda a: corx.add(a, a), lambda a: corx.scale(a, 1 / 3),
])
def test_single_precision_is_the_double_result_rounded_once(rng, call):
    m = rng.standard_normal((6, 6))
    a = (m @ m.T + 6 * np.eye(6)).astype(np.float32)
    got, want = call(a), call(a.astype(np.float64))
    got, want = (got, want) if isinstance(got, tuple) else ((got,), (want,))
    for g, w in zip(got, want):
        assert g.dtype == np.float32
        assert g.tobytes() == np.asarray(w).astype(np.float32).tobytes()
