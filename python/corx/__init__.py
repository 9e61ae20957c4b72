# SPDX-License-Identifier: BSD-3-Clause
"""corx for Python: reproducible linear algebra on numpy arrays.

The package calls the corx shared library through a small compiled module
(``corx._ext``) for :func:`solve`, :func:`inv`, :func:`det`,
:func:`matmul` and :func:`cholesky`, which loops over stacks in C with the GIL released, and
through ctypes for everything else (and for those five where the module
is not built; the results are the same bits). Every function
takes numpy arrays (or anything ``np.asarray`` accepts) of booleans,
integers or floats, converts them to C-contiguous float64, copies them into
the library, and returns new numpy arrays; results are the library's, bit
for bit. When every operand of a dense function is float32 the result is
float32, as in numpy.linalg: computed in float64 and rounded once at the
end. Arrays of objects, strings, bytes, dates, durations, complex numbers
or long doubles raise ``TypeError``.

Dense matrices never outlive a call: each function makes its handles, uses
them and destroys them before it returns, failures and KeyboardInterrupt
included (a handle belongs to a Python object from the moment the library
returns it). Only :class:`SparseMatrix` holds a handle across calls, and it
releases it on :meth:`SparseMatrix.close`, at the end of a ``with`` block or
when it is garbage-collected, exactly once, and never while a call (in any
thread) is using it.

The package follows numpy's conventions where they apply: :func:`solve`
takes one right-hand side ``(n,)`` or several ``(n, k)``; :func:`det`,
:func:`solve`, :func:`cholesky`, :func:`qr`, :func:`svd` and :func:`slogdet`
take stacks ``(..., m, n)`` as ``numpy.linalg`` does; :func:`svd` returns
``(u, s, vh)`` with full matrices by default, :func:`qr` the reduced form
by default, :func:`cholesky` reads only the lower triangle, and
:func:`lstsq` returns numpy's ``(x, residuals, rank, s)``; where the
library computes only one form (a tall matrix, the complete QR, the thin
SVD), each function's documentation says how the others are made from its
bits. Empty arrays give numpy's empty
results without calling the library; complex input is refused with
``TypeError`` instead of losing its imaginary part; :func:`det` gives a
``numpy.float64``.

Every failure the library reports is raised as a :class:`corx.Error`, which
carries the status code (``code``) and the library's text for it
(``status_text``). A singular matrix or one that is not positive definite
raises :class:`corx.LinAlgError`, which is also a
``numpy.linalg.LinAlgError``; wrong shapes and a closed sparse matrix raise
:class:`corx.ArgumentError`, which is also a ``ValueError``. A matrix that is
not square given to :func:`det`, :func:`solve` or :func:`cholesky` raises
:class:`corx.NotSquareError`, which is both (numpy raises LinAlgError).

The library is found in this order: the path in the environment variable
``CORX_LIBRARY``; ``libcorx.so.1`` inside the package (as ``pip install``
puts it there); the library installed beside the package by
``cmake --install`` (``-DCORX_INSTALL_PYTHON=ON``); ``build/libcorx.so`` of
the source tree this package sits in; ``libcorx.so.1`` through the system
loader. :data:`library_path` says which one was loaded.

Importing the package does not call ``corx_init``; see :func:`init`.
"""

from __future__ import annotations

import contextlib
import ctypes
import operator
import os
import pathlib
import threading
from typing import Iterator, Tuple, Union

import numpy as np
import numpy.typing as npt

__all__ = [
    "__version__", "library_path", "Error", "LinAlgError", "ArgumentError", "NotSquareError", "SUCCESS", "NULL_HANDLE", "SHAPE_MISMATCH", "SINGULAR", "NOT_SPD", "BUFFER_TOO_SMALL",
    "init", "version", "error_string", "set_threads", "get_threads", "threads",
    "add", "subtract", "matmul", "scale", "transpose", "almost_equal",
    "det", "slogdet", "solve", "inv", "lstsq", "cholesky", "qr", "svd", "SparseMatrix",
    "vec_add", "vec_sub", "vec_scale", "vec_dot", "vec_length", "vec_normalize", "vec_almost_equal",
    "cross2d", "perp", "perp_cw", "cross", "udiv128", "clz64",
    "solve_spd", "mul_add", "mul_sub_t", "cholesky_lower", "cholesky_below",
]

SUCCESS = 0
NULL_HANDLE = 1
SHAPE_MISMATCH = 2
SINGULAR = 3
NOT_SPD = 4
BUFFER_TOO_SMALL = 5

# Which check of corx_sparse_from_csr failed (CORX_CSR_* of corx.h).
_CSR_FAULTS = {
    1: "a required array is missing",
    2: "rows and columns must be at least 1, nnz at most 2147483647 and indptr hold rows + 1 pointers",
    3: "indptr does not start at 0",
    4: "indptr decreases",
    5: "the last row pointer is not the number of entries",
    6: "a column index is out of range",
    7: "the column indices of a row are not strictly increasing",
}

_INT32_MAX = 2**31 - 1
_UINT64_MASK = 2**64 - 1

#: A float64 array, as every function returns.
Array = npt.NDArray[np.float64]


# ---- loading --------------------------------------------------------------

_HERE = pathlib.Path(__file__).resolve().parent


def _candidates():
    """Paths to try, in order (see the module documentation)."""
    yield _HERE / "libcorx.so.1"
    try:
        from . import _location  # written by cmake --install
    except ImportError:
        pass
    else:
        libdir = pathlib.Path(_location.LIBRARY_DIR)
        yield (_HERE / libdir if _location.RELATIVE_TO_PACKAGE else libdir) / "libcorx.so.1"
    yield _HERE.parents[1] / "build" / "libcorx.so"


def _loaded_path(name):
    """The file the system loader mapped for name."""
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                if line.rstrip().endswith(name) or f"/{name}." in line:
                    return line.split(None, 5)[-1].strip()
    except OSError:
        pass
    return name


def _load():
    path = os.environ.get("CORX_LIBRARY")
    if path:
        try:
            return ctypes.CDLL(path), path
        except OSError as e:
            raise ImportError(f"corx: cannot load CORX_LIBRARY={path!r}: {e}") from e
    for candidate in _candidates():
        if candidate.is_file():
            return ctypes.CDLL(str(candidate)), str(candidate)
    try:
        return ctypes.CDLL("libcorx.so.1"), _loaded_path("libcorx.so.1")
    except OSError as e:
        raise ImportError(
            "corx: libcorx.so not found; install the package with pip, build the library "
            "(scripts/demo.sh or cmake), install it, or set CORX_LIBRARY to its path") from e


class _Vec2(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double)]


class _Vec3(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double), ("z", ctypes.c_double)]


class _Vec4(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double), ("z", ctypes.c_double),
                ("w", ctypes.c_double)]


#: CorxTask and CorxExecutor of corx.h: a host's parallel-for and the task
#: it runs. Declared for corx_set_executor only; the package installs no
#: executor (see set_threads).
_Task = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int64)
_Executor = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int64, _Task, ctypes.c_void_p)


class _Handle(ctypes.c_void_p):
    """A library handle, owned by this object from the moment the library
    returns it.

    The subclasses are the result types of the functions that make handles
    and the out-parameter cells of qr and svd: ctypes builds the object
    inside the call, so no bytecode runs between the library's return and
    the ownership, and a KeyboardInterrupt raised at any later point still
    ends in the destroy call, from __del__ if not before. Destroyed once,
    by release() or by __del__; a null handle is never destroyed.
    """

    _destroy = ""  # the library's destroy function for this kind

    def release(self):
        destroy = getattr(_lib, self._destroy)
        # Cleared before the call: an interrupt between the two can at worst
        # leak the handle, never destroy it twice.
        handle = self.value
        self.value = None
        if handle:
            destroy(handle)

    def __del__(self):
        if self.value:
            self.release()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()
        return False


class _Matrix(_Handle):
    _destroy = "corx_matrix_destroy"


class _Sparse(_Handle):
    _destroy = "corx_sparse_destroy"


#: The owning result type of each function that makes a handle (the
#: header's type stays in _SIGNATURES, which mirrors corx.h).
_OWNED_RESULTS = {
    "corx_matrix_create": _Matrix, "corx_matrix_create_from_buffer": _Matrix,
    "corx_matrix_add": _Matrix, "corx_matrix_sub": _Matrix, "corx_matrix_mul": _Matrix,
    "corx_matrix_scale": _Matrix, "corx_matrix_transpose": _Matrix, "corx_matrix_cholesky": _Matrix,
    "corx_sparse_from_dense": _Sparse, "corx_sparse_to_dense": _Matrix,
    # The tile steps (see the tile section below).
    "corx_matrix_mul_add": _Matrix, "corx_matrix_mul_sub_t": _Matrix,
    "corx_matrix_cholesky_lower": _Matrix, "corx_matrix_cholesky_below": _Matrix,
}


def _signatures():
    """The ctypes signature of every function of corx.h: name -> (result,
    argument types). The test suite checks the table against the header."""
    i32, i64, u64, dbl = ctypes.c_int32, ctypes.c_int64, ctypes.c_uint64, ctypes.c_double
    b = ctypes.c_bool  # C bool: one byte
    h = ctypes.c_void_p  # CorxMatrix and CorxSparse
    dp = ctypes.POINTER(ctypes.c_double)
    hp = ctypes.POINTER(ctypes.c_void_p)
    u64p = ctypes.POINTER(ctypes.c_uint64)
    sig = {
        "corx_init": (i32, []),
        "corx_version": (ctypes.c_char_p, []),
        "corx_cleanup": (None, []),
        "corx_get_error_string": (ctypes.c_char_p, [i32]),
        "corx_matrix_create": (h, [i32, i32]),
        "corx_matrix_create_from_buffer": (h, [i32, i32, dp, i64]),
        "corx_matrix_destroy": (None, [h]),
        "corx_matrix_rows": (i32, [h]),
        "corx_matrix_cols": (i32, [h]),
        "corx_matrix_get": (dbl, [h, i32, i32]),
        "corx_matrix_set": (None, [h, i32, i32, dbl]),
        "corx_matrix_get_buffer": (i32, [h, dp, i64]),
        "corx_matrix_add": (h, [h, h]),
        "corx_matrix_sub": (h, [h, h]),
        "corx_matrix_mul": (h, [h, h]),
        "corx_matrix_scale": (h, [h, dbl]),
        "corx_matrix_transpose": (h, [h]),
        "corx_matrix_almost_equal": (b, [h, h, dbl]),
        "corx_matrix_determinant": (dbl, [h, ctypes.POINTER(i32)]),
        "corx_matrix_lu_solve": (i32, [h, dp, i64, dp, i64, b]),
        "corx_matrix_lu_solve_many": (i32, [h, dp, i64, i32, dp, i64, b]),
        "corx_lu_solve_stack": (i32, [i32, i64, dp, i64, dp, i64, i32, dp, i64, b, ctypes.POINTER(i64)]),
        "corx_matrix_cholesky": (h, [h]),
        "corx_matrix_qr": (i32, [h, hp, hp]),
        "corx_matrix_svd": (i32, [h, hp, dp, i64, hp]),
        "corx_sparse_from_dense": (h, [h]),
        "corx_sparse_from_csr": (i32, [i32, i32, ctypes.POINTER(i64), i64, ctypes.POINTER(i32), dp, i64, hp,
                                       ctypes.POINTER(i32)]),
        "corx_sparse_to_dense": (h, [h]),
        "corx_sparse_destroy": (None, [h]),
        "corx_sparse_nnz": (i32, [h]),
        "corx_sparse_matvec": (i32, [h, dp, i64, dp, i64]),
        "corx_set_threads": (i32, [i32]),
        "corx_get_threads": (i32, []),
        "corx_set_executor": (i32, [_Executor, ctypes.c_void_p, i32]),
        "corvane_udiv128": (None, [u64, u64, u64, u64p, u64p]),
        "corvane_clz64": (i32, [u64]),
        "corxrt_startup": (None, []),
        "corxrt_teardown": (None, []),
    }
    for n, vec in ((2, _Vec2), (3, _Vec3), (4, _Vec4)):
        p = f"corx_vec{n}_"
        sig.update({
            p + "add": (vec, [vec, vec]),
            p + "sub": (vec, [vec, vec]),
            p + "scale": (vec, [vec, dbl]),
            p + "dot": (dbl, [vec, vec]),
            p + "length": (dbl, [vec]),
            p + "normalize": (vec, [vec]),
        })
        if n != 4:
            sig[p + "almost_equal"] = (b, [vec, vec, dbl])
    sig.update({
        "corx_vec2_cross2d": (dbl, [_Vec2, _Vec2]),
        "corx_vec2_perp": (_Vec2, [_Vec2]),
        "corx_vec2_perp_cw": (_Vec2, [_Vec2]),
        "corx_vec3_cross": (_Vec3, [_Vec3, _Vec3]),
    })
    # The tile steps and the Cholesky solve (see the tile section below).
    sig.update({
        "corx_matrix_mul_add": (h, [h, h, h]),
        "corx_matrix_mul_sub_t": (h, [h, h, h]),
        "corx_matrix_cholesky_lower": (h, [h]),
        "corx_matrix_cholesky_below": (h, [h, h]),
        "corx_matrix_cholesky_solve": (i32, [h, dp, i64, i32, dp, i64]),
    })
    return sig


_SIGNATURES = _signatures()


def _declare(lib):
    for name, (restype, argtypes) in _SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype = _OWNED_RESULTS.get(name, restype)
        fn.argtypes = argtypes
    return lib


_cdll, library_path = _load()
_lib = _declare(_cdll)

#: The version of the loaded library, "MAJOR.MINOR.PATCH".
__version__: str = _lib.corx_version().decode()

if not __version__.startswith("1."):
    raise ImportError(f"corx: the loaded library is version {__version__}, this package needs 1.x")


# ---- errors and lifecycle ---------------------------------------------------

def error_string(code: int) -> str:
    """The library's text for a status code.

    Parameters
    ----------
    code : int
        A status code (``corx.SUCCESS`` ... ``corx.BUFFER_TOO_SMALL``).

    Returns
    -------
    str
        The text; "Unknown error" outside 0..5.

    Examples
    --------
    >>> import corx
    >>> corx.error_string(corx.SINGULAR)
    'Singular matrix'
    >>> corx.error_string(99)
    'Unknown error'
    """
    return _lib.corx_get_error_string(int(code)).decode()


class Error(Exception):
    """A failed corx call.

    ``code`` is the status (NULL_HANDLE, SHAPE_MISMATCH, SINGULAR, NOT_SPD,
    BUFFER_TOO_SMALL), ``status_text`` the library's text for it and
    ``function`` the C function that failed. Where the C function reports no
    code (a null handle, or -1 for every cause), the package works out the
    cause from the arguments: a Cholesky factorisation refused for a matrix
    that is not symmetric positive definite comes back as NOT_SPD.

    Every instance is one of the two subclasses: :class:`LinAlgError` (also
    a ``numpy.linalg.LinAlgError``) or :class:`ArgumentError` (also a
    ``ValueError``), or both: :class:`NotSquareError`.
    """

    def __init__(self, code: int, function: str, detail: str = ""):
        self.code = int(code)
        self.function = function
        self.status_text = error_string(code)
        self.detail = detail
        text = f"{function}: {self.status_text}"
        super().__init__(f"{text} ({detail})" if detail else text)

    def __reduce__(self):
        # Rebuilt from its fields: the message alone does not fit __init__,
        # and errors cross process boundaries (worker pools, corx.dask).
        return (type(self), (self.code, self.function, self.detail))


class LinAlgError(Error, np.linalg.LinAlgError):
    """The matrix is singular (SINGULAR) or not symmetric positive definite
    (NOT_SPD): caught by ``except numpy.linalg.LinAlgError`` too."""


class ArgumentError(Error, ValueError):
    """The arguments do not fit the call: shapes (SHAPE_MISMATCH), a closed
    sparse matrix (NULL_HANDLE), an array too large (BUFFER_TOO_SMALL).
    Caught by ``except ValueError`` too."""


class NotSquareError(LinAlgError, ArgumentError):
    """det, solve or cholesky of a matrix that is not square
    (SHAPE_MISMATCH). numpy.linalg raises LinAlgError there, so this is a
    :class:`LinAlgError` (and a ``numpy.linalg.LinAlgError``); it is also an
    :class:`ArgumentError` (and a ``ValueError``), as every shape error is."""


def _error(code: int, function: str, detail: str = "") -> Error:
    cls = LinAlgError if code in (SINGULAR, NOT_SPD) else ArgumentError
    return cls(code, function, detail)


# ---- the compiled hot path ----------------------------------------------------

#: Library functions the extension module calls.
_EXT_FUNCTIONS = (
    "corx_matrix_create_from_buffer", "corx_matrix_destroy", "corx_matrix_rows", "corx_matrix_cols",
    "corx_matrix_get_buffer", "corx_matrix_mul", "corx_matrix_determinant", "corx_matrix_lu_solve",
    "corx_matrix_lu_solve_many", "corx_lu_solve_stack", "corx_matrix_cholesky", "corx_sparse_matvec",
    "corx_matrix_qr", "corx_matrix_svd",
)


def _extension_candidates():
    """Files that may hold corx._ext, in order: CORX_EXTENSION, then the
    module inside the package (pip install, cmake --install), then the one
    CMake builds into build/python/corx of the source tree this package
    sits in."""
    import importlib.machinery
    path = os.environ.get("CORX_EXTENSION")
    if path:
        yield pathlib.Path(path)
        return
    for directory in (_HERE, _HERE.parents[1] / "build" / "python" / "corx"):
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            yield directory / f"_ext{suffix}"


def _load_extension():
    """The extension module bound to the library loaded above, or None.

    Without it (a source tree whose build has no extension, an interpreter
    without the headers it was built for) every function runs on the
    ctypes path, with the same results and errors, only slower per call.
    CORX_EXTENSION=none forces that path."""
    import importlib.util
    if os.environ.get("CORX_EXTENSION") == "none":
        return None
    for candidate in _extension_candidates():
        if not candidate.is_file():
            continue
        spec = importlib.util.spec_from_file_location("corx._ext", candidate)
        try:
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
        except ImportError:
            if os.environ.get("CORX_EXTENSION"):
                raise
            continue
        addresses = {name: ctypes.cast(getattr(_cdll, name), ctypes.c_void_p).value for name in _EXT_FUNCTIONS}
        module.bind(addresses, _error)
        return module
    return None


def version() -> str:
    """The library version, "MAJOR.MINOR.PATCH" (the same text as ``__version__``).

    Returns
    -------
    str
        The version of the loaded library.

    Examples
    --------
    >>> import corx
    >>> corx.version() == corx.__version__
    True
    """
    return _lib.corx_version().decode()


def init() -> None:
    """Run the library start-up (``corx_init``). Optional: nothing needs it.

    The start-up computes the library's constant tables and installs
    process-wide signal handlers: SIGINT, SIGSEGV, SIGABRT, SIGFPE and SIGILL
    get a handler that prints a one-line message, restores the default
    disposition and raises the signal again, and SIGPIPE is ignored. In
    Python that replaces the interpreter's own SIGINT handling (Ctrl-C stops
    the process instead of raising KeyboardInterrupt) and the handlers of
    modules such as faulthandler. That is why importing the package does not
    call it: every function works without it. Call it only in a program that
    wants those handlers. Later calls do nothing.

    Returns
    -------
    None

    Examples
    --------
    >>> import corx
    >>> corx.init()  # doctest: +SKIP
    """
    _lib.corx_init()


_ext = _load_extension()


# ---- threads --------------------------------------------------------------------

def _thread_count(n, function):
    """n as a thread count for the library: an integer (not a bool), 0 or more."""
    if isinstance(n, (bool, np.bool_)):
        raise TypeError(f"{function}: expected an integer thread count, got {type(n).__name__}")
    try:
        n = operator.index(n)
    except TypeError:
        raise TypeError(f"{function}: expected an integer thread count, got {type(n).__name__}") from None
    if n < 0:
        raise ValueError(f"{function}: the thread count must be 0 (one per processor) or more, got {n}")
    # The library takes counts above 256 as 256; a wider int would not fit its int32_t.
    return min(n, _INT32_MAX)


def set_threads(n: int) -> int:
    """Set how many threads each library call may compute on.

    By default every call computes on the calling thread. With a count
    above 1 the product, LU, the refined solve's exact residual, the
    columns of a solve with several right-hand sides, Cholesky, QR, the
    Jacobi SVD and the sparse product split their independent work over
    that many threads (the calling thread and ``n - 1`` threads the library
    starts on the first call that splits); calls too small to repay the
    hand-over still run on one thread. Results are bit for bit the same
    for every count.

    The count is process-wide: it applies to every call from every Python
    thread, and to every other user of the same library in the process.
    It can be changed at any time from any thread; calls already running
    finish with the threads they started with. The library's threads serve
    one call at a time: a call made while another thread's call is using
    them runs on its own thread alone. The default comes from the
    environment variable ``CORX_THREADS`` (a whole number, 0 meaning one
    per processor), read on first use, else 1.

    The package does not offer the library's other way in, a host's own
    parallel-for (``corx_set_executor``): called back from Python, each
    task would need the interpreter lock, and the tasks would run one at a
    time. A host with its own pool of native threads hands it to the C
    function directly; the count set here is kept for when that executor
    is removed.

    Parameters
    ----------
    n : int
        The number of threads, 1 or more; 0 for one per processor the
        process may run on. Counts above 256 are taken as 256.

    Returns
    -------
    int
        The count now in effect (the processor count for 0, at most 256).

    Raises
    ------
    TypeError
        If n is not an integer (a float or a bool included).
    ValueError
        If n is negative.

    See Also
    --------
    get_threads : the count in effect.
    threads : a count for the duration of a ``with`` block.

    Examples
    --------
    >>> import corx
    >>> corx.set_threads(4)
    4
    >>> corx.get_threads()
    4
    >>> corx.set_threads(1)
    1
    """
    function = "corx_set_threads"
    count = _lib.corx_set_threads(_thread_count(n, function))
    if count < 1:  # the library refuses only negative counts, checked above
        raise ValueError(f"{function}: refused {n}")
    return count


def get_threads() -> int:
    """The number of threads a library call may compute on.

    The count set by :func:`set_threads` (or :func:`threads`), else the one
    the environment variable ``CORX_THREADS`` gives, else 1. It is
    process-wide, like the setting.

    Returns
    -------
    int
        The count in effect, 1 to 256.

    See Also
    --------
    set_threads : change it.

    Examples
    --------
    >>> import corx
    >>> with corx.threads(2):
    ...     corx.get_threads()
    2
    """
    return _lib.corx_get_threads()


def threads(n: int) -> "contextlib.AbstractContextManager[int]":
    """A context manager that sets the thread count for a ``with`` block.

    The count is checked when ``threads`` is called, set on entering the
    block and put back to the count that was in effect before on leaving
    it, also when the block raises. The value bound by ``as`` is the count
    in effect inside the block. Blocks nest; the count stays process-wide,
    so blocks that overlap in different Python threads do not nest, and
    the one that ends last restores what it saw on entering. Results are
    the same for any count: the block changes only how fast calls run.

    Parameters
    ----------
    n : int
        As for :func:`set_threads`: 1 or more, 0 for one per processor.

    Returns
    -------
    context manager
        Yields the count in effect inside the block.

    Raises
    ------
    TypeError
        If n is not an integer (a float or a bool included).
    ValueError
        If n is negative.

    See Also
    --------
    set_threads : set the count without restoring it.

    Examples
    --------
    >>> import numpy as np, corx
    >>> a = np.random.default_rng(0).standard_normal((400, 400))
    >>> with corx.threads(2) as count:
    ...     c = corx.matmul(a, a)
    >>> count
    2
    >>> bool(np.array_equal(c.view(np.uint64), corx.matmul(a, a).view(np.uint64)))
    True
    """
    n = _thread_count(n, "corx_set_threads")
    return _threads_block(n)


@contextlib.contextmanager
def _threads_block(n: int) -> Iterator[int]:
    before = get_threads()
    count = set_threads(n)
    try:
        yield count
    finally:
        set_threads(before)


# ---- handles ------------------------------------------------------------------

_dptr = ctypes.POINTER(ctypes.c_double)


def _ptr(arr):
    return arr.ctypes.data_as(_dptr)


def _shape(arr):
    return "x".join(str(d) for d in arr.shape) if arr.ndim else "scalar"


def _checked(a, function):
    """a as a numpy array of a type corx computes with, its dtype kept.

    Booleans and integers convert to float64 as in numpy.linalg; complex
    input is refused rather than losing its imaginary part, and so are
    objects, strings, bytes and dates, which numpy would turn into numbers
    without meaning, and long double, which would silently lose precision.
    """
    arr = np.asarray(a)
    kind = arr.dtype.kind
    if kind == "c":
        raise TypeError(f"{function}: complex input is not supported (corx computes in float64); "
                        "pass the real part explicitly if that is what you mean")
    if kind not in "biuf" or (kind == "f" and arr.dtype.itemsize > 8):
        raise TypeError(f"{function}: arrays of {arr.dtype} are not supported; "
                        "corx takes real numbers (bool, integer, float16/32/64)")
    return arr


def _single(*arrays):
    """True when every operand is float32: the result is then float32, as in
    numpy.linalg. It is computed in float64 and rounded once at the end."""
    return all(np.asarray(x).dtype == np.float32 for x in arrays)


def _result(out, single):
    if not single:
        return out
    if isinstance(out, tuple):
        return tuple(_result(o, single) for o in out)
    return np.float32(out) if np.ndim(out) == 0 else out.astype(np.float32)


def _real(a, function):
    """a as a C-contiguous float64 array (see _checked for what is refused)."""
    return np.ascontiguousarray(_checked(a, function), dtype=np.float64)


def _matrix(a, function):
    arr = _real(a, function)
    if arr.ndim != 2:
        raise _error(SHAPE_MISMATCH, function, f"expected a 2-D array, got shape {arr.shape}")
    return arr


def _matrices(a, function):
    """A 2-D array or a stack (..., m, n) of them."""
    arr = _real(a, function)
    if arr.ndim < 2:
        raise _error(SHAPE_MISMATCH, function, f"expected an array of shape (..., m, n), got shape {arr.shape}")
    return arr


def _vector(x, function):
    arr = _real(x, function)
    if arr.ndim != 1:
        raise _error(SHAPE_MISMATCH, function, f"expected a 1-D array, got shape {arr.shape}")
    return arr


def _square(a, function):
    if a.shape[-1] != a.shape[-2]:
        raise NotSquareError(SHAPE_MISMATCH, function, f"{_shape(a)} is not square")


def _each(a, fn, out_shapes):
    """fn over every matrix of a stack (..., m, n), results stacked the same
    way. out_shapes gives the shapes of fn's results for one m x n matrix, for
    a stack without any matrix (the library is not called then)."""
    if a.ndim == 2:
        return fn(a)
    lead = a.shape[:-2]
    shapes = out_shapes(*a.shape[-2:])
    outs = [np.empty(lead + s) for s in shapes]
    for idx in np.ndindex(*lead):
        results = fn(a[idx])
        if len(shapes) == 1:
            results = (results,)
        for out, r in zip(outs, results):
            out[idx] = r
    return outs[0] if len(shapes) == 1 else tuple(outs)


def _fits(shape, function):
    """Raises MemoryError, as numpy does for an array it cannot allocate, when
    a result of this shape would hold more elements than a library handle
    may (the library refuses such a call)."""
    rows, cols = shape
    if rows * cols > _INT32_MAX:
        raise MemoryError(f"{function}: a {rows}x{cols} result holds more than 2147483647 elements, "
                          "the most a corx matrix may hold")


def _dense_from(arr, function):
    """A new handle holding the 2-D float64 array arr (to be used in a with-block)."""
    rows, cols = arr.shape
    if rows < 1 or cols < 1 or rows * cols > _INT32_MAX:
        raise _error(SHAPE_MISMATCH, "corx_matrix_create_from_buffer",
                     f"{function}: a {rows}x{cols} array; both dimensions must be at least 1 "
                     "and rows*cols at most 2147483647")
    arr = np.ascontiguousarray(arr)
    h = _lib.corx_matrix_create_from_buffer(rows, cols, _ptr(arr), arr.size)
    if not h:  # the dimensions were checked above; the library refuses nothing else
        raise _error(SHAPE_MISMATCH, "corx_matrix_create_from_buffer", f"{rows}x{cols}")
    return h


def _array_of(handle):
    """The contents of a dense handle as a new numpy array."""
    rows, cols = _lib.corx_matrix_rows(handle), _lib.corx_matrix_cols(handle)
    if rows * cols > _INT32_MAX:  # the library copies out at most this many
        raise _error(BUFFER_TOO_SMALL, "corx_matrix_get_buffer",
                     f"{rows}x{cols} holds more than 2147483647 elements")
    out = np.empty((rows, cols), dtype=np.float64)
    n = _lib.corx_matrix_get_buffer(handle, _ptr(out), out.size)
    if n < 0:
        raise _error(-n, "corx_matrix_get_buffer")
    return out


def _take(handle):
    """Copies a new dense handle out and destroys it; None means the call failed."""
    if not handle:
        return None
    with handle:
        return _array_of(handle)


# ---- dense arithmetic ------------------------------------------------------------

def _binary(name, a, b, op, rule, empty_shape):
    function = f"corx_matrix_{name}"
    a, b = _checked(a, function), _checked(b, function)
    single = _single(a, b)
    a, b = _matrix(a, function), _matrix(b, function)
    shape = empty_shape(a.shape, b.shape)
    if shape is not None and 0 in shape + a.shape + b.shape:
        return _result(np.zeros(shape), single)  # numpy's result; nothing for the library to compute
    if shape is not None:
        _fits(shape, function)
    with _dense_from(a, function) as ha, _dense_from(b, function) as hb:
        out = _take(getattr(_lib, function)(ha, hb))
    if out is None:
        raise _error(SHAPE_MISMATCH, function, f"{_shape(a)} {op} {_shape(b)}: {rule}")
    return _result(out, single)


def _same_shape(sa, sb):
    return sa if sa == sb else None


def _product_shape(sa, sb):
    return (sa[0], sb[1]) if sa[1] == sb[0] else None


def add(a: npt.ArrayLike, b: npt.ArrayLike) -> Array:
    """a + b, element by element; the shapes must be equal.

    Parameters
    ----------
    a, b : array_like, shape (m, n)
        Booleans, integers or floats.

    Returns
    -------
    numpy.ndarray, shape (m, n)
        float32 when both are float32 (rounded once), else float64.

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) if the shapes differ or are not 2-D.
    TypeError
        For complex, object, string and long double arrays.

    Examples
    --------
    >>> import corx
    >>> corx.add([[1.0, 2.0]], [[0.5, 0.25]])
    array([[1.5 , 2.25]])
    """
    return _binary("add", a, b, "+", "the shapes must be equal", _same_shape)


def subtract(a: npt.ArrayLike, b: npt.ArrayLike) -> Array:
    """a - b, element by element; the shapes must be equal.

    Parameters
    ----------
    a, b : array_like, shape (m, n)
        Booleans, integers or floats.

    Returns
    -------
    numpy.ndarray, shape (m, n)
        float32 when both are float32 (rounded once), else float64.

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) if the shapes differ or are not 2-D.
    TypeError
        For complex, object, string and long double arrays.

    Examples
    --------
    >>> import corx
    >>> corx.subtract([[1.0, 2.0]], [[0.5, 0.25]])
    array([[0.5 , 1.75]])
    """
    return _binary("sub", a, b, "-", "the shapes must be equal", _same_shape)


def matmul(a: npt.ArrayLike, b: npt.ArrayLike) -> Array:
    """The matrix product a @ b, each element summed in increasing k.

    An empty inner dimension gives zeros, as in numpy (each element is the
    empty sum, +0.0).

    Parameters
    ----------
    a : array_like, shape (m, k)
    b : array_like, shape (k, n)

    Returns
    -------
    numpy.ndarray, shape (m, n)
        float32 when both are float32 (computed in float64, rounded once),
        else float64.

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) if a's columns differ from b's rows or an operand
        is not 2-D.
    MemoryError
        For a result of more than 2**31 - 1 elements, as numpy raises for
        what it cannot allocate.
    TypeError
        For complex, object, string and long double arrays.

    Examples
    --------
    >>> import corx
    >>> corx.matmul([[1.0, 2.0], [3.0, 4.0]], [[1.0], [1.0]])
    array([[3.],
           [7.]])
    """
    if _ext is not None:
        c = _ext.matmul(a, b)
        if c is not None:
            return c
    return _binary("mul", a, b, "@", "the left operand's columns must equal the right operand's rows",
                   _product_shape)


def _unary(function, a, empty_shape, *args):
    a = _checked(a, function)
    single = _single(a)
    a = _matrix(a, function)
    if a.size == 0:
        return _result(np.zeros(empty_shape(a.shape)), single)
    with _dense_from(a, function) as h:
        out = _take(getattr(_lib, function)(h, *args))
    if out is None:
        raise _error(NULL_HANDLE, function)
    return _result(out, single)


def scale(a: npt.ArrayLike, factor: float) -> Array:
    """Every element of a times factor.

    Parameters
    ----------
    a : array_like, shape (m, n)
    factor : float

    Returns
    -------
    numpy.ndarray, shape (m, n)
        float32 for float32 a (rounded once), else float64.

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) if a is not 2-D.
    TypeError
        For complex, object, string and long double arrays.

    Examples
    --------
    >>> import corx
    >>> corx.scale([[1.0, -2.0]], 0.5)
    array([[ 0.5, -1. ]])
    """
    return _unary("corx_matrix_scale", a, lambda s: s, float(factor))


def transpose(a: npt.ArrayLike) -> Array:
    """The transpose of a, bits unchanged.

    Parameters
    ----------
    a : array_like, shape (m, n)

    Returns
    -------
    numpy.ndarray, shape (n, m)

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) if a is not 2-D.
    TypeError
        For complex, object, string and long double arrays.

    Examples
    --------
    >>> import corx
    >>> corx.transpose([[1.0, 2.0, 3.0]])
    array([[1.],
           [2.],
           [3.]])
    """
    return _unary("corx_matrix_transpose", a, lambda s: s[::-1])


def almost_equal(a: npt.ArrayLike, b: npt.ArrayLike, tolerance: float) -> bool:
    """True when the shapes match and ``abs(a - b) <= tolerance`` everywhere.

    A predicate: False (not an exception) for different shapes and for a
    tolerance that is negative, NaN or infinite.

    Parameters
    ----------
    a, b : array_like, shape (m, n)
    tolerance : float

    Returns
    -------
    bool

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) if an operand is not 2-D.

    Examples
    --------
    >>> import corx
    >>> corx.almost_equal([[1.0]], [[1.1]], 0.2), corx.almost_equal([[1.0]], [[1.0, 2.0]], 1.0)
    (True, False)
    """
    function = "corx_matrix_almost_equal"
    a, b = _matrix(a, function), _matrix(b, function)
    tolerance = float(tolerance)
    if a.size == 0 and a.shape == b.shape:  # nothing to compare; the tolerance rule still holds
        return 0.0 <= tolerance < float("inf")
    with _dense_from(a, function) as ha, _dense_from(b, function) as hb:
        return bool(_lib.corx_matrix_almost_equal(ha, hb, tolerance))


# ---- solvers and decompositions -----------------------------------------------------

def det(a: npt.ArrayLike) -> Union[np.float64, Array]:
    """The determinant of a square matrix (0.0 for a singular one).

    A stack (..., n, n) gives an array of determinants of shape (...); a
    0 x 0 matrix has determinant 1.0, as in numpy.

    Parameters
    ----------
    a : array_like, shape (..., n, n)

    Returns
    -------
    numpy.float64 or numpy.ndarray, shape (...)
        numpy.float32 (arrays of float32) for float32 input.

    Raises
    ------
    NotSquareError
        (SHAPE_MISMATCH) if the matrices are not square; a LinAlgError, as
        numpy raises.
    TypeError
        For complex, object, string, date and long double arrays.

    Examples
    --------
    >>> import corx
    >>> corx.det([[2.0, 1.0], [1.0, 3.0]])
    5.0
    >>> corx.det([[[2.0, 0.0], [0.0, 2.0]], [[1.0, 2.0], [2.0, 4.0]]])
    array([4., 0.])
    """
    if _ext is not None:
        d = _ext.det(a)
        if d is not None:
            return d
    function = "corx_matrix_determinant"
    a = _checked(a, function)
    single = _single(a)
    a = _matrices(a, function)
    _square(a, function)

    def one(m):
        if m.size == 0:
            return np.float64(1.0)
        ok = ctypes.c_int32(0)
        with _dense_from(m, function) as h:
            d = _lib.corx_matrix_determinant(h, ctypes.byref(ok))
        if ok.value != 1:
            raise NotSquareError(SHAPE_MISMATCH, function, f"{_shape(m)} is not square")
        return np.float64(d)

    return _result(_each(a, one, lambda m, n: ((),)), single)


def solve(a: npt.ArrayLike, b: npt.ArrayLike, refine: bool = True) -> Array:
    """x with a @ x = b, by LU with partial pivoting.

    With ``refine`` (the default) one step of refinement follows, on a
    residual computed exactly; it costs about an eighth more than the plain
    solve and makes the answer the correctly rounded solution far more
    often (for a = [[3, 1], [1, 3]], b = [1, 2] it gives exactly
    [0.125, 0.625], where the plain solve and numpy.linalg.solve miss both
    in the last bit).

    b is one right-hand side of shape (n,) or several of shape (n, k); a
    may be a stack (..., n, n), with b of shape (n,) (the same right-hand
    side for every matrix) or (..., n, k), the leading dimensions
    broadcast as in numpy. Each matrix is factorised once for all k
    columns (``corx_matrix_lu_solve_many``), and column j of x is bit for
    bit the solve of a against column j of b alone.

    Parameters
    ----------
    a : array_like, shape (..., n, n)
        A square matrix or a stack of them; booleans and integers are taken
        as float64.
    b : array_like, shape (n,) or (..., n, k)
        One right-hand side, or k of them for each matrix.
    refine : bool, optional
        One step of refinement on an exactly computed residual (the
        default); False for the plain LU solve.

    Returns
    -------
    numpy.ndarray, shape (..., n) or (..., n, k)
        float32 when a and b are float32 (computed in float64 and rounded
        once), else float64.

    Raises
    ------
    LinAlgError
        (SINGULAR) for a matrix with an exactly zero pivot column.
    NotSquareError
        (SHAPE_MISMATCH) if the matrices are not square; a LinAlgError, as
        numpy raises.
    ArgumentError
        (SHAPE_MISMATCH) if b's rows differ from n or the stacks do not
        broadcast.
    TypeError
        For complex, object, string, date and long double arrays.

    Examples
    --------
    >>> import corx
    >>> corx.solve([[3.0, 1.0], [1.0, 3.0]], [1.0, 2.0]).tolist()
    [0.125, 0.625]
    >>> corx.solve([[3.0, 1.0], [1.0, 3.0]], [1.0, 2.0], refine=False).tolist()
    [0.12499999999999996, 0.6250000000000001]
    >>> corx.solve([[2.0, 0.0], [0.0, 4.0]], [[2.0, 4.0], [4.0, 8.0]])  # two right-hand sides
    array([[1., 2.],
           [1., 2.]])
    """
    if _ext is not None:
        x = _ext.solve(a, b, refine)
        if x is not None:
            return x
    a, b = _checked(a, "corx_matrix_lu_solve"), _checked(b, "corx_matrix_lu_solve")
    one_rhs = np.ndim(b) == 1
    function = "corx_matrix_lu_solve" if one_rhs else "corx_matrix_lu_solve_many"
    single = _single(a, b)
    a, b = _matrices(a, function), _real(b, function)
    if b.ndim == 0:
        raise _error(SHAPE_MISMATCH, function, "the right-hand side is a scalar")
    _square(a, function)
    n = a.shape[-1]
    bs = b[:, None] if one_rhs else b
    if bs.shape[-2] != n:
        raise _error(SHAPE_MISMATCH, function, f"{_shape(a)} system, right-hand side of shape {b.shape}")
    try:
        lead = np.broadcast_shapes(a.shape[:-2], bs.shape[:-2])
    except ValueError:
        raise _error(SHAPE_MISMATCH, function,
                     f"stacks {a.shape[:-2]} and {bs.shape[:-2]} do not broadcast") from None
    k = bs.shape[-1]
    a_all = np.broadcast_to(a, lead + (n, n))
    b_all = np.broadcast_to(bs, lead + (n, k))
    x_all = np.empty(lead + (n, k))
    count = int(np.prod(lead, dtype=np.int64))
    if x_all.size and count > 1 and a.shape[:-2] == lead and bs.shape[:-2] == lead and k <= _INT32_MAX:
        # Nothing broadcast: the whole stack in one call.
        aa, bb = np.ascontiguousarray(a), np.ascontiguousarray(bs)
        singular = ctypes.c_int64(-1)
        got = _lib.corx_lu_solve_stack(n, count, _ptr(aa), aa.size, _ptr(bb), bb.size, k, _ptr(x_all), x_all.size,
                                       bool(refine), ctypes.byref(singular))
        if got < 0:
            raise _error(-got, "corx_lu_solve_stack",
                         f"matrix {singular.value} of the stack" if got == -SINGULAR else "")
    elif x_all.size:
        for idx in np.ndindex(*lead):
            with _dense_from(a_all[idx], function) as h:
                if one_rhs:
                    col = np.ascontiguousarray(b_all[idx][:, 0])
                    x = np.empty(n)
                    got = _lib.corx_matrix_lu_solve(h, _ptr(col), n, _ptr(x), n, bool(refine))
                    if got < 0:
                        raise _error(-got, function, f"{_shape(a)} system" if got == -SHAPE_MISMATCH else "")
                    x_all[idx][:, 0] = x
                    continue
                # The library takes at most 2**31 - 1 columns a call.
                for j0 in range(0, k, _INT32_MAX):
                    cols = min(k - j0, _INT32_MAX)
                    rhs = np.ascontiguousarray(b_all[idx][:, j0:j0 + cols])
                    x = np.empty((n, cols))
                    got = _lib.corx_matrix_lu_solve_many(h, _ptr(rhs), rhs.size, cols, _ptr(x), x.size,
                                                         bool(refine))
                    if got < 0:
                        raise _error(-got, function, f"{_shape(a)} system" if got == -SHAPE_MISMATCH else "")
                    x_all[idx][:, j0:j0 + cols] = x
    return _result(x_all[..., 0] if one_rhs else x_all, single)


def inv(a: npt.ArrayLike, refine: bool = False) -> Array:
    """The inverse of a square matrix, or of each matrix of a stack.

    Solves a against the identity with one factorisation: column j of the
    result is, bit for bit, ``solve(a, e_j, refine=refine)`` where e_j is
    column j of the identity. Unrefined by default, as numpy.linalg.inv
    computes it; ``refine=True`` adds ``solve``'s step of refinement on an
    exactly computed residual to every column, which costs several times
    the unrefined time (n exact residuals of n rows each).
    Like numpy.linalg.inv, a float32 operand gives a float32 result
    (computed in float64 and rounded once).

    Parameters
    ----------
    a : array_like, shape (..., n, n)
        A square matrix or a stack of them; booleans and integers are taken
        as float64.
    refine : bool, optional
        One step of refinement per column, as in ``solve`` (default False).

    Returns
    -------
    numpy.ndarray, shape (..., n, n)
        The inverse of each matrix.

    Raises
    ------
    LinAlgError
        (SINGULAR) if a matrix has an exactly zero pivot column; nearly
        singular matrices are inverted, possibly to huge values.
    NotSquareError
        (SHAPE_MISMATCH) if the matrices are not square; it is a
        LinAlgError too, as in numpy.
    TypeError
        For complex, object, string and long double arrays.

    See Also
    --------
    solve : one or several right-hand sides, without forming the inverse.

    Examples
    --------
    >>> import corx
    >>> corx.inv([[2.0, 0.0], [0.0, 4.0]])
    array([[0.5 , 0.  ],
           [0.  , 0.25]])
    >>> corx.inv([[1, 2], [2, 4]])
    Traceback (most recent call last):
        ...
    corx.LinAlgError: corx_matrix_lu_solve_many: Singular matrix
    """
    function = "corx_matrix_lu_solve_many"
    a = _checked(a, function)
    single = _single(a)
    m = _matrices(a, function)
    _square(m, function)
    eye = np.eye(m.shape[-1], dtype=np.float32 if single else np.float64)
    return solve(a, eye, refine=refine)


def cholesky(a: npt.ArrayLike, upper: bool = False, check_symmetric: bool = False) -> Array:
    """The Cholesky factor of a symmetric positive definite matrix.

    By default only one triangle of a is read, as numpy.linalg.cholesky
    does: the lower one, or the upper one with ``upper=True``. The package
    builds the symmetric matrix from that triangle (its entries' bits
    copied into the other triangle, whatever the other triangle held) and
    hands it to ``corx_matrix_cholesky``. With ``check_symmetric=True`` the
    array goes to the library as given, and the library's own check
    applies: a matrix that is not exactly symmetric is refused.

    Parameters
    ----------
    a : array_like, shape (..., n, n)
        A square matrix or a stack of them; booleans and integers are taken
        as float64.
    upper : bool, optional
        False (the default): return the lower triangular L with
        ``a = L @ L.T``. True: read the upper triangle and return the upper
        triangular ``U = L.T`` with ``a = U.T @ U``, the library's L
        transposed (bits copied).
    check_symmetric : bool, optional
        True: read the whole matrix and refuse one that is not exactly
        symmetric (NOT_SPD), as the C function does.

    Returns
    -------
    numpy.ndarray, shape (..., n, n)
        L, or U with ``upper=True``; float32 for float32 input (computed in
        float64 and rounded once).

    Raises
    ------
    LinAlgError
        (NOT_SPD) if a pivot is not positive, or with
        ``check_symmetric=True`` if the matrix is not exactly symmetric.
    NotSquareError
        (SHAPE_MISMATCH) if the matrices are not square; also a
        LinAlgError, as in numpy.
    TypeError
        For complex, object, string and long double arrays.

    Examples
    --------
    >>> import corx
    >>> corx.cholesky([[4.0, 2.0], [2.0, 5.0]])
    array([[2., 0.],
           [1., 2.]])
    >>> corx.cholesky([[4.0, 99.0], [2.0, 5.0]])  # the upper triangle is not read
    array([[2., 0.],
           [1., 2.]])
    >>> corx.cholesky([[4.0, 2.0], [99.0, 5.0]], upper=True)
    array([[2., 1.],
           [0., 2.]])
    >>> corx.cholesky([[4.0, 99.0], [2.0, 5.0]], check_symmetric=True)
    Traceback (most recent call last):
        ...
    corx.LinAlgError: corx_matrix_cholesky: Matrix is not symmetric positive-definite (not exactly symmetric, or a pivot is not positive)
    """
    if _ext is not None:
        c = _ext.cholesky(a, upper, check_symmetric)
        if c is not None:
            return c
    function = "corx_matrix_cholesky"
    a = _checked(a, function)
    single = _single(a)
    a = _matrices(a, function)
    _square(a, function)

    def one(m):
        if m.size == 0:
            return np.zeros(m.shape)
        if not check_symmetric:
            src = m.T if upper else m  # the triangle to read is src's lower one
            sym = np.array(src, dtype=np.float64, order="C")
            above = np.triu_indices(m.shape[0], 1)
            sym[above] = src.T[above]  # bits copied from below the diagonal
            m = sym
        with _dense_from(m, function) as h:
            out = _take(_lib.corx_matrix_cholesky(h))
        if out is None:
            _square(m, function)
            raise _error(NOT_SPD, function, "not exactly symmetric, or a pivot is not positive")
        return np.ascontiguousarray(out.T) if upper else out

    return _result(_each(a, one, lambda m, n: ((m, n),)), single)


def _qr_complete(m, function):
    """The library's complete (q, r) of a 2-D float64 array with rows >= cols >= 1."""
    _fits((m.shape[0], m.shape[0]), function)  # q is m x m
    # The cells own what the library writes into them (nothing on failure).
    q, r = _Matrix(), _Matrix()
    with q, r:
        with _dense_from(m, function) as h:
            status = _lib.corx_matrix_qr(h, ctypes.byref(q), ctypes.byref(r))
        if status != SUCCESS:
            raise _error(status, function, f"{_shape(m)} has fewer rows than columns")
        return _array_of(q), _array_of(r)


def _factor_stack(a, name, one, out_shapes):
    """The factors of every matrix of a non-empty float64 stack (..., m, n)
    with m >= n: in C by the extension's function `name`, else one(m) one
    matrix at a time (see _each)."""
    if _ext is not None:
        out = getattr(_ext, name)(a)
        if out is not None:
            return out
    return _each(a, one, out_shapes)


def _qr_stack(a, function):
    """The library's complete (q, r) of every matrix of a tall stack."""
    return _factor_stack(a, "qr", lambda m: _qr_complete(m, function), lambda m, n: ((m, m), (m, n)))


def _swap(a):
    """Each matrix of a stack transposed, C-contiguous."""
    return np.ascontiguousarray(np.swapaxes(a, -1, -2))


_QR_MODES = ("reduced", "complete", "r")


def qr(a: npt.ArrayLike, mode: str = "reduced") -> Union[Tuple[Array, Array], Array]:
    """QR by Householder reflections: a = q @ r, q orthogonal, r upper
    trapezoidal, as numpy.linalg.qr with the same modes.

    The library computes the complete factorisation of a matrix with
    m >= n (``corx_matrix_qr``); the other forms are made from it:

    - m >= n: the reduced q and r are the first k = n columns of the
      complete q and the first n rows of the complete r, bits copied.
    - m < n: a = [a1 | a2] with a1 the leading m x m block. The library
      factorises a1 = q @ r1, and r = [r1 | q.T @ a2], where ``q.T @ a2``
      is :func:`matmul` of q transposed (bits copied) and a2. In exact
      arithmetic that is the Householder factorisation of a; the bits of
      its last n - m columns are those of that product. Here k = m, so the
      reduced and the complete forms are the same.

    No sign normalisation: diagonal entries of r may be negative.

    Parameters
    ----------
    a : array_like, shape (..., m, n)
        A matrix or a stack of them; booleans and integers are taken as
        float64.
    mode : {'reduced', 'complete', 'r'}, optional
        'reduced' (the default): q of shape (m, k) and r of shape (k, n),
        k = min(m, n). 'complete': q of shape (m, m) and r of shape (m, n).
        'r': only the r of 'reduced'.

    Returns
    -------
    q : numpy.ndarray, shape (..., m, k) or (..., m, m)
        Orthonormal columns. Not returned for mode 'r'.
    r : numpy.ndarray, shape (..., k, n) or (..., m, n)
        Upper trapezoidal.

    Raises
    ------
    ValueError
        For any other mode.
    MemoryError
        If the complete q the library computes would hold more than
        2**31 - 1 elements (min(m, n) > 46340 for a wide matrix, m > 46340
        for a tall one), in every mode, as numpy raises for what it cannot
        allocate.
    TypeError
        For complex, object, string and long double arrays.

    Examples
    --------
    >>> import corx
    >>> q, r = corx.qr([[3.0, 1.0], [4.0, 2.0], [0.0, 0.0]])
    >>> q.shape, r.shape
    ((3, 2), (2, 2))
    >>> r
    array([[-5. , -2.2],
           [ 0. , -0.4]])
    >>> corx.qr([[3.0, 1.0], [4.0, 2.0], [0.0, 0.0]], mode="complete")[0].shape
    (3, 3)
    >>> corx.qr([[3.0, 4.0, 0.0]], mode="r")  # wide: r = [r1 | q.T @ a2]
    array([[3., 4., 0.]])
    """
    function = "corx_matrix_qr"
    if mode not in _QR_MODES:
        raise ValueError(f"Unrecognized mode '{mode}'")
    a = _checked(a, function)
    single = _single(a)
    a = _matrices(a, function)
    complete = mode == "complete"
    rows, cols = a.shape[-2:]
    k = min(rows, cols)
    if a.size == 0:
        lead = a.shape[:-2]
        q = np.broadcast_to(np.eye(rows), lead + (rows, rows)).copy()
        r = np.zeros(a.shape)
    elif rows >= cols:
        _fits((rows, rows), function)  # q is m x m
        q, r = _qr_stack(a, function)
    else:
        # Wide: the factors of the leading square block, and q.T times the rest.
        q, r1 = _qr_stack(np.ascontiguousarray(a[..., :rows]), function)
        r = np.empty(a.shape)
        r[..., :rows] = r1
        qt, rest = _swap(q), np.ascontiguousarray(a[..., rows:])
        for idx in np.ndindex(*a.shape[:-2]):
            r[idx + (slice(None), slice(rows, None))] = matmul(qt[idx], rest[idx])
    if not complete:
        q, r = np.ascontiguousarray(q[..., :k]), np.ascontiguousarray(r[..., :k, :])
    return _result(r if mode == "r" else (q, r), single)


def _svd_tall(m, function):
    """The library's (u, s, v) of a 2-D float64 array with rows >= cols >= 1."""
    s = np.empty(m.shape[1], dtype=np.float64)
    u, v = _Matrix(), _Matrix()
    with u, v:
        with _dense_from(m, function) as h:
            status = _lib.corx_matrix_svd(h, ctypes.byref(u), _ptr(s), s.size, ctypes.byref(v))
        if status != SUCCESS:
            raise _error(status, function, f"{_shape(m)} has fewer rows than columns")
        return _array_of(u), s, _array_of(v)


def _svd_stack(a, function):
    """The library's thin (u, s, v) of every matrix of a tall stack."""
    return _factor_stack(a, "svd", lambda m: _svd_tall(m, function), lambda m, n: ((m, n), (n,), (n, n)))


def _completed(basis, function):
    """Each basis (p x r, p >= r >= 1) of a stack extended to p x p: its own
    columns first, bits unchanged, then the last p - r columns of the
    library's complete Q of basis (an orthonormal basis of the complement
    of basis's columns)."""
    p, r = basis.shape[-2:]
    if p == r:
        return basis
    _fits((p, p), function)  # before anything that size is allocated
    out = np.empty(basis.shape[:-1] + (p,))
    out[..., :r] = basis
    out[..., r:] = _qr_stack(basis, function)[0][..., r:]
    return out


def svd(a: npt.ArrayLike, full_matrices: bool = True,
        compute_uv: bool = True) -> Union[Tuple[Array, Array, Array], Array]:
    """Singular value decomposition by one-sided Jacobi, as
    numpy.linalg.svd returns it: (u, s, vh) with
    a = u[:, :k] @ diag(s) @ vh[:k], k = min(m, n).

    The library decomposes a matrix with m >= n (``corx_matrix_svd``):
    thin U (m x n), S (n values, descending) and V (n x n). From it:

    - m >= n: u is U and vh is V transposed (bits copied).
    - m < n: the library decomposes a.T (n x m) into U', S, V', and
      u = V' (m x m), vh = U' transposed (bits copied): a = V' S U'.T.
    - ``full_matrices=True`` completes the thin factor (U, or U' for a
      wide matrix) to a square one: its columns are kept as the library
      computed them, followed by the last columns of the library's
      complete QR factor Q of it (``corx_matrix_qr`` of U), which are
      orthonormal and orthogonal to U's columns to rounding. So are U's
      own columns only to the Jacobi tolerance 1e-12, and a column of U
      that the library leaves zero (a singular value lost below rounding)
      stays zero.

    No sign normalisation.

    Parameters
    ----------
    a : array_like, shape (..., m, n)
        A matrix or a stack of them; booleans and integers are taken as
        float64.
    full_matrices : bool, optional
        True (the default): u is (m, m) and vh is (n, n). False: u is
        (m, k) and vh is (k, n).
    compute_uv : bool, optional
        False: return only s (the library still computes U and V; no
        completion is made).

    Returns
    -------
    u : numpy.ndarray, shape (..., m, m) or (..., m, k)
        Not returned when ``compute_uv`` is False.
    s : numpy.ndarray, shape (..., k)
        The singular values in descending order.
    vh : numpy.ndarray, shape (..., n, n) or (..., k, n)
        Not returned when ``compute_uv`` is False.

    Raises
    ------
    MemoryError
        If a completed factor would hold more than 2**31 - 1 elements
        (``full_matrices=False`` avoids it), as numpy raises for what it
        cannot allocate.
    TypeError
        For complex, object, string and long double arrays.

    Examples
    --------
    >>> import corx
    >>> a = [[0.0, 2.0], [3.0, 0.0], [0.0, 0.0]]
    >>> u, s, vh = corx.svd(a)
    >>> u.shape, s, vh.shape
    ((3, 3), array([3., 2.]), (2, 2))
    >>> corx.svd(a, full_matrices=False)[0].shape
    (3, 2)
    >>> corx.svd([[0.0, 3.0, 0.0], [2.0, 0.0, 0.0]], compute_uv=False)
    array([3., 2.])
    """
    function = "corx_matrix_svd"
    a = _checked(a, function)
    single = _single(a)
    a = _matrices(a, function)
    if compute_uv and full_matrices and a.size:  # the completion's Q, before a stack is allocated
        _fits((max(a.shape[-2:]),) * 2, "corx_matrix_qr")

    rows, cols = a.shape[-2:]
    k = min(rows, cols)
    lead = a.shape[:-2]
    if a.size == 0:
        s = np.zeros(lead + (k,))
        if not compute_uv:
            return _result(s, single)
        if full_matrices:
            u = np.broadcast_to(np.eye(rows), lead + (rows, rows)).copy()
            vh = np.broadcast_to(np.eye(cols), lead + (cols, cols)).copy()
        else:
            u, vh = np.zeros(lead + (rows, k)), np.zeros(lead + (k, cols))
        return _result((u, s, vh), single)
    # Wide: the factors of the transpose, u and v exchanged.
    wide = rows < cols
    u, s, v = _svd_stack(_swap(a) if wide else a, function)
    if not compute_uv:
        return _result(s, single)
    if full_matrices:
        u = _completed(u, "corx_matrix_qr")
    if wide:
        u, v = v, u
    return _result((u, s, _swap(v)), single)


def slogdet(a: npt.ArrayLike) -> Tuple[Union[np.float64, Array], Union[np.float64, Array]]:
    """The sign and the natural logarithm of the absolute value of the
    determinant, as numpy.linalg.slogdet returns them.

    Both come from the library's determinant d (:func:`det`, computed in
    float64): sign is ``numpy.sign(d)`` and logabsdet is
    ``numpy.log(abs(d))``, numpy's arithmetic on the library's d (the last
    bit of the logarithm is numpy's). An exactly zero d gives
    (0.0, -inf), as numpy gives for a singular matrix.

    Limitation: the logarithm is of d itself, not a sum of the logarithms
    of LU's pivots (the library does not expose them). A determinant that
    overflows gives logabsdet = inf, one that underflows to zero gives
    (0.0, -inf), where numpy would give a finite logarithm; a NaN gives
    (nan, nan).

    Parameters
    ----------
    a : array_like, shape (..., n, n)
        A square matrix or a stack of them.

    Returns
    -------
    sign : numpy.float64 or numpy.ndarray, shape (...)
        1.0, -1.0 or 0.0.
    logabsdet : numpy.float64 or numpy.ndarray, shape (...)
        float32 for float32 input (rounded once from the float64 value).

    Raises
    ------
    NotSquareError
        (SHAPE_MISMATCH) if the matrices are not square; a LinAlgError too.
    TypeError
        For complex, object, string and long double arrays.

    Examples
    --------
    >>> import corx
    >>> corx.slogdet([[0.0, 2.0], [4.0, 0.0]])
    (-1.0, 2.0794415416798357)
    >>> corx.slogdet([[1.0, 2.0], [2.0, 4.0]])
    (0.0, -inf)
    """
    function = "corx_matrix_determinant"
    a = _checked(a, function)
    single = _single(a)
    d = np.asarray(det(_matrices(a, function)), dtype=np.float64)
    sign = np.sign(d)
    with np.errstate(divide="ignore"):
        logabsdet = np.log(np.abs(d))
    if d.ndim == 0:
        sign, logabsdet = np.float64(sign), np.float64(logabsdet)
    return _result((sign, logabsdet), single)


def lstsq(a: npt.ArrayLike, b: npt.ArrayLike,
          rcond: Union[float, None] = None) -> Tuple[Array, Array, int, Array]:
    """The least-squares solution x of a @ x = b for a of full column rank,
    through the library's QR; numpy.linalg.lstsq's return.

    With q (m x n) and r (n x n) the reduced :func:`qr` of a (bits of the
    library's complete factorisation), x is ``solve(r, matmul(q.T, b))``:
    :func:`matmul` of q transposed (bits copied) and b, then the library's
    LU solve with its step of refinement (:func:`solve`) on the triangular
    r, where partial pivoting keeps every row in place.

    The rank and s come from :func:`svd` of a (``compute_uv=False``): s is
    the library's singular values and the rank is how many exceed
    ``rcond * s[0]`` (``rcond`` defaults to machine epsilon times
    max(m, n), as numpy's). Only full column rank is solved: there is no
    minimum-norm solution as numpy gives for a rank-deficient a.

    residuals are the squared 2-norms of the columns of
    ``subtract(b, matmul(a, x))``, summed by numpy (``numpy.sum(e * e,
    axis=0)``); empty unless m > n, as numpy's.

    Parameters
    ----------
    a : array_like, shape (m, n)
        m >= n.
    b : array_like, shape (m,) or (m, k)
    rcond : float, optional
        The relative cut-off for the rank.

    Returns
    -------
    x : numpy.ndarray, shape (n,) or (n, k)
    residuals : numpy.ndarray, shape (1,), (k,) or (0,)
    rank : int
        n (anything less raises).
    s : numpy.ndarray, shape (n,)
        The singular values of a.

    Raises
    ------
    LinAlgError
        (SINGULAR) if the rank is less than n.
    ArgumentError
        (SHAPE_MISMATCH) if m < n, a is not 2-D, or b's rows differ from
        a's.
    TypeError
        For complex, object, string and long double arrays.

    Examples
    --------
    >>> import corx
    >>> x, residuals, rank, s = corx.lstsq([[1.0, 0.0], [0.0, 1.0], [0.0, 0.0]], [1.0, 2.0, 3.0])
    >>> x, residuals, rank
    (array([1., 2.]), array([9.]), 2)
    >>> corx.lstsq([[1.0, 1.0], [1.0, 1.0]], [1.0, 2.0])
    Traceback (most recent call last):
        ...
    corx.LinAlgError: corx_matrix_qr: Singular matrix (rank 1 of 2 columns; lstsq needs full column rank)
    """
    function = "corx_matrix_qr"
    a, b = _checked(a, function), _checked(b, function)
    single = _single(a, b)
    a, b = _matrix(a, function), _real(b, function)
    m, n = a.shape
    if m < n:
        raise _error(SHAPE_MISMATCH, function, f"{_shape(a)} has fewer rows than columns; lstsq needs m >= n")
    if b.ndim not in (1, 2) or b.shape[0] != m:
        raise _error(SHAPE_MISMATCH, function, f"{_shape(a)} system, right-hand side of shape {b.shape}")
    if n == 0 or b.size == 0:
        raise _error(SHAPE_MISMATCH, function, f"{_shape(a)} system, right-hand side of shape {b.shape}: "
                     "lstsq needs at least one column in a and in b")
    s = svd(a, compute_uv=False)
    cut = np.finfo(np.float64).eps * max(m, n) if rcond is None else float(rcond)
    rank = int(np.count_nonzero(s > cut * s[0]))
    if rank < n:
        raise _error(SINGULAR, function, f"rank {rank} of {n} columns; lstsq needs full column rank")
    q, r = qr(a)
    bs = b[:, None] if b.ndim == 1 else b
    x = solve(r, matmul(np.ascontiguousarray(q.T), bs))
    if m > n:
        e = subtract(bs, matmul(a, x))
        residuals = np.sum(e * e, axis=0)
    else:
        residuals = np.zeros(0)
    if b.ndim == 1:
        x = x[:, 0]
    return (*_result((x, residuals), single), rank, _result(s, single))


# ---- sparse matrices ------------------------------------------------------------------

class _Shared:
    """A handle that outlives calls: used by any number of calls at once,
    from any thread, and closed by any of them.

    A call takes a use before it hands the handle to the library (the GIL is
    released during the call) and gives it back after; close() only marks
    the handle closed, and whichever of close() and the last use comes last
    destroys it. So no call ever runs on a destroyed handle, whoever closes
    it and when. A use never given back (an interrupt between taking and
    the try) only delays the destroy until the owner is collected.
    """

    __slots__ = ("_handle", "_lock", "_uses", "_closed")

    def __init__(self, handle: _Handle):
        self._handle = handle
        self._lock = threading.Lock()
        self._uses = 0
        self._closed = False

    @property
    def closed(self) -> bool:
        return self._closed

    def take(self, function):
        with self._lock:
            if self._closed:
                raise _error(NULL_HANDLE, function, "the sparse matrix is closed")
            self._uses += 1
        return self._handle

    def give_back(self):
        with self._lock:
            self._uses -= 1
            last = self._closed and self._uses == 0
        if last:
            self._handle.release()

    def close(self):
        with self._lock:
            if self._closed:
                return
            self._closed = True
            last = self._uses == 0
        if last:
            self._handle.release()


def _scipy_csr(a):
    """The canonical CSR arrays (indptr, indices, data, shape) of a
    scipy.sparse matrix or array, or None for anything else. Duplicate
    entries are summed and rows sorted by scipy (``sum_duplicates``), on a
    copy: the sums of duplicates are scipy's arithmetic."""
    import sys
    sparse = sys.modules.get("scipy.sparse")  # a scipy matrix means scipy is imported
    if sparse is None or not sparse.issparse(a):
        return None
    if a.dtype.kind not in "biuf" or a.dtype.itemsize > 8 and a.dtype.kind == "f":
        raise TypeError(f"corx_sparse_from_csr: sparse arrays of {a.dtype} are not supported; "
                        "corx takes real numbers")
    csr = a.tocsr(copy=True)
    csr.sum_duplicates()
    return csr.indptr, csr.indices, csr.data, csr.shape


class SparseMatrix:
    """A compressed-sparse-row matrix held by the library.

    Made from CSR arrays (``SparseMatrix((data, indices, indptr),
    shape=...)`` as scipy's ``csr_matrix`` takes them, or
    :meth:`from_csr`), from any ``scipy.sparse`` matrix or array, or from a
    dense 2-D array; never changed afterwards. Entries equal to zero (of
    either sign) are not stored, NaN is. The handle is released by
    :meth:`close`, at the end of a ``with`` block, or when the object is
    garbage-collected, whichever comes first; a closed matrix raises
    NULL_HANDLE. Closing is safe at any time, from any thread: a call
    already running keeps the handle until it returns.

    ``copy.copy``, ``copy.deepcopy`` and ``pickle`` make an independent
    matrix with the same stored entries (the handle is never shared).

    Parameters
    ----------
    arg : array_like, scipy.sparse matrix or array, or tuple
        A dense 2-D array; a scipy sparse matrix (converted to CSR, its
        duplicate entries summed by scipy); or ``(data, indices, indptr)``.
    shape : tuple of int, optional
        (rows, columns); required with the tuple form.

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) for arrays that are not valid CSR: the message
        names the fault (row pointers not starting at 0, decreasing, not
        ending at the number of entries; a column out of range or out of
        order in its row; wrong lengths).
    TypeError
        For complex, object and string arrays.

    Examples
    --------
    >>> import corx
    >>> a = corx.SparseMatrix(([1.0, 2.0, 3.0], [0, 2, 1], [0, 2, 2, 3]), shape=(3, 3))
    >>> a.shape, a.nnz
    ((3, 3), 3)
    >>> a @ [1.0, 1.0, 1.0]
    array([3., 0., 3.])
    >>> a.T.toarray()
    array([[1., 0., 0.],
           [0., 0., 3.],
           [2., 0., 0.]])
    >>> corx.SparseMatrix(([1.0], [5], [0, 1]), shape=(1, 3))
    Traceback (most recent call last):
        ...
    corx.ArgumentError: corx_sparse_from_csr: Shape mismatch (a column index is out of range)
    """

    def __init__(self, arg, shape: Union[Tuple[int, int], None] = None):
        csr = _scipy_csr(arg)
        if csr is None and isinstance(arg, tuple) and len(arg) == 3:
            data, indices, indptr = arg
            if shape is None:
                raise _error(SHAPE_MISMATCH, "corx_sparse_from_csr", "the (data, indices, indptr) form needs shape")
            csr = (indptr, indices, data, shape)
        if csr is not None:
            self._from_csr(*csr)
            return
        function = "corx_sparse_from_dense"
        arr = _matrix(arg, function)
        if shape is not None and tuple(shape) != arr.shape:
            raise _error(SHAPE_MISMATCH, function, f"a {_shape(arr)} array for shape {tuple(shape)}")
        with _dense_from(arr, function) as h:
            handle = _lib.corx_sparse_from_dense(h)
        if not handle:
            raise _error(NULL_HANDLE, function)
        self._owner = _Shared(handle)
        self.shape: Tuple[int, int] = arr.shape
        rows, cols = np.nonzero(arr)  # row-major: the library's order
        counts = np.bincount(rows, minlength=arr.shape[0])
        self._arrays = (np.concatenate(([0], np.cumsum(counts))).astype(np.int64), cols.astype(np.int32),
                        arr[rows, cols])

    @classmethod
    def from_csr(cls, indptr: npt.ArrayLike, indices: npt.ArrayLike, data: npt.ArrayLike,
                 shape: Tuple[int, int]) -> "SparseMatrix":
        """A matrix from compressed-sparse-row arrays: the entries of row i
        are ``data[k]`` in column ``indices[k]`` for
        ``indptr[i] <= k < indptr[i + 1]``, columns strictly increasing in
        each row.

        Parameters
        ----------
        indptr : array_like of int, shape (rows + 1,)
        indices : array_like of int, shape (nnz,)
        data : array_like, shape (nnz,)
            Booleans, integers or floats, taken as float64.
        shape : tuple of int
            (rows, columns), each at least 1.

        Returns
        -------
        SparseMatrix

        Raises
        ------
        ArgumentError
            (SHAPE_MISMATCH) for arrays that are not valid CSR, the fault
            named in the message; (NULL_HANDLE) never from this method.
        TypeError
            For non-integer index arrays, or data that are not real numbers.

        Examples
        --------
        >>> import corx
        >>> corx.SparseMatrix.from_csr([0, 1, 2], [1, 0], [5.0, 7.0], (2, 2)).toarray()
        array([[0., 5.],
               [7., 0.]])
        """
        self = cls.__new__(cls)
        self._from_csr(indptr, indices, data, shape)
        return self

    def _from_csr(self, indptr, indices, data, shape):
        function = "corx_sparse_from_csr"
        indptr, indices = np.asarray(indptr), np.asarray(indices)
        for name, arr in (("indptr", indptr), ("indices", indices)):
            if arr.dtype.kind not in "iu" and not (arr.size == 0 and arr.dtype.kind == "f"):
                raise TypeError(f"{function}: {name} must hold integers, not {arr.dtype}")
        data = _real(data, function)
        try:
            rows, cols = (operator.index(d) for d in shape)
        except (TypeError, ValueError):
            raise TypeError(f"{function}: shape must be two integers, got {shape!r}") from None
        if indptr.ndim != 1 or indices.ndim != 1 or data.ndim != 1 or indices.size != data.size:
            raise _error(SHAPE_MISMATCH, function, f"indptr, indices and data must be 1-D, indices and data "
                         f"of one length (got {indptr.shape}, {indices.shape}, {data.shape})")
        if not (1 <= rows <= _INT32_MAX and 1 <= cols <= _INT32_MAX):
            raise _error(SHAPE_MISMATCH, function, f"shape {(rows, cols)}: each dimension 1 to 2147483647")
        # Values the C types cannot hold would wrap into valid-looking ones.
        if indices.size and (int(indices.min()) < -2**31 or int(indices.max()) > _INT32_MAX):
            raise _error(SHAPE_MISMATCH, function, _CSR_FAULTS[6])
        if indptr.size and int(indptr.max()) > 2**63 - 1:
            raise _error(SHAPE_MISMATCH, function, "a row pointer exceeds 2**63 - 1")
        p = np.ascontiguousarray(indptr, dtype=np.int64)
        i = np.ascontiguousarray(indices, dtype=np.int32)
        cell, fault = _Sparse(), ctypes.c_int32(0)
        status = _lib.corx_sparse_from_csr(rows, cols, p.ctypes.data_as(ctypes.POINTER(ctypes.c_int64)), p.size,
                                           i.ctypes.data_as(ctypes.POINTER(ctypes.c_int32)), _ptr(data),
                                           data.size, ctypes.byref(cell), ctypes.byref(fault))
        if status != SUCCESS:
            raise _error(status, function, _CSR_FAULTS.get(fault.value, ""))
        self._owner = _Shared(cell)
        self.shape = (rows, cols)
        keep = data != 0.0  # the library drops zeros of either sign
        counts = np.bincount(np.repeat(np.arange(rows), np.diff(p))[keep], minlength=rows)
        self._arrays = (np.concatenate(([0], np.cumsum(counts))).astype(np.int64), i[keep], data[keep])

    def close(self) -> None:
        """Releases the handle (once; later calls do nothing). A call still
        running on another thread finishes first.

        Examples
        --------
        >>> import corx
        >>> s = corx.SparseMatrix([[1.0, 0.0]])
        >>> s.close()
        >>> s.nnz
        Traceback (most recent call last):
            ...
        corx.ArgumentError: corx_sparse_nnz: Null handle (the sparse matrix is closed)
        """
        self._owner.close()

    def __enter__(self) -> "SparseMatrix":
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __reduce__(self):
        # A copy gets a handle of its own, rebuilt from the stored entries
        # (never through a dense array, which may not fit).
        indptr, indices, data = self._entries("corx_sparse_from_csr")
        return (_sparse_from_csr, (indptr, indices, data, self.shape))

    def _entries(self, function):
        """The stored entries as CSR arrays (a closed matrix has none)."""
        if self._owner.closed:
            raise _error(NULL_HANDLE, function, "the sparse matrix is closed")
        return self._arrays

    def _call(self, function, fn, *args):
        """fn(handle, *args) with the handle held for the call. The array
        arguments are converted before: an __array__ that closes the matrix
        makes the call fail, not run on a destroyed handle."""
        handle = self._owner.take(function)
        try:
            return fn(handle, *args)
        finally:
            self._owner.give_back()

    @property
    def nnz(self) -> int:
        """The number of stored entries."""
        return self._call("corx_sparse_nnz", _lib.corx_sparse_nnz)

    def to_dense(self) -> Array:
        """A dense numpy copy: the stored entries, +0.0 elsewhere.

        Returns
        -------
        numpy.ndarray, shape (rows, cols)

        Raises
        ------
        MemoryError
            For a matrix of more than 2**31 - 1 elements, as numpy raises
            for an array it cannot allocate.
        ArgumentError
            (NULL_HANDLE) if the matrix is closed.

        Examples
        --------
        >>> import corx
        >>> corx.SparseMatrix([[0.0, 2.0]]).to_dense()
        array([[0., 2.]])
        """
        function = "corx_sparse_to_dense"
        _fits(self.shape, function)
        out = _take(self._call(function, _lib.corx_sparse_to_dense))
        if out is None:
            raise _error(NULL_HANDLE, function)
        return out

    def toarray(self) -> Array:
        """The same as :meth:`to_dense`, under scipy's name.

        Returns
        -------
        numpy.ndarray, shape (rows, cols)

        Examples
        --------
        >>> import corx
        >>> corx.SparseMatrix([[0.0, 2.0], [-0.0, 3.0]]).toarray()
        array([[0., 2.],
               [0., 3.]])
        """
        return self.to_dense()

    @property
    def T(self) -> "SparseMatrix":
        """The transpose, a new matrix (the entries' bits copied; the CSR
        arrays reordered by column, no arithmetic)."""
        indptr, indices, data = self._entries("corx_sparse_from_csr")
        order = np.argsort(indices, kind="stable")  # by column, rows increasing within each
        rows = np.repeat(np.arange(self.shape[0], dtype=np.int32), np.diff(indptr))
        counts = np.bincount(indices, minlength=self.shape[1])
        t_indptr = np.concatenate(([0], np.cumsum(counts))).astype(np.int64)
        return _sparse_from_csr(t_indptr, rows[order], data[order], self.shape[::-1])

    def matvec(self, x: npt.ArrayLike) -> Array:
        """self @ x over the stored entries, each row summed from +0.0 in
        entry order.

        Parameters
        ----------
        x : array_like, shape (cols,)

        Returns
        -------
        numpy.ndarray, shape (rows,)

        Raises
        ------
        ArgumentError
            (SHAPE_MISMATCH) if x has another length; (NULL_HANDLE) if the
            matrix is closed.

        Examples
        --------
        >>> import corx
        >>> corx.SparseMatrix([[1.0, 0.0], [0.0, 2.0]]).matvec([3.0, 4.0])
        array([3., 8.])
        """
        function = "corx_sparse_matvec"
        x = _vector(x, function)
        y = np.empty(self.shape[0], dtype=np.float64)
        n = self._call(function, _lib.corx_sparse_matvec, _ptr(x), x.size, _ptr(y), y.size)
        if n < 0:  # -1 whatever the cause: the length of x is the only one left
            raise _error(SHAPE_MISMATCH, function, f"{self.shape[0]}x{self.shape[1]} @ a vector of {x.size}")
        return y

    def _matmat(self, x):
        """self @ x for x of shape (shape[1], k): each column the product
        with that column alone (its bits), the handle held for all of them."""
        function = "corx_sparse_matvec"
        if x.shape[0] != self.shape[1]:
            raise _error(SHAPE_MISMATCH, function, f"{self.shape[0]}x{self.shape[1]} @ {_shape(x)}")
        columns = np.ascontiguousarray(x.T)
        handle = self._owner.take(function)
        try:
            if _ext is not None:  # every column with the lock released once
                out = _ext.sparse_matmat(handle.value, columns, self.shape[0])
            else:
                out = np.empty((x.shape[1], self.shape[0]), dtype=np.float64)
                for j in range(columns.shape[0]):
                    _lib.corx_sparse_matvec(handle, _ptr(columns[j]), self.shape[1], _ptr(out[j]), self.shape[0])
        finally:
            self._owner.give_back()
        return np.ascontiguousarray(out.T)

    def __matmul__(self, x: npt.ArrayLike) -> Array:
        """self @ x for a vector (shape[1],) or a matrix (shape[1], k),
        float64 whatever x's type, as scipy gives for a float64 matrix (the
        library stores float64)."""
        x = _real(x, "corx_sparse_matvec")
        return self._matmat(x) if x.ndim == 2 else self.matvec(x)

    def __repr__(self) -> str:
        try:
            state = f"nnz={self.nnz}"
        except Error:
            state = "closed"
        return f"corx.SparseMatrix(shape={self.shape}, {state})"


def _sparse_from_csr(indptr, indices, data, shape):
    return SparseMatrix.from_csr(indptr, indices, data, shape)


# ---- fixed-size vectors ---------------------------------------------------------------

_VEC_TYPES = {2: _Vec2, 3: _Vec3, 4: _Vec4}


def _vec(v, what, sizes=(2, 3, 4)):
    arr = _real(v, what)
    if arr.ndim != 1 or arr.size not in sizes:
        raise _error(SHAPE_MISMATCH, what,
                    f"expected {' or '.join(map(str, sizes))} components, got shape {arr.shape}")
    return _VEC_TYPES[arr.size](*(float(c) for c in arr))


def _array(v):
    return np.array([getattr(v, f) for f, _ in v._fields_], dtype=np.float64)


def _vec_call(op, *vs, extra=(), sizes=(2, 3, 4)):
    cs = [_vec(v, f"corx_vec*_{op}", sizes) for v in vs]
    n = len(cs[0]._fields_)
    if any(len(c._fields_) != n for c in cs):
        raise _error(SHAPE_MISMATCH, f"corx_vec*_{op}", "the vectors differ in length")
    return getattr(_lib, f"corx_vec{n}_{op}")(*cs, *extra)


def vec_add(a: npt.ArrayLike, b: npt.ArrayLike) -> Array:
    """a + b for vectors of 2, 3 or 4 components.

    Parameters
    ----------
    a, b : array_like, shape (2,), (3,) or (4,)

    Returns
    -------
    numpy.ndarray

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) for vectors of another length, or of different lengths.

    Examples
    --------
    >>> import corx
    >>> corx.vec_add([1.0, 2.0], [3.0, 4.0])
    array([4., 6.])
    """
    return _array(_vec_call("add", a, b))


def vec_sub(a: npt.ArrayLike, b: npt.ArrayLike) -> Array:
    """a - b for vectors of 2, 3 or 4 components.

    Parameters
    ----------
    a, b : array_like, shape (2,), (3,) or (4,)

    Returns
    -------
    numpy.ndarray

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) for vectors of another length, or of different lengths.

    Examples
    --------
    >>> import corx
    >>> corx.vec_sub([1.0, 2.0, 3.0], [1.0, 1.0, 1.0])
    array([0., 1., 2.])
    """
    return _array(_vec_call("sub", a, b))


def vec_scale(v: npt.ArrayLike, factor: float) -> Array:
    """v * factor for a vector of 2, 3 or 4 components.

    Parameters
    ----------
    v : array_like, shape (2,), (3,) or (4,)
    factor : float

    Returns
    -------
    numpy.ndarray

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) for vectors of another length, or of different lengths.

    Examples
    --------
    >>> import corx
    >>> corx.vec_scale([1.0, 2.0, 3.0, 4.0], 2)
    array([2., 4., 6., 8.])
    """
    return _array(_vec_call("scale", v, extra=(float(factor),)))


def vec_dot(a: npt.ArrayLike, b: npt.ArrayLike) -> float:
    """The dot product, accumulated from +0.0 in component order.

    Parameters
    ----------
    a, b : array_like, shape (2,), (3,) or (4,)

    Returns
    -------
    float

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) for vectors of another length, or of different lengths.

    Examples
    --------
    >>> import corx
    >>> corx.vec_dot([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
    32.0
    """
    return _vec_call("dot", a, b)


def vec_length(v: npt.ArrayLike) -> float:
    """sqrt(dot(v, v)), without scaling (can overflow or underflow).

    Parameters
    ----------
    v : array_like, shape (2,), (3,) or (4,)

    Returns
    -------
    float

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) for vectors of another length, or of different lengths.

    Examples
    --------
    >>> import corx
    >>> corx.vec_length([3.0, 4.0])
    5.0
    """
    return _vec_call("length", v)


def vec_normalize(v: npt.ArrayLike) -> Array:
    """v / length(v); the zero vector when the length is 0.

    Parameters
    ----------
    v : array_like, shape (2,), (3,) or (4,)

    Returns
    -------
    numpy.ndarray

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) for vectors of another length, or of different lengths.

    Examples
    --------
    >>> import corx
    >>> corx.vec_normalize([3.0, 4.0])
    array([0.6, 0.8])
    """
    return _array(_vec_call("normalize", v))


def vec_almost_equal(a: npt.ArrayLike, b: npt.ArrayLike, epsilon: float) -> bool:
    """True when ``epsilon > abs(a - b)`` in every component (2 or 3 components).

    Parameters
    ----------
    a, b : array_like, shape (2,) or (3,)
    epsilon : float

    Returns
    -------
    bool

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) for vectors of another length, or of different lengths.

    Examples
    --------
    >>> import corx
    >>> corx.vec_almost_equal([1.0, 2.0], [1.0, 2.05], 0.1)
    True
    """
    return bool(_vec_call("almost_equal", a, b, extra=(float(epsilon),), sizes=(2, 3)))


def cross2d(a: npt.ArrayLike, b: npt.ArrayLike) -> float:
    """a.x*b.y - a.y*b.x for 2-component vectors.

    Parameters
    ----------
    a, b : array_like, shape (2,)

    Returns
    -------
    float

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) for vectors of another length, or of different lengths.

    Examples
    --------
    >>> import corx
    >>> corx.cross2d([1.0, 0.0], [0.0, 1.0])
    1.0
    """
    return _lib.corx_vec2_cross2d(_vec(a, "corx_vec2_cross2d", (2,)), _vec(b, "corx_vec2_cross2d", (2,)))


def perp(v: npt.ArrayLike) -> Array:
    """(-v.y, v.x): a quarter turn counter-clockwise.

    Parameters
    ----------
    v : array_like, shape (2,)

    Returns
    -------
    numpy.ndarray, shape (2,)

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) for vectors of another length, or of different lengths.

    Examples
    --------
    >>> import corx
    >>> corx.perp([1.0, 2.0])
    array([-2.,  1.])
    """
    return _array(_lib.corx_vec2_perp(_vec(v, "corx_vec2_perp", (2,))))


def perp_cw(v: npt.ArrayLike) -> Array:
    """(v.y, -v.x): a quarter turn clockwise.

    Parameters
    ----------
    v : array_like, shape (2,)

    Returns
    -------
    numpy.ndarray, shape (2,)

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) for vectors of another length, or of different lengths.

    Examples
    --------
    >>> import corx
    >>> corx.perp_cw([1.0, 2.0])
    array([ 2., -1.])
    """
    return _array(_lib.corx_vec2_perp_cw(_vec(v, "corx_vec2_perp_cw", (2,))))


def cross(a: npt.ArrayLike, b: npt.ArrayLike) -> Array:
    """The cross product of two 3-component vectors.

    Parameters
    ----------
    a, b : array_like, shape (3,)

    Returns
    -------
    numpy.ndarray, shape (3,)

    Raises
    ------
    ArgumentError
        (SHAPE_MISMATCH) for vectors of another length, or of different lengths.

    Examples
    --------
    >>> import corx
    >>> corx.cross([1.0, 0.0, 0.0], [0.0, 1.0, 0.0])
    array([0., 0., 1.])
    """
    return _array(_lib.corx_vec3_cross(_vec(a, "corx_vec3_cross", (3,)), _vec(b, "corx_vec3_cross", (3,))))


# ---- limb primitives --------------------------------------------------------------------

def udiv128(hi: int, lo: int, divisor: int) -> Tuple[int, int]:
    """(quotient mod 2**64, remainder) of (hi * 2**64 + lo) / divisor.

    Never raises for a zero divisor: the library answers (2**64 - 1, lo).

    Parameters
    ----------
    hi, lo, divisor : int
        Each an integer in 0 .. 2**64 - 1.

    Returns
    -------
    tuple of int
        (quotient, remainder).

    Raises
    ------
    TypeError
        For anything that is not an integer (2.0 and True included).
    ValueError
        For an integer outside 0 .. 2**64 - 1.

    Examples
    --------
    >>> import corx
    >>> corx.udiv128(1, 0, 3)
    (6148914691236517205, 1)
    """
    q, r = ctypes.c_uint64(), ctypes.c_uint64()
    _lib.corvane_udiv128(_limb(hi), _limb(lo), _limb(divisor), ctypes.byref(q), ctypes.byref(r))
    return q.value, r.value


def clz64(x: int) -> int:
    """The number of leading zero bits of a 64-bit value (64 for 0).

    Parameters
    ----------
    x : int
        An integer in 0 .. 2**64 - 1.

    Returns
    -------
    int

    Raises
    ------
    TypeError
        For anything that is not an integer (2.9 and True included).
    ValueError
        For an integer outside 0 .. 2**64 - 1.

    Examples
    --------
    >>> import corx
    >>> corx.clz64(1), corx.clz64(2**63), corx.clz64(0)
    (63, 0, 64)
    """
    return _lib.corvane_clz64(_limb(x))


def _limb(x):
    # Integers only (int() would truncate 2.9 to 2), and in range: ctypes
    # would silently keep only the low 64 bits of a wider integer.
    if isinstance(x, (bool, np.bool_)):
        raise TypeError(f"expected an integer, got {type(x).__name__}")
    try:
        x = operator.index(x)
    except TypeError:
        raise TypeError(f"expected an integer, got {type(x).__name__}") from None
    if not 0 <= x <= _UINT64_MASK:
        raise ValueError(f"{x} is not an unsigned 64-bit value")
    return x


# ---- tile steps and the Cholesky solve --------------------------------------------------
# The steps from which corx.dask assembles the product, the Cholesky factor
# and the Cholesky solve tile by tile; each continues the chains of the
# single call (see the tile steps in corx.h for the orders).

def _tile_step(function, *arrays):
    """A tile step on 2-D float64 arrays; None when the library refuses
    (a shape mismatch or, for the diagonal factor, a pivot <= 0)."""
    mats = [_matrix(x, function) for x in arrays]
    with contextlib.ExitStack() as stack:
        handles = [stack.enter_context(_dense_from(m, function)) for m in mats]
        return _take(getattr(_lib, function)(*handles))


def _step_or_raise(function, rule, *arrays):
    out = _tile_step(function, *arrays)
    if out is None:
        shapes = ", ".join(_shape(np.asarray(x)) for x in arrays)
        raise _error(SHAPE_MISMATCH, function, f"{shapes}: {rule}")
    return out


def mul_add(c: npt.ArrayLike, a: npt.ArrayLike, b: npt.ArrayLike) -> Array:
    """c + a @ b in the product's order, continuing from c: each element
    adds b[k, j] * a[i, k] for k = 0, 1, ... to c[i, j]. With c all +0.0
    this is :func:`matmul`, and chaining it over consecutive ranges of k
    gives the whole product, bit for bit."""
    return _step_or_raise("corx_matrix_mul_add", "c must be a's rows x b's columns, a's columns b's rows", c, a, b)


def mul_sub_t(c: npt.ArrayLike, a: npt.ArrayLike, b: npt.ArrayLike) -> Array:
    """c - a @ b.T in Cholesky's order: each element subtracts
    b[j, k] * a[i, k] for k = 0, 1, ... one at a time."""
    return _step_or_raise("corx_matrix_mul_sub_t", "c must be a's rows x b's rows, a and b equal in columns", c, a, b)


def cholesky_lower(a: npt.ArrayLike) -> Array:
    """The Cholesky factor of a's lower triangle, without the symmetry test
    (the step for a diagonal tile). Raises LinAlgError (NOT_SPD) when a
    pivot is not positive."""
    function = "corx_matrix_cholesky_lower"
    m = _matrix(a, function)
    _square(m, function)
    out = _tile_step(function, m)
    if out is None:
        raise _error(NOT_SPD, function, "a pivot is not positive")
    return out


def cholesky_below(c: npt.ArrayLike, l: npt.ArrayLike) -> Array:
    """X with X @ l.T = c in Cholesky's order (the step for the tiles below
    a diagonal tile; only l's lower triangle is read)."""
    return _step_or_raise("corx_matrix_cholesky_below", "l must be square with c's columns as its order", c, l)


def solve_spd(a: npt.ArrayLike, b: npt.ArrayLike, check_symmetric: bool = False) -> Array:
    """Solves a @ x = b for a symmetric positive definite a through its
    Cholesky factor L (:func:`cholesky`'s, bit for bit): forward
    substitution with products subtracted in increasing k, then back
    substitution with them subtracted in decreasing k.

    b is ``(n,)`` or ``(n, k)``. As :func:`cholesky`, only the lower
    triangle of a is read unless ``check_symmetric=True``. Raises
    LinAlgError (NOT_SPD) when a pivot is not positive or, with
    ``check_symmetric=True``, a is not exactly symmetric; NotSquareError and
    ArgumentError for shapes.
    """
    function = "corx_matrix_cholesky_solve"
    a, b = _checked(a, function), _checked(b, function)
    single = _single(a, b)
    m = _matrix(a, function)
    _square(m, function)
    rhs = _real(b, function)
    if rhs.ndim not in (1, 2) or rhs.shape[0] != m.shape[0]:
        raise _error(SHAPE_MISMATCH, function, f"{_shape(m)} with a right-hand side of {_shape(rhs)}")
    vector = rhs.ndim == 1
    rhs2 = rhs.reshape(rhs.shape[0], -1)
    if rhs2.size == 0:
        return _result(np.zeros(rhs.shape), single)
    if not check_symmetric:
        sym = np.array(m, order="C")
        above = np.triu_indices(m.shape[0], 1)
        sym[above] = m.T[above]  # bits copied from below the diagonal
        m = sym
    x = np.empty_like(rhs2)
    with _dense_from(m, function) as h:
        n = _lib.corx_matrix_cholesky_solve(h, _ptr(rhs2), rhs2.size, rhs2.shape[1], _ptr(x), x.size)
    if n < 0:
        raise _error(-n, function, "not exactly symmetric, or a pivot is not positive" if -n == NOT_SPD else "")
    return _result(x[:, 0] if vector else x, single)
