# SPDX-License-Identifier: BSD-3-Clause
"""Every handle the library gives out is destroyed exactly once, on success
and on failure, and importing the package leaves signal handling alone."""
import gc
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
    lambda: corx.add(A, np.zeros((0, 2))), lambda: corx.det(np.ones((3, 2))),
    lambda: corx.solve(np.ones((2, 2)), [1, 2]), lambda: corx.cholesky([[1, 2], [2, 1]]),
    lambda: corx.qr(np.ones((2, 3))), lambda: corx.svd(np.ones((2, 3))),
]


@pytest.mark.parametrize("call", CALLS)
def test_calls_release_every_handle(ledger, call):
    try:
        call()
    except corx.Error:
        pass
    assert ledger.made > 0
    assert not ledger.live


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
        assert after[:5] != before[:5] and len(set(after[:5])) == 1, after
        assert after[5] == 1, "SIGPIPE should be ignored (SIG_IGN)"
        print("ok")
    """)
    package_dir = str(__import__("pathlib").Path(corx.__file__).resolve().parents[1])
    done = subprocess.run([sys.executable, "-c", script, package_dir], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"
