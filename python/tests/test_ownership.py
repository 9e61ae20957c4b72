# SPDX-License-Identifier: BSD-3-Clause
"""Every handle the library gives out is destroyed exactly once, on success
and on failure, and importing the package leaves signal handling alone."""
import copy
import gc
import pathlib
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import corx

A = np.array([[4.0, 2.0], [2.0, 5.0]])

CALLS = [
    lambda: corx.add(A, A), lambda: corx.subtract(A, A), lambda: corx.matmul(A, A),
    lambda: corx.scale(A, 3), lambda: corx.transpose(A), lambda: corx.almost_equal(A, A, 0),
    lambda: corx.det(A), lambda: corx.solve(A, [1, 2]), lambda: corx.cholesky(A),
    lambda: corx.qr(A), lambda: corx.svd(A), lambda: corx.SparseMatrix(A).to_dense(),
    # failures after some handles were made
    lambda: corx.add(A, np.ones((1, 2))), lambda: corx.matmul(A, np.ones((1, 2))),
    lambda: corx.add(A, np.zeros((0, 2))), lambda: corx.SparseMatrix(A).matvec([1, 2, 3]),
    lambda: corx.solve(np.ones((2, 2)), [1, 2]), lambda: corx.cholesky([[1, 2], [2, 1]]),
    lambda: corx.lstsq(np.ones((3, 2)), [1, 2, 3]),
    # wide matrices, factorised through the tall path
    lambda: corx.qr(np.ones((2, 3))), lambda: corx.svd(np.ones((2, 3))),
    lambda: corx.lstsq(A, [1, 2]), lambda: corx.slogdet(A),
]


@pytest.mark.parametrize("call", CALLS)
def test_calls_release_every_handle(ledger, call):
    try:
        call()
    except corx.Error:
        pass
    assert ledger.made > 0
    assert not ledger.live


def test_every_handle_is_owned_from_the_library_s_return():
    # A maker whose result is a plain int would leave a gap for an interrupt.
    from conftest import _MAKERS
    assert set(corx._OWNED_RESULTS) == _MAKERS
    for name, owner in corx._OWNED_RESULTS.items():
        assert getattr(corx._cdll, name).restype is owner
        assert issubclass(owner, corx._SIGNATURES[name][0])


def test_compiled_path_releases_every_handle_it_makes():
    # The extension makes and destroys its handles inside one C call; a
    # failure in the middle of a stack must still destroy the one in use.
    if corx._ext is None:
        pytest.skip("the package runs without its extension here")
    stack = np.stack([A] * 6)
    stack[4] = [[1, 2], [2, 4]]
    for call in (lambda: corx.solve(stack, [1, 2]), lambda: corx.inv(stack), lambda: corx.det(stack),
                 lambda: corx.matmul(A, A), lambda: corx.cholesky(stack), lambda: corx.cholesky(stack, True),
                 lambda: corx.cholesky(np.stack([A, A + [[0, 1], [0, 0]]]), check_symmetric=True)):
        try:
            call()
        except corx.LinAlgError as e:
            assert e.code in (corx.SINGULAR, corx.NOT_SPD)
        assert corx._ext.live_handles() == 0


def test_sparse_matrix_releases_its_handle_once(ledger):
    s = corx.SparseMatrix(A)
    assert len(ledger.live) == 1
    np.testing.assert_array_equal(s @ [1.0, 1.0], [6.0, 7.0])
    assert len(ledger.live) == 1
    s.close()
    s.close()
    assert not ledger.live

    with corx.SparseMatrix(A) as t:
        assert t.nnz == 4
    assert not ledger.live

    u = corx.SparseMatrix(A)
    del u
    gc.collect()
    assert not ledger.live


def test_import_leaves_signal_handlers_alone_until_init():
    # A fresh interpreter: read the process signal dispositions through
    # sigaction before the import, after the import and some work, and
    # after corx.init().
    script = textwrap.dedent("""
        import ctypes, signal, sys
        libc = ctypes.CDLL(None, use_errno=True)
        SIGS = [signal.SIGINT, signal.SIGSEGV, signal.SIGABRT, signal.SIGFPE, signal.SIGILL,
                signal.SIGPIPE]
        def dispositions():
            out = []
            for s in SIGS:
                act = ctypes.create_string_buffer(256)   # struct sigaction
                assert libc.sigaction(s, None, act) == 0
                out.append(ctypes.c_void_p.from_buffer(act).value)
            return out
        before = dispositions()
        sys.path.insert(0, sys.argv[1])
        import corx, numpy as np
        corx.solve(np.eye(3), [1, 2, 3])
        assert dispositions() == before, "import or use changed signal handling"
        corx.init()
        after = dispositions()
        # The library's handler on the five, except where the process
        # started with one ignored (SIGINT, in the background): that stays.
        handler = {a for a, b in zip(after[:5], before[:5]) if b != 1}
        assert len(handler) == 1 and handler.isdisjoint({None, 0, 1}), after
        assert all(a == 1 for a, b in zip(after[:5], before[:5]) if b == 1), after
        assert after[5] == 1, "SIGPIPE should be ignored (SIG_IGN)"
        print("ok")
    """)
    package_dir = str(__import__("pathlib").Path(corx.__file__).resolve().parents[1])
    done = subprocess.run([sys.executable, "-c", script, package_dir], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"


# ---- handles that outlive a call ---------------------------------------------------

INTS = np.array([[3.0, 0.0, -1.0], [0.0, 2.0, 5.0]])  # small integers: products are exact


@pytest.mark.parametrize("duplicate", [
    copy.copy, copy.deepcopy, lambda s: pickle.loads(pickle.dumps(s)),
], ids=["copy", "deepcopy", "pickle"])
def test_a_copy_has_a_handle_of_its_own(ledger, duplicate):
    s = corx.SparseMatrix(INTS)
    t = duplicate(s)
    assert len(ledger.live) == 2
    np.testing.assert_array_equal(t.to_dense(), INTS)
    t.close()
    # Another matrix of the same size may take the memory t released.
    with corx.SparseMatrix(-7 * INTS):
        np.testing.assert_array_equal(s @ [1.0, 2.0, 3.0], INTS @ [1.0, 2.0, 3.0])
        assert s.nnz == 4
    s.close()
    assert not ledger.live


def test_an_array_conversion_that_closes_the_matrix_fails_the_call(ledger):
    s = corx.SparseMatrix(INTS)

    class Closes:
        def __array__(self, dtype=None):
            s.close()
            return np.ones(3)

    with pytest.raises(corx.ArgumentError, match="closed") as info:
        s.matvec(Closes())
    assert info.value.code == corx.NULL_HANDLE
    assert not ledger.live


def _run(script, *args):
    """Runs script in a fresh interpreter that imports this corx; returns its stdout."""
    package_dir = str(pathlib.Path(corx.__file__).resolve().parents[1])
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script), package_dir, *map(str, args)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, f"status {done.returncode}: {done.stderr[-2000:]}"
    return done.stdout


def test_close_from_another_thread_waits_for_the_running_call():
    # Each round: one thread multiplies in a loop while the main thread
    # closes the matrix. Every product finished must be the product, and
    # the loop must end on the "closed" error, not on a destroyed handle.
    out = _run("""
        import sys, threading, time
        sys.path.insert(0, sys.argv[1])
        import corx, numpy as np
        rng = np.random.default_rng(7)
        a = rng.standard_normal((1500, 1500)) * (rng.random((1500, 1500)) < 0.5)
        x = rng.standard_normal(1500)
        with corx.SparseMatrix(a) as s:
            want = (s @ x).tobytes()
        for round in range(int(sys.argv[2])):
            s = corx.SparseMatrix(a)
            seen = []
            def work():
                try:
                    while True:
                        seen.append((s @ x).tobytes())
                except corx.ArgumentError as e:
                    seen.append(e.code)
            t = threading.Thread(target=work)
            t.start()
            time.sleep(0.002 * (round % 7 + 1))
            s.close()
            t.join()
            assert seen[-1] == corx.NULL_HANDLE, seen[-1]
            assert all(y == want for y in seen[:-1]), "a product differs"
            np.ones(1500 * 750)  # memory for a destroyed handle to be reused by
        print("ok")
    """, 20)
    assert out.strip() == "ok"


def test_interrupts_leak_no_handle():
    # KeyboardInterrupt lands where Python checks for signals, typically
    # right after the library returns. Every QR interrupted that way must
    # give its handles back: the resident size may not grow by anything near
    # the q and r that each interrupted call would otherwise leave behind.
    out = _run("""
        import gc, random, signal, sys, time
        sys.path.insert(0, sys.argv[1])
        import corx, numpy as np
        def rss():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmRSS:"))
        def interrupt(signum, frame):
            raise KeyboardInterrupt
        signal.signal(signal.SIGALRM, interrupt)
        n = int(sys.argv[2])
        a = np.random.default_rng(3).standard_normal((n, n))
        start = time.perf_counter()
        for _ in range(3):
            corx.qr(a)
        took = (time.perf_counter() - start) / 3
        random.seed(5)
        def rounds(count):
            interrupted = 0
            for _ in range(count):
                try:
                    signal.setitimer(signal.ITIMER_REAL, took * random.uniform(0.05, 0.5))
                    corx.qr(a)
                    signal.setitimer(signal.ITIMER_REAL, 0)
                except KeyboardInterrupt:
                    interrupted += 1
            signal.setitimer(signal.ITIMER_REAL, 0)
            gc.collect()
            return interrupted
        rounds(5)  # the allocators' own growth, before measuring
        before = rss()
        print(rounds(40), rss() - before)
    """, 600)
    interrupted, growth = map(int, out.split())
    assert interrupted >= 20, interrupted
    leak_per_call = 2 * 600 * 600 * 8  # q and r
    assert growth < interrupted * leak_per_call / 4, (interrupted, growth)
