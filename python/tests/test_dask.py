# SPDX-License-Identifier: BSD-3-Clause
"""corx.dask on a real cluster of worker processes: the single call's bits
for every chunking tried, the single call's failures, and a worker killed
while a graph runs."""
import os
import signal
import time

import numpy as np
import pytest

import corx

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import corx.dask as cd  # noqa: E402


def same(x, y):
    x, y = np.asarray(x), np.asarray(y)
    return x.shape == y.shape and np.array_equal(x.view(np.uint64), y.view(np.uint64))


@pytest.fixture(scope="module")
def client():
    # Worker processes import this package and load this library: they get
    # both through their environment, which they inherit (and which the
    # other test modules get back afterwards).
    saved = {k: os.environ.get(k) for k in ("CORX_LIBRARY", "PYTHONPATH")}
    os.environ["CORX_LIBRARY"] = corx.library_path
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.dirname(corx.__file__))] + os.environ.get("PYTHONPATH", "").split(os.pathsep))
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                      silence_logs=40) as cluster, distributed.Client(cluster) as c:
            yield c
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


def spd(rng, n):
    g = rng.standard_normal((n, n))
    a = g @ g.T / n + np.eye(n)
    return np.tril(a) + np.tril(a, -1).T  # exactly symmetric


def with_specials(rng, a, rate=0.01):
    specials = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, 5e-324, -2.2250738585072009e-308, 1e300])
    a = a.copy()
    mask = rng.random(a.shape) < rate
    a[mask] = rng.choice(specials, mask.sum())
    return a


def test_matmul_bits_for_every_chunking_where_dask_arrays_own_differ(client):
    rng = np.random.default_rng(1)
    # Magnitudes spread over many binades, so that a sum's order shows.
    a = rng.standard_normal((90, 130)) * 2.0 ** rng.integers(-20, 20, (90, 130))
    b = rng.standard_normal((130, 70))
    ours, theirs = set(), set()
    for ca, cb in [((90, 130), (130, 70)), ((17, 9), (31, 70)), ((40, 64), (64, 13)), ((45, 5), (13, 35))]:
        x, y = da.from_array(a, chunks=ca), da.from_array(b, chunks=cb)
        got = cd.matmul(x, y).compute()
        ours.add(got.tobytes())
        theirs.add((x @ y).compute().tobytes())
    assert ours == {corx.matmul(a, b).tobytes()}
    assert len(theirs) > 1  # dask.array's matmul: the bits follow the chunks
    # Specials (NaN, infinities, signed zeros, subnormals) keep the bits too.
    sa = with_specials(rng, a)
    assert same(cd.matmul(da.from_array(sa, chunks=(13, 21)), da.from_array(b, chunks=(8, 30))).compute(),
                corx.matmul(sa, b))


def test_cholesky_bits_and_failures(client):
    rng = np.random.default_rng(2)
    a = spd(rng, 150)
    want = corx.cholesky(a)
    for chunks in [150, 16, 48, ((37, 50, 63), (100, 50)), 7]:
        assert same(cd.cholesky(da.from_array(a, chunks=chunks)).compute(), want), chunks
    assert same(cd.cholesky(da.from_array(a, chunks=40), upper=True).compute(), corx.cholesky(a, upper=True))
    # A pivot that fails in a late tile; a matrix one ulp from symmetric.
    bad = a.copy()
    bad[120, 120] = -1.0
    asym = a.copy()
    asym[100, 40] = np.nextafter(asym[100, 40], np.inf)
    both = asym.copy()
    both[120, 120] = -1.0  # the symmetry test comes first
    nan_below = a.copy()
    nan_below[140, 3] = np.nan  # never equals its mirror, whichever triangle is read
    for m, kw in [(bad, {}), (asym, {"check_symmetric": True}), (both, {"check_symmetric": True}),
                  (nan_below, {})]:
        with pytest.raises(corx.LinAlgError) as single:
            corx.cholesky(m, **kw)
        with pytest.raises(corx.LinAlgError) as tiled:
            cd.cholesky(da.from_array(m, chunks=32), **kw).compute()
        assert tiled.value.code == single.value.code == corx.NOT_SPD
    # Only the lower triangle is read by default, as in the single call.
    assert same(cd.cholesky(da.from_array(asym, chunks=32)).compute(), corx.cholesky(asym))


def test_solve_spd_bits(client):
    rng = np.random.default_rng(3)
    a = spd(rng, 120)
    b = with_specials(rng, rng.standard_normal((120, 5)), 0.02)
    want = corx.solve_spd(a, b)
    for ca, cb in [(120, (120, 5)), (25, (40, 2)), ((50, 70), (11, 1))]:
        assert same(cd.solve_spd(da.from_array(a, chunks=ca), da.from_array(b, chunks=cb)).compute(), want)
    assert same(cd.solve_spd(da.from_array(a, chunks=33), b[:, 0]).compute(), corx.solve_spd(a, b[:, 0]))


def test_stacks_bits(client):
    rng = np.random.default_rng(4)
    s = rng.standard_normal((3, 4, 7, 7))
    t = rng.standard_normal((3, 4, 9, 5))
    rhs = rng.standard_normal((3, 4, 7, 2))
    x = da.from_array(s, chunks=(2, 3, 7, 3))
    assert same(cd.det(x).compute(), corx.det(s))
    assert same(cd.solve(x, da.from_array(rhs, chunks=(1, 2, 4, 1))).compute(), corx.solve(s, rhs))
    for got, want in zip(client.compute(cd.qr(da.from_array(t, chunks=(1, 3, 4, 5)))), corx.qr(t)):
        assert same(got.result(), want)
    for got, want in zip(client.compute(cd.svd(da.from_array(t, chunks=(2, 1, 9, 5)))), corx.svd(t)):
        assert same(got.result(), want)


def test_sparse_matvec_by_row_blocks(client):
    rng = np.random.default_rng(5)
    d = with_specials(rng, rng.standard_normal((60, 45)), 0.02)
    d[rng.random(d.shape) < 0.8] = 0.0
    x = rng.standard_normal(45)
    want = corx.SparseMatrix(d).matvec(x)
    assert same(cd.sparse_matvec(da.from_array(d, chunks=(7, 20)), x).compute(), want)
    blocks = [corx.SparseMatrix(d[:25]), corx.SparseMatrix(d[25:26]), corx.SparseMatrix(d[26:])]
    assert same(cd.sparse_matvec(blocks, x).compute(), want)


def test_a_worker_killed_mid_graph_changes_no_bit(client):
    rng = np.random.default_rng(6)
    a = spd(rng, 300)
    future = client.compute(cd.cholesky(da.from_array(a, chunks=12)))
    pids = client.run(os.getpid)
    time.sleep(0.5)
    assert not future.done()  # the kill lands inside the graph
    os.kill(next(iter(pids.values())), signal.SIGKILL)
    assert same(future.result(timeout=120), corx.cholesky(a))
    client.wait_for_workers(2, timeout=60)
