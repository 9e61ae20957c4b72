# SPDX-License-Identifier: BSD-3-Clause
import ctypes
import os
import pathlib
import sys

import numpy as np
import pytest

# Import the package from this source tree (the library comes from
# CORX_LIBRARY, set by ctest, or the build tree), unless CORX_TEST_INSTALLED
# is set: then the tests run against the installed package and its own
# library, and make sure they do.
SOURCE_PACKAGE = pathlib.Path(__file__).resolve().parents[1]
if os.environ.get("CORX_TEST_INSTALLED"):
    import corx  # noqa: E402

    assert SOURCE_PACKAGE not in pathlib.Path(corx.__file__).resolve().parents, corx.__file__
    assert pathlib.Path(corx.library_path).parent == pathlib.Path(corx.__file__).parent, corx.library_path
    # An installed package carries its compiled hot path.
    assert corx._ext is not None and pathlib.Path(corx._ext.__file__).parent == pathlib.Path(corx.__file__).parent
else:
    sys.path.insert(0, str(SOURCE_PACKAGE))
    import corx  # noqa: E402

    # CORX_EXTENSION names the compiled module the tests must run on.
    if os.environ.get("CORX_EXTENSION", "none") != "none":
        assert corx._ext is not None, "corx._ext did not load"

# Functions that hand the caller a new handle as their result.
_MAKERS = {
    "corx_matrix_create", "corx_matrix_create_from_buffer", "corx_matrix_add", "corx_matrix_sub",
    "corx_matrix_mul", "corx_matrix_scale", "corx_matrix_transpose", "corx_matrix_cholesky",
    "corx_sparse_from_dense", "corx_sparse_to_dense",
    "corx_matrix_mul_add", "corx_matrix_mul_sub_t", "corx_matrix_cholesky_lower", "corx_matrix_cholesky_below",
}
# Functions that hand out new handles through out-parameters (argument positions).
_OUT_MAKERS = {"corx_matrix_qr": (1, 2), "corx_matrix_svd": (1, 4), "corx_sparse_from_csr": (7,)}
_DESTROYERS = {"corx_matrix_destroy", "corx_sparse_destroy"}


def _value(h):
    """The address of a handle, given as an int or as a ctypes object."""
    return h.value if isinstance(h, ctypes.c_void_p) else h


class HandleLedger:
    """Stands in for the package's library object and books every handle
    the library gives out and every destroy call, so a test can see handles
    that are never released (live) or released twice or unknown (bad)."""

    def __init__(self, lib):
        self._real = lib
        self.live = set()
        self.bad = []
        self.made = 0

    def _made(self, h):
        h = _value(h)
        if h:
            self.live.add(h)
            self.made += 1

    def __getattr__(self, name):
        fn = getattr(self._real, name)

        def call(*args):
            if name in _DESTROYERS and _value(args[0]):
                if _value(args[0]) in self.live:
                    self.live.remove(_value(args[0]))
                else:
                    self.bad.append((name, _value(args[0])))
            result = fn(*args)
            if name in _MAKERS:
                self._made(result)
            elif name in _OUT_MAKERS and result == 0:
                for i in _OUT_MAKERS[name]:
                    self._made(args[i]._obj.value)  # the byref'd c_void_p
            return result

        return call


@pytest.fixture
def ledger(monkeypatch):
    book = HandleLedger(corx._lib)
    monkeypatch.setattr(corx, "_lib", book)
    # The ledger sees the ctypes path only: the compiled one keeps its
    # handles inside one C call (its own count: test_ownership.py).
    monkeypatch.setattr(corx, "_ext", None)
    yield book
    assert not book.bad, f"destroyed twice or never made: {book.bad}"


EPS = np.finfo(np.float64).eps


@pytest.fixture
def rng():
    return np.random.default_rng(20240607)
