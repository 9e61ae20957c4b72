"""corx for Python: reproducible linear algebra on numpy arrays.

The package calls the corx shared library through ctypes. Every function
takes numpy arrays (or anything ``np.asarray`` accepts), converts them to
C-contiguous float64, copies them into the library, and returns new numpy
arrays; results are the library's, bit for bit. Dense matrices never outlive
a call: each function makes its handles, uses them and destroys them before
it returns, failures included. Only :class:`SparseMatrix` holds a handle
across calls, and it releases it on :meth:`SparseMatrix.close`, at the end of
a ``with`` block or when it is garbage-collected, exactly once.

Every failure is raised as :class:`corx.Error`, which carries the status code
(``code``) and the library's text for it (``status_text``).

The library is found in this order: the path in the environment variable
``CORX_LIBRARY``; ``build/libcorx.so`` of the source tree this package sits
in; ``libcorx.so.1`` through the system loader (an installed library).

Importing the package does not call ``corx_init``; see :func:`init`.
"""

import ctypes
import os
import pathlib
import weakref

import numpy as np

__all__ = [
    "Error", "SUCCESS", "NULL_HANDLE", "SHAPE_MISMATCH", "SINGULAR", "NOT_SPD", "BUFFER_TOO_SMALL",
    "init", "version", "error_string",
    "add", "subtract", "matmul", "scale", "transpose", "almost_equal",
    "det", "solve", "cholesky", "qr", "svd", "SparseMatrix",
    "vec_add", "vec_sub", "vec_scale", "vec_dot", "vec_length", "vec_normalize", "vec_almost_equal",
    "cross2d", "perp", "perp_cw", "cross", "udiv128", "clz64",
]

SUCCESS = 0
NULL_HANDLE = 1
SHAPE_MISMATCH = 2
SINGULAR = 3
NOT_SPD = 4
BUFFER_TOO_SMALL = 5

_INT32_MAX = 2**31 - 1
_UINT64_MASK = 2**64 - 1


# ---- loading --------------------------------------------------------------

def _load():
    path = os.environ.get("CORX_LIBRARY")
    if path:
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            raise ImportError(f"corx: cannot load CORX_LIBRARY={path!r}: {e}") from e
    built = pathlib.Path(__file__).resolve().parents[2] / "build" / "libcorx.so"
    if built.is_file():
        return ctypes.CDLL(str(built))
    try:
        return ctypes.CDLL("libcorx.so.1")
    except OSError as e:
        raise ImportError(
            "corx: libcorx.so not found; build it (scripts/demo.sh or cmake), install it, "
            "or set CORX_LIBRARY to its path") from e


class _Vec2(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double)]


class _Vec3(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double), ("z", ctypes.c_double)]


class _Vec4(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double), ("z", ctypes.c_double),
                ("w", ctypes.c_double)]


def _declare(lib):
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
        "corx_matrix_cholesky": (h, [h]),
        "corx_matrix_qr": (i32, [h, hp, hp]),
        "corx_matrix_svd": (i32, [h, hp, dp, i64, hp]),
        "corx_sparse_from_dense": (h, [h]),
        "corx_sparse_to_dense": (h, [h]),
        "corx_sparse_destroy": (None, [h]),
        "corx_sparse_nnz": (i32, [h]),
        "corx_sparse_matvec": (i32, [h, dp, i64, dp, i64]),
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
    for name, (restype, argtypes) in sig.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


_lib = _declare(_load())

if not _lib.corx_version().decode().startswith("1."):
    raise ImportError(f"corx: the loaded library is version {_lib.corx_version().decode()}, "
                      "this package needs 1.x")


# ---- errors and lifecycle ---------------------------------------------------

def error_string(code):
    """The library's text for a status code ("Unknown error" outside 0..5)."""
    return _lib.corx_get_error_string(int(code)).decode()


class Error(Exception):
    """A failed corx call.

    ``code`` is the status (NULL_HANDLE, SHAPE_MISMATCH, SINGULAR, NOT_SPD,
    BUFFER_TOO_SMALL), ``status_text`` the library's text for it and
    ``function`` the C function that failed. Where the C function reports no
    code (a null handle, or -1 for every cause), the package works out the
    cause from the arguments: a Cholesky factorisation refused for a matrix
    that is not symmetric positive definite comes back as NOT_SPD.
    """

    def __init__(self, code, function, detail=""):
        self.code = int(code)
        self.function = function
        self.status_text = error_string(code)
        self.detail = detail
        text = f"{function}: {self.status_text}"
        super().__init__(f"{text} ({detail})" if detail else text)


def version():
    """The library version, "1.0.0"."""
    return _lib.corx_version().decode()


def init():
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
    """
    _lib.corx_init()


# ---- handles ------------------------------------------------------------------

_dptr = ctypes.POINTER(ctypes.c_double)


def _ptr(arr):
    return arr.ctypes.data_as(_dptr)


def _shape(arr):
    return "x".join(str(d) for d in arr.shape) if arr.ndim else "scalar"


def _matrix(a, function):
    arr = np.ascontiguousarray(a, dtype=np.float64)
    if arr.ndim != 2:
        raise Error(SHAPE_MISMATCH, function, f"expected a 2-D array, got shape {arr.shape}")
    return arr


def _vector(x, function):
    arr = np.ascontiguousarray(x, dtype=np.float64)
    if arr.ndim != 1:
        raise Error(SHAPE_MISMATCH, function, f"expected a 1-D array, got shape {arr.shape}")
    return arr


class _Dense:
    """One dense handle, destroyed when the with-block ends."""

    __slots__ = ("handle",)

    def __init__(self, handle):
        self.handle = handle

    def __enter__(self):
        return self.handle

    def __exit__(self, *exc):
        handle, self.handle = self.handle, None
        if handle:
            _lib.corx_matrix_destroy(handle)
        return False


def _dense_from(arr, function):
    """A new handle holding the 2-D float64 array arr (to be used in a with-block)."""
    rows, cols = arr.shape
    if rows < 1 or cols < 1 or rows * cols > _INT32_MAX:
        raise Error(SHAPE_MISMATCH, "corx_matrix_create_from_buffer",
                    f"{function}: a {rows}x{cols} array; both dimensions must be at least 1 "
                    "and rows*cols at most 2147483647")
    h = _lib.corx_matrix_create_from_buffer(rows, cols, _ptr(arr), arr.size)
    if not h:  # the dimensions were checked above; the library refuses nothing else
        raise Error(SHAPE_MISMATCH, "corx_matrix_create_from_buffer", f"{rows}x{cols}")
    return _Dense(h)


def _array_of(handle):
    """The contents of a dense handle as a new numpy array."""
    rows, cols = _lib.corx_matrix_rows(handle), _lib.corx_matrix_cols(handle)
    if rows * cols > _INT32_MAX:  # the library copies out at most this many
        raise Error(BUFFER_TOO_SMALL, "corx_matrix_get_buffer",
                    f"{rows}x{cols} holds more than 2147483647 elements")
    out = np.empty((rows, cols), dtype=np.float64)
    n = _lib.corx_matrix_get_buffer(handle, _ptr(out), out.size)
    if n < 0:
        raise Error(-n, "corx_matrix_get_buffer")
    return out


def _take(handle):
    """Copies a new dense handle out and destroys it; None means the call failed."""
    if not handle:
        return None
    with _Dense(handle) as h:
        return _array_of(h)


# ---- dense arithmetic ------------------------------------------------------------

def _binary(name, a, b, op, rule):
    function = f"corx_matrix_{name}"
    a, b = _matrix(a, function), _matrix(b, function)
    with _dense_from(a, function) as ha, _dense_from(b, function) as hb:
        out = _take(getattr(_lib, function)(ha, hb))
    if out is None:
        raise Error(SHAPE_MISMATCH, function, f"{_shape(a)} {op} {_shape(b)}: {rule}")
    return out


def add(a, b):
    """a + b, element by element; the shapes must be equal."""
    return _binary("add", a, b, "+", "the shapes must be equal")


def subtract(a, b):
    """a - b, element by element; the shapes must be equal."""
    return _binary("sub", a, b, "-", "the shapes must be equal")


def matmul(a, b):
    """The matrix product a @ b, each element summed in increasing k."""
    return _binary("mul", a, b, "@", "the left operand's columns must equal the right operand's rows")


def _unary(function, a, *args):
    a = _matrix(a, function)
    with _dense_from(a, function) as h:
        out = _take(getattr(_lib, function)(h, *args))
    if out is None:
        raise Error(NULL_HANDLE, function)
    return out


def scale(a, factor):
    """Every element of a times factor."""
    return _unary("corx_matrix_scale", a, float(factor))


def transpose(a):
    """The transpose of a, bits unchanged."""
    return _unary("corx_matrix_transpose", a)


def almost_equal(a, b, tolerance):
    """True when the shapes match and |a - b| <= tolerance everywhere.

    A predicate: False (not an exception) for different shapes and for a
    tolerance that is negative, NaN or infinite.
    """
    function = "corx_matrix_almost_equal"
    a, b = _matrix(a, function), _matrix(b, function)
    with _dense_from(a, function) as ha, _dense_from(b, function) as hb:
        return bool(_lib.corx_matrix_almost_equal(ha, hb, float(tolerance)))


# ---- solvers and decompositions -----------------------------------------------------

def det(a):
    """The determinant of a square matrix (0.0 for a singular one)."""
    function = "corx_matrix_determinant"
    a = _matrix(a, function)
    ok = ctypes.c_int32(0)
    with _dense_from(a, function) as h:
        d = _lib.corx_matrix_determinant(h, ctypes.byref(ok))
    if ok.value != 1:
        raise Error(SHAPE_MISMATCH, function, f"{_shape(a)} is not square")
    return d


def solve(a, b, refine=True):
    """x with a @ x = b, by LU with partial pivoting.

    With ``refine`` (the default) one step of refinement follows, on a
    residual computed exactly. Raises SINGULAR for a matrix with an exactly
    zero pivot, SHAPE_MISMATCH when a is not square or b's length differs.
    """
    function = "corx_matrix_lu_solve"
    a, b = _matrix(a, function), _vector(b, function)
    x = np.empty(b.size, dtype=np.float64)
    with _dense_from(a, function) as h:
        n = _lib.corx_matrix_lu_solve(h, _ptr(b), b.size, _ptr(x), x.size, bool(refine))
    if n < 0:
        shapes = f"{_shape(a)} system, right-hand side of {b.size}"
        raise Error(-n, function, shapes if n == -SHAPE_MISMATCH else "")
    return x


def cholesky(a):
    """The lower triangular L with a = L @ L.T.

    Raises NOT_SPD when a is not exactly symmetric or not positive definite,
    SHAPE_MISMATCH when it is not square.
    """
    function = "corx_matrix_cholesky"
    a = _matrix(a, function)
    with _dense_from(a, function) as h:
        out = _take(_lib.corx_matrix_cholesky(h))
    if out is None:
        if a.shape[0] != a.shape[1]:
            raise Error(SHAPE_MISMATCH, function, f"{_shape(a)} is not square")
        raise Error(NOT_SPD, function, "not exactly symmetric, or a pivot is not positive")
    return out


def _adopt_out(*cells):
    return [_Dense(c.value) for c in cells]


def qr(a):
    """Full QR by Householder reflections: (q, r) with a = q @ r.

    q is m x m orthogonal, r is m x n; a needs m >= n. No sign normalisation:
    diagonal entries of r may be negative.
    """
    function = "corx_matrix_qr"
    a = _matrix(a, function)
    q, r = ctypes.c_void_p(), ctypes.c_void_p()
    with _dense_from(a, function) as h:
        status = _lib.corx_matrix_qr(h, ctypes.byref(q), ctypes.byref(r))
    owned = _adopt_out(q, r)  # empty on failure: nothing is written then
    with owned[0] as hq, owned[1] as hr:
        if status != SUCCESS:
            raise Error(status, function, f"{_shape(a)} has fewer rows than columns")
        return _array_of(hq), _array_of(hr)


def svd(a):
    """Thin SVD by one-sided Jacobi: (u, s, v) with a = u @ diag(s) @ v.T.

    u is m x n, s holds n values in descending order, v is n x n (note: v,
    not its transpose as numpy.linalg.svd returns). a needs m >= n.
    """
    function = "corx_matrix_svd"
    a = _matrix(a, function)
    s = np.empty(a.shape[1], dtype=np.float64)
    u, v = ctypes.c_void_p(), ctypes.c_void_p()
    with _dense_from(a, function) as h:
        status = _lib.corx_matrix_svd(h, ctypes.byref(u), _ptr(s), s.size, ctypes.byref(v))
    owned = _adopt_out(u, v)
    with owned[0] as hu, owned[1] as hv:
        if status != SUCCESS:
            raise Error(status, function, f"{_shape(a)} has fewer rows than columns")
        return _array_of(hu), s, _array_of(hv)


# ---- sparse matrices ------------------------------------------------------------------

def _destroy_sparse(handle):
    _lib.corx_sparse_destroy(handle)


class SparseMatrix:
    """A compressed-sparse-row matrix held by the library.

    Made from a dense 2-D array (zeros of either sign are dropped, NaN is
    kept) and never changed afterwards. The handle is released by
    :meth:`close`, at the end of a ``with`` block, or when the object is
    garbage-collected, whichever comes first; a closed matrix raises
    NULL_HANDLE.
    """

    def __init__(self, dense):
        function = "corx_sparse_from_dense"
        arr = _matrix(dense, function)
        with _dense_from(arr, function) as h:
            handle = _lib.corx_sparse_from_dense(h)
        if not handle:
            raise Error(NULL_HANDLE, function)
        self._handle = handle
        self._finalizer = weakref.finalize(self, _destroy_sparse, handle)
        self.shape = arr.shape

    def close(self):
        """Releases the handle (once; later calls do nothing)."""
        self._finalizer()
        self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _live(self, function):
        if self._handle is None:
            raise Error(NULL_HANDLE, function, "the sparse matrix is closed")
        return self._handle

    @property
    def nnz(self):
        """The number of stored entries."""
        return _lib.corx_sparse_nnz(self._live("corx_sparse_nnz"))

    def to_dense(self):
        """A dense numpy copy: the stored entries, +0.0 elsewhere."""
        out = _take(_lib.corx_sparse_to_dense(self._live("corx_sparse_to_dense")))
        if out is None:
            raise Error(NULL_HANDLE, "corx_sparse_to_dense")
        return out

    def matvec(self, x):
        """self @ x over the stored entries; x needs exactly shape[1] values."""
        function = "corx_sparse_matvec"
        handle = self._live(function)
        x = _vector(x, function)
        y = np.empty(self.shape[0], dtype=np.float64)
        n = _lib.corx_sparse_matvec(handle, _ptr(x), x.size, _ptr(y), y.size)
        if n < 0:  # -1 whatever the cause: the length of x is the only one left
            raise Error(SHAPE_MISMATCH, function, f"{self.shape[0]}x{self.shape[1]} @ a vector of {x.size}")
        return y

    def __matmul__(self, x):
        return self.matvec(x)

    def __repr__(self):
        state = "closed" if self._handle is None else f"nnz={self.nnz}"
        return f"corx.SparseMatrix(shape={self.shape}, {state})"


# ---- fixed-size vectors ---------------------------------------------------------------

_VEC_TYPES = {2: _Vec2, 3: _Vec3, 4: _Vec4}


def _vec(v, what, sizes=(2, 3, 4)):
    arr = np.asarray(v, dtype=np.float64)
    if arr.ndim != 1 or arr.size not in sizes:
        raise Error(SHAPE_MISMATCH, what,
                    f"expected {' or '.join(map(str, sizes))} components, got shape {arr.shape}")
    return _VEC_TYPES[arr.size](*(float(c) for c in arr))


def _array(v):
    return np.array([getattr(v, f) for f, _ in v._fields_], dtype=np.float64)


def _vec_call(op, *vs, extra=(), sizes=(2, 3, 4)):
    cs = [_vec(v, f"corx_vec*_{op}", sizes) for v in vs]
    n = len(cs[0]._fields_)
    if any(len(c._fields_) != n for c in cs):
        raise Error(SHAPE_MISMATCH, f"corx_vec*_{op}", "the vectors differ in length")
    return getattr(_lib, f"corx_vec{n}_{op}")(*cs, *extra)


def vec_add(a, b):
    """a + b for vectors of 2, 3 or 4 components."""
    return _array(_vec_call("add", a, b))


def vec_sub(a, b):
    """a - b."""
    return _array(_vec_call("sub", a, b))


def vec_scale(v, factor):
    """v * factor."""
    return _array(_vec_call("scale", v, extra=(float(factor),)))


def vec_dot(a, b):
    """The dot product, accumulated from +0.0 in component order."""
    return _vec_call("dot", a, b)


def vec_length(v):
    """sqrt(dot(v, v)), without scaling (can overflow or underflow)."""
    return _vec_call("length", v)


def vec_normalize(v):
    """v / length(v); the zero vector when the length is 0."""
    return _array(_vec_call("normalize", v))


def vec_almost_equal(a, b, epsilon):
    """True when epsilon > |a - b| in every component (2 or 3 components)."""
    return bool(_vec_call("almost_equal", a, b, extra=(float(epsilon),), sizes=(2, 3)))


def cross2d(a, b):
    """a.x*b.y - a.y*b.x for 2-component vectors."""
    return _lib.corx_vec2_cross2d(_vec(a, "corx_vec2_cross2d", (2,)), _vec(b, "corx_vec2_cross2d", (2,)))


def perp(v):
    """(-v.y, v.x): a quarter turn counter-clockwise."""
    return _array(_lib.corx_vec2_perp(_vec(v, "corx_vec2_perp", (2,))))


def perp_cw(v):
    """(v.y, -v.x): a quarter turn clockwise."""
    return _array(_lib.corx_vec2_perp_cw(_vec(v, "corx_vec2_perp_cw", (2,))))


def cross(a, b):
    """The cross product of two 3-component vectors."""
    return _array(_lib.corx_vec3_cross(_vec(a, "corx_vec3_cross", (3,)), _vec(b, "corx_vec3_cross", (3,))))


# ---- limb primitives --------------------------------------------------------------------

def udiv128(hi, lo, divisor):
    """(quotient mod 2**64, remainder) of (hi * 2**64 + lo) / divisor.

    Never raises for a zero divisor: the library answers (2**64 - 1, lo).
    """
    q, r = ctypes.c_uint64(), ctypes.c_uint64()
    _lib.corvane_udiv128(_limb(hi), _limb(lo), _limb(divisor), ctypes.byref(q), ctypes.byref(r))
    return q.value, r.value


def clz64(x):
    """The number of leading zero bits of a 64-bit value (64 for 0)."""
    return _lib.corvane_clz64(_limb(x))


def _limb(x):
    # ctypes would silently keep only the low 64 bits of a wider integer.
    x = int(x)
    if not 0 <= x <= _UINT64_MASK:
        raise ValueError(f"{x} is not an unsigned 64-bit value")
    return x
