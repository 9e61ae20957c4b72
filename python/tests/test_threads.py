# SPDX-License-Identifier: BSD-3-Clause
"""The thread count: setting, reading and restoring it, the checks on its
argument, and results that keep every bit whatever the count, on problems
large enough for the library to split them."""
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import corx


@pytest.fixture(autouse=True)
def keep_count():
    """Every test leaves the process-wide count as it found it."""
    before = corx.get_threads()
    yield
    corx.set_threads(before)


def thread_ids():
    return set(os.listdir("/proc/self/task"))


def counting_threads(n, f):
    """f() under n threads, and how many threads were started while it ran.

    Changing the count stops the library's threads, so the threads that the
    call needs are started by the call itself and show as new ones."""
    with corx.threads(1), corx.threads(n):
        before = thread_ids()
        out = f()
        return out, len(thread_ids() - before)


def test_set_and_get():
    assert corx.set_threads(3) == 3 and corx.get_threads() == 3
    assert corx.set_threads(np.int64(2)) == 2 and corx.get_threads() == 2
    processors = len(os.sched_getaffinity(0))
    assert corx.set_threads(0) == min(processors, 256) == corx.get_threads()
    # Above 256 the library uses 256, also for counts wider than its int32_t
    # (which ctypes would otherwise cut to their low bits: 2**32 to 0).
    for big in (257, 2**31 - 1, 2**32, 2**32 + 2, 10**30):
        corx.set_threads(1)
        assert corx.set_threads(big) == 256 == corx.get_threads(), big
    assert corx.set_threads(1) == 1 and corx.get_threads() == 1


def test_threads_block_restores_the_count():
    corx.set_threads(2)
    with corx.threads(3) as count:
        assert count == 3 == corx.get_threads()
        with corx.threads(1) as inner:
            assert inner == 1 == corx.get_threads()
        assert corx.get_threads() == 3
    assert corx.get_threads() == 2

    with pytest.raises(corx.LinAlgError):
        with corx.threads(4):
            assert corx.get_threads() == 4
            corx.solve([[1.0, 2.0], [2.0, 4.0]], [1.0, 1.0])
    assert corx.get_threads() == 2
    with pytest.raises(KeyError):
        with corx.threads(0):
            raise KeyError("inside")
    assert corx.get_threads() == 2

    # A count set inside the block is undone too: the block restores what it found.
    with corx.threads(3):
        corx.set_threads(5)
    assert corx.get_threads() == 2


@pytest.mark.parametrize("bad, error", [
    (-1, ValueError), (-(2**40), ValueError),
    (2.0, TypeError), (True, TypeError), (np.bool_(False), TypeError), ("2", TypeError), (None, TypeError),
    (np.float64(3.0), TypeError),
])
def test_bad_counts_are_refused_and_change_nothing(bad, error):
    corx.set_threads(2)
    with pytest.raises(error, match="corx_set_threads"):
        corx.set_threads(bad)
    assert corx.get_threads() == 2
    # threads() refuses at the call, before any block is entered.
    with pytest.raises(error, match="corx_set_threads"):
        corx.threads(bad)
    assert corx.get_threads() == 2


N = 300
RNG = np.random.default_rng(20240611)
A = RNG.standard_normal((N, N))
B = RNG.standard_normal((N, 7))
_M = RNG.standard_normal((700, 700))
SPD = _M @ _M.T + 700 * np.eye(700)
SPD = np.triu(SPD) + np.triu(SPD, 1).T  # exactly symmetric
SPARSE = corx.SparseMatrix(_M * (np.abs(_M) > 0.3))  # about 370000 stored entries
X = RNG.standard_normal(700)

# (name, call, whether the library splits it at this size)
CALLS = [
    ("matmul", lambda: corx.matmul(A, A.T), True),
    ("solve", lambda: corx.solve(A, B[:, 0]), True),
    ("solve_unrefined", lambda: corx.solve(A, B[:, :2], refine=False), True),
    ("qr", lambda: corx.qr(A[:, :250]), True),
    # Cholesky splits only larger matrices than the others.
    ("cholesky", lambda: corx.cholesky(SPD), True),
    ("sparse_matvec", lambda: SPARSE @ X, True),
    # An SVD this small stays on one thread: its passes are too short to split.
    ("svd", lambda: corx.svd(A[:, :120], full_matrices=False), False),
]


def raw(result):
    return [np.ascontiguousarray(r).view(np.uint64) for r in (result if isinstance(result, tuple) else (result,))]


@pytest.mark.parametrize("name, call, splits", CALLS, ids=[c[0] for c in CALLS])
def test_results_keep_their_bits_for_any_count(name, call, splits):
    expected, started = counting_threads(1, call)
    assert started == 0
    for n in (2, 3):
        got, started = counting_threads(n, call)
        if splits:
            assert started == n - 1, (name, n, started)
        got, want = raw(got), raw(expected)
        assert len(got) == len(want)
        for g, e in zip(got, want):
            assert np.array_equal(g, e), (name, n)


SMALL = textwrap.dedent("""
    import numpy as np, corx
    # The count comes from CORX_THREADS; a block restores it.
    assert corx.get_threads() == 3, corx.get_threads()
    with corx.threads(1):
        assert corx.get_threads() == 1
    assert corx.get_threads() == 3

    rng = np.random.default_rng(7)
    def calls(n, k):
        a = rng.standard_normal((n, k))
        sq = rng.standard_normal((n, n)) + n * np.eye(n)
        spd = sq @ sq.T
        spd = np.triu(spd) + np.triu(spd, 1).T
        return [lambda: corx.matmul(a, a.T), lambda: corx.matmul(a.T, a), lambda: corx.solve(sq, a),
                lambda: corx.solve(sq, a[:, 0], refine=False), lambda: corx.qr(a), lambda: corx.svd(a),
                lambda: corx.cholesky(spd), lambda: corx.SparseMatrix(a * (a > 0)) @ a[0]]
    def bits(r):
        return [np.ascontiguousarray(x).view(np.uint64) for x in (r if isinstance(r, tuple) else (r,))]
    checked = 0
    for n, k in ((1, 1), (2, 1), (5, 3), (9, 9), (17, 4), (33, 31), (67, 19)):
        for call in calls(n, k):
            with corx.threads(1):
                one = bits(call())
            for t in (2, 3, 5):
                with corx.threads(t):
                    many = bits(call())
                assert all(np.array_equal(x, y) for x, y in zip(one, many)), (n, k, t)
                checked += 1
    print(checked)
""")


def test_every_split_of_small_problems_keeps_the_bits():
    # With CORX_SPLIT_SMALL=1 the library makes every split it can, however
    # small, so each boundary between parts is crossed. It is read once per
    # process: the check runs in a fresh interpreter, importing this package.
    env = dict(os.environ, CORX_SPLIT_SMALL="1", CORX_THREADS="3",
               PYTHONPATH=str(pathlib.Path(corx.__file__).resolve().parents[1]))
    done = subprocess.run([sys.executable, "-c", SMALL], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) == 7 * 8 * 3


def test_a_stacked_call_lets_other_threads_run():
    # The compiled module computes a whole stack with the interpreter lock
    # released: the main thread keeps running while another thread solves.
    # Holding the lock would stall it from the start of the call to its end,
    # so it must make progress in the middle of the call.
    import threading
    import time
    if corx._ext is None:
        pytest.skip("the ctypes path releases the lock per library call only")
    rng = np.random.default_rng(11)
    count = 2000
    while True:  # a stack that takes a good fraction of a second
        a = rng.standard_normal((count, 6, 6)) + 6 * np.eye(6)
        b = rng.standard_normal((count, 6, 2))
        start = time.perf_counter()
        corx.solve(a, b)
        if time.perf_counter() - start > 0.3:
            break
        count *= 4
    span = []

    def work():
        span.append(time.perf_counter())
        corx.solve(a, b)
        span.append(time.perf_counter())

    t = threading.Thread(target=work)
    stamps = []
    t.start()
    while t.is_alive():
        stamps.append(time.perf_counter())
    t.join()
    begin, end = span
    quarter = (end - begin) / 4
    assert any(begin + quarter < s < end - quarter for s in stamps), (begin, end, len(stamps))
