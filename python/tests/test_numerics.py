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
    q, r = corx.qr(a, mode="complete")
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
    u, s, vh = corx.svd(a, full_matrices=False)
    v = vh.T
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


@pytest.mark.parametrize("kind", ["csr_matrix", "csc_matrix", "coo_matrix", "csr_array", "arrays"])
def test_sparse_from_real_data_is_the_matrix_of_its_entries(rng, kind):
    # scipy's formats (duplicates, unsorted rows, explicit zeros included)
    # and raw CSR arrays give the matrix that the dense array of the same
    # entries gives: the same stored entries and the same product bits.
    sparse = pytest.importorskip("scipy.sparse")
    m, n, k = 40, 25, 3
    rows, cols = rng.integers(0, m, 300), rng.integers(0, n, 300)
    vals = rng.standard_normal(300)
    vals[::17] = 0.0  # explicit zeros, dropped
    vals[::29] = -0.0
    coo = sparse.coo_matrix((vals, (rows, cols)), shape=(m, n))  # duplicates summed by scipy
    dense = coo.toarray()
    if kind == "arrays":
        csr = coo.tocsr()
        csr.sum_duplicates()
        s = corx.SparseMatrix((csr.data, csr.indices, csr.indptr), shape=(m, n))
    else:
        s = corx.SparseMatrix(getattr(sparse, kind)(coo))
    x, xs = rng.standard_normal(n), rng.standard_normal((n, k))
    with s, corx.SparseMatrix(dense) as want:
        assert s.shape == (m, n) and s.nnz == want.nnz == np.count_nonzero(dense)
        assert s.toarray().tobytes() == (dense + 0.0).tobytes()
        assert (s @ x).tobytes() == (want @ x).tobytes()
        many = s @ xs
        assert many.shape == (m, k)
        for j in range(k):
            assert many[:, j].tobytes() == (want @ xs[:, j]).tobytes()
        np.testing.assert_allclose(many, coo @ xs, rtol=1e-12, atol=1e-12)
        assert (s @ np.float32(xs)).dtype == (coo @ np.float32(xs)).dtype == np.float64
        t = s.T
        assert t.shape == (n, m) and t.toarray().tobytes() == np.ascontiguousarray(s.toarray().T).tobytes()
        with corx.SparseMatrix(np.ascontiguousarray(dense.T)) as wt:
            y = rng.standard_normal(m)
            assert (t @ y).tobytes() == (wt @ y).tobytes()
        with pytest.raises(corx.ArgumentError):
            s @ np.ones((n + 1, 2))


def test_sparse_larger_than_any_dense_array():
    # Built from CSR arrays, a matrix may have more elements than a dense
    # array the library holds: products and copies work without one.
    import copy
    n = 65536
    idx = np.arange(n)
    s = corx.SparseMatrix.from_csr(np.arange(n + 1), idx[::-1], idx + 1.0, (n, n))
    x = np.arange(n) * 0.5
    np.testing.assert_array_equal(s @ x, (idx + 1.0) * x[::-1])
    assert (copy.deepcopy(s) @ x).tobytes() == (s @ x).tobytes()
    assert (s.T @ x).tobytes() == (s @ x[::-1])[::-1].tobytes()
    with pytest.raises(MemoryError):
        s.toarray()


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
    # A stack of the same length on both sides goes to the library in one
    # call, whose systems are shared among its threads: the same bits.
    many = np.stack([a, a.T, 2 * a, -a] * 5)
    rhs = rng.standard_normal((20, n, 2))
    for threads in (1, 2):
        with corx.threads(threads):
            whole = corx.solve(many, rhs)
        assert all(whole[i].tobytes() == corx.solve(many[i], rhs[i]).tobytes() for i in range(20))
    many[13] = 0.0
    with pytest.raises(corx.LinAlgError, match="matrix 13 of the stack"):
        corx.solve(many, rhs)
    dets = corx.det(stack)
    assert dets.shape == (3, 1) and dets[2, 0] == corx.det(2 * a)
    spd = stack[:, 0] @ np.swapaxes(stack[:, 0], -1, -2)
    spd = (spd + np.swapaxes(spd, -1, -2)) / 2
    assert corx.cholesky(spd)[0].tobytes() == corx.cholesky(spd[0]).tobytes()
    tall = rng.standard_normal((2, 4, 3))
    q, r = corx.qr(tall, mode="complete")
    u, s, vh = corx.svd(tall, full_matrices=False)
    assert q.shape == (2, 4, 4) and r.shape == (2, 4, 3)
    assert u.shape == (2, 4, 3) and s.shape == (2, 3) and vh.shape == (2, 3, 3)
    assert s[1].tobytes() == corx.svd(tall[1])[1].tobytes()
    assert q[1].tobytes() == corx.qr(tall[1], mode="complete")[0].tobytes()


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


def test_inverse_is_the_solve_against_each_unit_vector(rng):
    n = 9
    a = well_conditioned(rng, n)
    ai = corx.inv(a)
    for refine in (False, True):
        got = corx.inv(a, refine=refine)
        for j in range(n):
            assert got[:, j].tobytes() == corx.solve(a, np.eye(n)[:, j], refine=refine).tobytes()
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
    for e in (e3, e3.T, empty, np.zeros((2, 3, 0))):
        for mode in ("reduced", "complete"):
            cases += list(zip(corx.qr(e, mode=mode), np.linalg.qr(e, mode=mode)))
        cases.append((corx.qr(e, mode="r"), np.linalg.qr(e, mode="r")))
        for full in (True, False):
            cases += list(zip(corx.svd(e, full_matrices=full), np.linalg.svd(e, full_matrices=full)))
        cases.append((corx.svd(e, compute_uv=False), np.linalg.svd(e, compute_uv=False)))
    for got, want in cases:
        got, want = np.asarray(got), np.asarray(want)
        assert got.shape == want.shape and got.dtype == np.float64
        np.testing.assert_array_equal(got, want)
    assert corx.almost_equal(e3, e3, 0.0) and not corx.almost_equal(e3, e3, -1.0)
    assert ledger.made == 0


SPD = np.array([[4, 2, 0], [2, 5, 1], [0, 1, 3]])
# (corx function, numpy's)
TYPED = [
    (corx.det, np.linalg.det), (corx.cholesky, np.linalg.cholesky), (corx.svd, np.linalg.svd),
    (lambda a: corx.qr(a), lambda a: np.linalg.qr(a, mode="complete")),
    (corx.qr, np.linalg.qr), (corx.slogdet, np.linalg.slogdet),
    (lambda a: corx.svd(a, compute_uv=False), lambda a: np.linalg.svd(a, compute_uv=False)),
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


def bits(x):
    return np.ascontiguousarray(x).view(np.uint64)


@pytest.mark.parametrize("m,n", [(9, 4), (5, 5), (4, 9), (1, 3), (3, 1)])
def test_svd_forms_are_the_library_s_bits(rng, m, n):
    a = rng.standard_normal((m, n))
    k = min(m, n)
    u, s, vh = corx.svd(a)
    ut, st, vht = corx.svd(a, full_matrices=False)
    assert u.shape == (m, m) and s.shape == (k,) and vh.shape == (n, n)
    assert ut.shape == (m, k) and vht.shape == (k, n)
    assert bits(s).tobytes() == bits(st).tobytes() == bits(corx.svd(a, compute_uv=False)).tobytes()
    # The thin factors lead the full ones unchanged.
    assert np.array_equal(bits(u[:, :k]), bits(ut)) and np.array_equal(bits(vh[:k]), bits(vht))
    if m < n:  # decomposed as the transpose, the factors swapped
        ua, sa, vha = corx.svd(a.T, full_matrices=False)
        assert np.array_equal(bits(ut), bits(vha.T)) and np.array_equal(bits(vht), bits(ua.T))
        assert bits(sa).tobytes() == bits(s).tobytes()
    # The completion: the trailing columns of the library's complete Q of the thin factor.
    thin, full = (ut, u) if m >= n else (vht.T, vh.T)
    p = thin.shape[0]
    assert np.array_equal(bits(full[:, k:]), bits(corx.qr(thin, mode="complete")[0][:, k:]))
    # Orthonormal: the completion to rounding, the library's columns to the
    # Jacobi tolerance.
    if p > k:
        assert np.abs(full[:, k:].T @ full - np.eye(p)[k:]).max() < THRESHOLD * p * EPS
    assert np.abs(full.T @ full - np.eye(p)).max() < 1e-12 + THRESHOLD * p * EPS
    assert ratio(a - (u[:, :k] * s) @ vh[:k], max(m, n), norm(a)) < THRESHOLD
    sn = np.linalg.svd(a, compute_uv=False)
    assert np.abs(s - sn).max() / (k * s[0] * EPS) < THRESHOLD


def test_svd_of_stacks_and_single_precision(rng):
    wide = rng.standard_normal((2, 3, 5))
    u, s, vh = corx.svd(wide)
    assert u.shape == (2, 3, 3) and s.shape == (2, 3) and vh.shape == (2, 5, 5)
    for i in range(2):
        for got, want in zip((u[i], s[i], vh[i]), corx.svd(wide[i])):
            assert np.array_equal(bits(got), bits(want))
    assert corx.svd(wide, compute_uv=False).shape == (2, 3)
    single = corx.svd(wide[0].astype(np.float32))
    assert all(x.dtype == np.float32 for x in single)
    assert single[2].tobytes() == corx.svd(wide[0].astype(np.float32).astype(np.float64))[2].astype(np.float32).tobytes()


@pytest.mark.parametrize("m,n", [(7, 4), (4, 4), (3, 6), (1, 4)])
def test_qr_modes_are_slices_of_the_complete_factorisation(rng, m, n):
    a = rng.standard_normal((m, n))
    k = min(m, n)
    qc, rc = corx.qr(a, mode="complete")
    q, r = corx.qr(a)
    assert qc.shape == (m, m) and rc.shape == (m, n) and q.shape == (m, k) and r.shape == (k, n)
    assert np.array_equal(bits(q), bits(qc[:, :k])) and np.array_equal(bits(r), bits(rc[:k]))
    assert np.array_equal(bits(corx.qr(a, mode="r")), bits(r))
    assert not np.tril(rc, -1).any()
    assert ratio(a - q @ r, m, norm(a)) < THRESHOLD
    assert ratio(qc.T @ qc - np.eye(m), m, 1.0) < THRESHOLD
    if m < n:  # the leading square block's factorisation, then q.T @ the rest
        q1, r1 = corx.qr(a[:, :m], mode="complete")
        assert np.array_equal(bits(qc), bits(q1)) and np.array_equal(bits(rc[:, :m]), bits(r1))
        assert np.array_equal(bits(rc[:, m:]), bits(corx.matmul(q1.T, a[:, m:])))
    rn = np.linalg.qr(a, mode="r")
    assert norm(np.abs(r) - np.abs(rn)) / (m * norm(a) * np.linalg.cond(a) * EPS) < THRESHOLD


def test_qr_stacks_and_modes():
    wide = np.arange(24.0).reshape(2, 3, 4) ** 1.5
    q, r = corx.qr(wide)
    assert q.shape == (2, 3, 3) and r.shape == (2, 3, 4)
    assert np.array_equal(bits(r[1]), bits(corx.qr(wide[1], mode="r")))
    assert corx.qr(np.swapaxes(wide, -1, -2), mode="r").shape == (2, 3, 3)
    with pytest.raises(ValueError, match="Unrecognized mode 'raw'"):
        corx.qr(wide, mode="raw")


def test_cholesky_reads_one_triangle(rng):
    n = 6
    m = rng.standard_normal((n, n))
    spd = m @ m.T + n * np.eye(n)
    lower = np.tril(spd) + np.tril(spd, -1).T  # exactly symmetric from the lower triangle
    upper = np.triu(spd) + np.triu(spd, 1).T
    low = corx.cholesky(lower, check_symmetric=True)
    up = corx.cholesky(upper, upper=True, check_symmetric=True)
    assert np.array_equal(bits(up.T), bits(corx.cholesky(upper, check_symmetric=True)))
    garbage_above = np.tril(lower) + np.triu(np.full((n, n), np.nan), 1)
    garbage_below = np.triu(upper) + np.tril(np.full((n, n), -7.0), -1)
    assert np.array_equal(bits(corx.cholesky(garbage_above)), bits(low))
    assert np.array_equal(bits(corx.cholesky(garbage_below, upper=True)), bits(up))
    # The array as given: the library's own symmetry check.
    with pytest.raises(corx.LinAlgError):
        corx.cholesky(garbage_above, check_symmetric=True)
    with pytest.raises(corx.LinAlgError):  # the lower triangle of an indefinite matrix
        corx.cholesky(np.tril([[1.0, 0.0], [2.0, 1.0]]))
    stack = np.stack([garbage_above, np.tril(2 * lower)])
    got = corx.cholesky(stack)
    assert np.array_equal(bits(got[0]), bits(low))
    assert np.array_equal(bits(got[1]), bits(corx.cholesky(2 * lower)))
    # numpy also reads the lower triangle only.
    np.testing.assert_allclose(low, np.linalg.cholesky(garbage_above), rtol=0, atol=THRESHOLD * n * EPS * norm(low))


def test_slogdet_is_the_logarithm_of_the_library_s_determinant(rng):
    n = 12
    a = well_conditioned(rng, n)
    stack = np.stack([a, -a[::-1], np.zeros((n, n))])
    sign, logabs = corx.slogdet(stack)
    dets = corx.det(stack)
    assert sign.tolist() == np.sign(dets).tolist() and sign[2] == 0.0 and logabs[2] == -np.inf
    assert bits(logabs[:2]).tobytes() == bits(np.log(np.abs(dets[:2]))).tobytes()
    sn, ln = np.linalg.slogdet(stack[:2])
    assert sign[:2].tolist() == sn.tolist()
    assert np.abs(logabs[:2] - ln).max() < THRESHOLD * n * np.linalg.cond(a, 1) * EPS
    s1, l1 = corx.slogdet(a)
    assert type(s1) is np.float64 and l1 == logabs[0]
    # The documented limitation: a determinant past the double range overflows.
    assert corx.slogdet(1e200 * np.eye(2)) == (1.0, np.inf)
    s32, l32 = corx.slogdet(a.astype(np.float32))
    assert type(l32) is np.float32
    assert l32 == np.float32(corx.slogdet(a.astype(np.float32).astype(np.float64))[1])


@pytest.mark.parametrize("m,n,k", [(20, 6, None), (20, 6, 3), (5, 5, 2)])
def test_lstsq_through_the_library_s_qr(rng, m, n, k):
    a = rng.standard_normal((m, n))
    b = rng.standard_normal(m if k is None else (m, k))
    x, residuals, rank, s = corx.lstsq(a, b)
    q, r = corx.qr(a)
    bs = b[:, None] if k is None else b
    want = corx.solve(r, corx.matmul(q.T, bs))
    assert np.array_equal(bits(x), bits(want[:, 0] if k is None else want))
    assert rank == n and np.array_equal(bits(s), bits(corx.svd(a, compute_uv=False)))
    xn, rn, rankn, sn = np.linalg.lstsq(a, b, rcond=None)
    assert x.shape == xn.shape and residuals.shape == rn.shape and rank == rankn
    scale = np.linalg.cond(a) * norm(b) / s[-1]
    assert norm(x - xn) / (m * scale * EPS) < THRESHOLD
    if m > n:
        e = b - a @ x
        np.testing.assert_allclose(residuals, np.sum(e * e, axis=0), rtol=1e-13)
        np.testing.assert_allclose(residuals, rn, rtol=1e-10)
    with pytest.raises(corx.LinAlgError, match="rank 1 of 2"):
        corx.lstsq(np.ones((4, 2)), np.ones(4))


@pytest.mark.parametrize("name", ["cholesky", "qr", "svd", "slogdet", "lstsq", "SparseMatrix"])
def test_docstring_examples_hold(name):
    finder, runner = doctest.DocTestFinder(), doctest.DocTestRunner()
    tests = finder.find(getattr(corx, name), name, globs={})
    assert sum(len(t.examples) for t in tests) >= 2
    for test in tests:
        runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


def test_every_example_of_the_package_holds():
    # Every docstring example of the module (the rendered reference shows
    # them), on whichever path, compiled or ctypes, this run uses.
    result = doctest.testmod(corx, optionflags=doctest.ELLIPSIS)
    assert result.attempted >= 100 and result.failed == 0


def test_compiled_path_gives_the_ctypes_path_s_bits(rng, monkeypatch):
    # The extension broadcasts stacks, converts dtypes and layouts and loops
    # in C; every result must be what the ctypes path (one library call per
    # matrix) gives, bit for bit, and its dtype.
    if corx._ext is None:
        pytest.skip("the package runs without its extension here")
    a = well_conditioned(rng, 5)
    stack = np.stack([a, 2 * a, a.T]).reshape(3, 1, 5, 5)
    spd = stack[:, 0] @ np.swapaxes(stack[:, 0], -1, -2)
    spd[1] = (spd[1] + spd[1].T) / 2  # exactly symmetric, for the library's own check
    tall = rng.standard_normal((2, 3, 6, 4))  # stacks of QR and SVD, completed and transposed
    wide = np.swapaxes(tall, -1, -2)[:, :1]

    def joined(fn):  # the factors of one call as one array
        def call(*args):
            out = fn(*args)
            return np.concatenate([f.ravel() for f in (out if isinstance(out, tuple) else (out,))])
        call.__name__ = fn.__name__
        return call

    cases = [
        (corx.solve, (a, rng.standard_normal(5))),
        (corx.solve, (a, rng.standard_normal((5, 3)), False)),
        (corx.solve, (stack, rng.standard_normal(5))),  # one vector for every matrix
        (corx.solve, (stack, rng.standard_normal((2, 5, 4)))),  # (3,1) with (2,) -> (3,2)
        (corx.solve, (stack[:, 0], rng.standard_normal((1, 5, 2)))),
        (corx.solve, (np.asfortranarray(a), rng.standard_normal(5)[::-1])),
        (corx.solve, (np.float32(a), np.float32(rng.standard_normal((5, 2))))),
        (corx.solve, (np.float32(a), rng.standard_normal(5))),  # mixed: float64
        (corx.solve, ([[2, 1], [1, 3]], [1, 2])),  # integers, lists
        (corx.det, (stack,)), (corx.det, (np.float32(a),)), (corx.det, (a[::-1, ::2][:, :2][:2],)),
        (corx.det, (np.ones((3, 3), dtype=bool),)),
        (corx.matmul, (a, rng.standard_normal((5, 7)))), (corx.matmul, (np.float32(a), np.float32(a.T))),
        (corx.matmul, (np.int16([[1, 2]]), np.uint8([[3], [4]]))),
        (corx.inv, (stack,)),
        (corx.cholesky, (spd,)), (corx.cholesky, (spd, True)), (corx.cholesky, (spd[1], False, True)),
        (corx.cholesky, (np.float32(spd),)), (corx.cholesky, (np.tril(spd[0]),)),
        (corx.cholesky, (np.triu(spd[2]), True)),
        (joined(corx.qr), (stack,)), (joined(corx.qr), (tall, "complete")), (joined(corx.qr), (wide, "r")),
        (joined(corx.qr), (np.float32(tall),)),
        (joined(corx.svd), (stack,)), (joined(corx.svd), (tall,)), (joined(corx.svd), (wide, False)),
        (joined(corx.svd), (np.float32(wide),)),
    ]
    for fn, args in cases:
        fast = fn(*args)
        with monkeypatch.context() as m:
            m.setattr(corx, "_ext", None)
            slow = fn(*args)
        assert type(fast) is type(slow) and np.shape(fast) == np.shape(slow), (fn.__name__, args)
        assert np.asarray(fast).dtype == np.asarray(slow).dtype, (fn.__name__, args)
        assert np.asarray(fast).tobytes() == np.asarray(slow).tobytes(), (fn.__name__, args)
