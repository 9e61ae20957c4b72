/* SPDX-License-Identifier: BSD-3-Clause */
/* corx._ext: the package's hot path in C.
 *
 * A plain CPython extension with numpy's C API, not pybind11 or Cython:
 * the whole module is a few loops around the library's C functions, so a
 * binding generator would add a build dependency (and, for pybind11, a C++
 * runtime in the module) without removing any code, and the C API lets
 * each call convert its operands, drop the interpreter lock once and run
 * every matrix of a stack without a single Python object in between.
 *
 * The module does not link against libcorx: the package hands it the
 * addresses of the library it loaded through ctypes (bind()), so both
 * paths call the very same copy, found the way the package always finds
 * it (CORX_LIBRARY, the package directory, the CMake install, the build
 * tree, the system loader).
 *
 * Each entry point takes a fast path only: valid, non-empty operands of a
 * numeric type. For anything else (a type to refuse, a shape error, an
 * empty array, a size past the library's limits) it returns None and the
 * package's Python code handles the call as before, with its messages.
 *
 * Lifetime: the converted operands are referenced for the whole call (an
 * ndarray with a reference held cannot be resized), and every library
 * handle is made, used and destroyed while the interpreter lock is
 * released, so no Python code (another thread, a signal handler raising
 * KeyboardInterrupt) runs between a handle's creation and its destroy. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <stdbool.h>
#include <stdint.h>
#include <string.h>

#include "corx/corx.h"

#define MAX_ELEMENTS 2147483647LL

static __typeof__(corx_matrix_create_from_buffer)* p_create;
static __typeof__(corx_matrix_destroy)* p_destroy;
static __typeof__(corx_matrix_rows)* p_rows;
static __typeof__(corx_matrix_cols)* p_cols;
static __typeof__(corx_matrix_get_buffer)* p_get_buffer;
static __typeof__(corx_matrix_mul)* p_mul;
static __typeof__(corx_matrix_determinant)* p_det;
static __typeof__(corx_matrix_lu_solve)* p_solve;
static __typeof__(corx_matrix_lu_solve_many)* p_solve_many;
static __typeof__(corx_lu_solve_stack)* p_stack;
static __typeof__(corx_matrix_cholesky)* p_cholesky;
static __typeof__(corx_matrix_qr)* p_qr;
static __typeof__(corx_matrix_svd)* p_svd;
static __typeof__(corx_sparse_matvec)* p_matvec;

/* The package's error factory: error(code, function, detail) -> exception. */
static PyObject* make_error;

/* Handles made by this module and not yet destroyed: a test reads it to
 * see that failures in the middle of a stack release what they made. */
static int64_t live_handles;

static CorxMatrix create(int32_t rows, int32_t cols, const double* data) {
    CorxMatrix h = p_create(rows, cols, data, (int64_t)rows * cols);
    if (h) __atomic_add_fetch(&live_handles, 1, __ATOMIC_RELAXED);
    return h;
}

static void destroy(CorxMatrix h) {
    if (!h) return;
    p_destroy(h);
    __atomic_sub_fetch(&live_handles, 1, __ATOMIC_RELAXED);
}

static PyObject* raise_status(int32_t code, const char* function, const char* detail) {
    PyObject* exc = PyObject_CallFunction(make_error, "iss", (int)code, function, detail);
    if (exc) {
        PyErr_SetObject((PyObject*)Py_TYPE(exc), exc);
        Py_DECREF(exc);
    }
    return NULL;
}

/* obj as a C-contiguous float64 array, or NULL without an error set when it
 * is not a real numeric array (the package then refuses it in Python).
 * *single tells whether the operand was float32. */
static PyArrayObject* as_double(PyObject* obj, bool* single) {
    PyArrayObject* arr = (PyArrayObject*)PyArray_FromAny(obj, NULL, 0, 0, 0, NULL);
    if (!arr) {
        PyErr_Clear();
        return NULL;
    }
    PyArray_Descr* d = PyArray_DESCR(arr);
    bool ok = d->kind == 'b' || d->kind == 'i' || d->kind == 'u' || (d->kind == 'f' && d->elsize <= 8);
    if (!ok || PyDataType_HASFIELDS(d) || PyDataType_HASSUBARRAY(d)) {
        Py_DECREF(arr);
        return NULL;
    }
    *single = d->type_num == NPY_FLOAT;
    if (d->type_num == NPY_DOUBLE && PyArray_ISCARRAY_RO(arr) && PyArray_ISNOTSWAPPED(arr)) return arr;
    PyArrayObject* out = (PyArrayObject*)PyArray_FromArray(arr, PyArray_DescrFromType(NPY_DOUBLE),
                                                           NPY_ARRAY_CARRAY | NPY_ARRAY_FORCECAST);
    Py_DECREF(arr);
    if (!out) PyErr_Clear();
    return out;
}

/* A float64 result as the caller gets it: float32 (rounded once) when every
 * operand was float32, a numpy scalar for a 0-d result. Steals out. */
static PyObject* finish(PyArrayObject* out, bool single) {
    if (single) {
        PyArrayObject* f = (PyArrayObject*)PyArray_CastToType(out, PyArray_DescrFromType(NPY_FLOAT), 0);
        Py_DECREF(out);
        if (!f) return NULL;
        out = f;
    }
    return PyArray_Return(out);
}

/* Broadcasts the leading (stack) dimensions of two operands as numpy does.
 * Fills lead[] (ndim *nlead) and the element strides, in matrices, of each
 * operand along them (0 where it is broadcast). False if they do not
 * broadcast or the stack is too deep. */
#define MAX_LEAD 32
static bool broadcast_lead(const npy_intp* da, int na, const npy_intp* db, int nb, npy_intp* lead,
                           int* nlead, npy_intp* sa, npy_intp* sb) {
    int n = na > nb ? na : nb;
    if (n > MAX_LEAD) return false;
    for (int i = 0; i < n; ++i) {
        npy_intp ea = i < n - na ? 1 : da[i - (n - na)];
        npy_intp eb = i < n - nb ? 1 : db[i - (n - nb)];
        if (ea != eb && ea != 1 && eb != 1) return false;
        lead[i] = ea == 1 ? eb : ea;
    }
    /* strides in whole matrices, innermost dimension last */
    npy_intp ma = 1, mb = 1;
    for (int i = n - 1; i >= 0; --i) {
        npy_intp ea = i < n - na ? 1 : da[i - (n - na)];
        npy_intp eb = i < n - nb ? 1 : db[i - (n - nb)];
        sa[i] = ea == 1 ? 0 : ma;
        sb[i] = eb == 1 ? 0 : mb;
        ma *= ea;
        mb *= eb;
    }
    *nlead = n;
    return true;
}

/* solve(a, b, refine): x with a @ x = b for a (..., n, n) and b (n,) or
 * (..., n, k), leading dimensions broadcast; None where the Python path
 * decides. */
static PyObject* ext_solve(PyObject* self, PyObject* args) {
    (void)self;
    PyObject *ao, *bo, *refine_o;
    if (!PyArg_ParseTuple(args, "OOO", &ao, &bo, &refine_o)) return NULL;
    int refine = PyObject_IsTrue(refine_o);
    if (refine < 0) return NULL;
    bool sa_single = false, sb_single = false;
    PyArrayObject* a = as_double(ao, &sa_single);
    if (!a) Py_RETURN_NONE;
    PyArrayObject* b = as_double(bo, &sb_single);
    if (!b) {
        Py_DECREF(a);
        Py_RETURN_NONE;
    }
    PyObject* result = Py_None;
    Py_INCREF(result);
    int and_ = PyArray_NDIM(a), bnd = PyArray_NDIM(b);
    const npy_intp *ad = PyArray_DIMS(a), *bd = PyArray_DIMS(b);
    if (and_ < 2 || bnd < 1) goto done;
    npy_intp n = ad[and_ - 1];
    if (ad[and_ - 2] != n || n < 1 || n * n > MAX_ELEMENTS) goto done;
    bool one_rhs = bnd == 1;
    npy_intp rows = one_rhs ? bd[0] : bd[bnd - 2];
    npy_intp k = one_rhs ? 1 : bd[bnd - 1];
    if (rows != n || k < 1 || k > MAX_ELEMENTS || n * k > (npy_intp)1 << 62) goto done;
    npy_intp lead[MAX_LEAD + 2], sa[MAX_LEAD], sb[MAX_LEAD];
    int nlead;
    if (!broadcast_lead(ad, and_ - 2, bd, one_rhs ? 0 : bnd - 2, lead, &nlead, sa, sb)) goto done;
    npy_intp count = 1;
    for (int i = 0; i < nlead; ++i) count *= lead[i];
    if (count == 0) goto done;
    lead[nlead] = n;
    lead[nlead + 1] = k;
    PyArrayObject* x = (PyArrayObject*)PyArray_SimpleNew(nlead + (one_rhs ? 1 : 2), lead, NPY_DOUBLE);
    if (!x) {
        Py_DECREF(result);
        result = NULL;
        goto done;
    }
    const double* ap = (const double*)PyArray_DATA(a);
    const double* bp = (const double*)PyArray_DATA(b);
    double* xp = (double*)PyArray_DATA(x);
    npy_intp idx[MAX_LEAD] = {0};
    npy_intp oa = 0, ob = 0;
    int32_t status = 0;
    /* Stacks of the same length, nothing broadcast: one call for all, which
     * also shares the systems out among the library's threads. */
    npy_intp a_count = 1, b_count = 1;
    for (int i = 0; i < and_ - 2; ++i) a_count *= ad[i];
    for (int i = 0; i < (one_rhs ? 0 : bnd - 2); ++i) b_count *= bd[i];
    const bool whole = count > 1 && a_count == count && b_count == count;
    int64_t singular = -1;
    Py_BEGIN_ALLOW_THREADS
    if (whole) {
        const int32_t got = p_stack((int32_t)n, (int64_t)count, ap, (int64_t)(count * n * n), bp,
                                    (int64_t)(count * n * k), (int32_t)k, xp, (int64_t)(count * n * k), refine,
                                    &singular);
        if (got < 0) status = got;
    }
    for (npy_intp m = 0; m < count && !whole; ++m) {
        CorxMatrix h = create((int32_t)n, (int32_t)n, ap + oa * n * n);
        if (!h) {
            status = -1000;
            break;
        }
        int32_t got = one_rhs ? p_solve(h, bp + ob * n, n, xp + m * n, n, refine)
                              : p_solve_many(h, bp + ob * n * k, n * k, (int32_t)k, xp + m * n * k, n * k,
                                             refine);
        destroy(h);
        if (got < 0) {
            status = got;
            break;
        }
        /* the next matrix of the stack: an odometer over the leading dimensions */
        for (int i = nlead - 1; i >= 0; --i) {
            oa += sa[i];
            ob += sb[i];
            if (++idx[i] < lead[i]) break;
            oa -= sa[i] * lead[i];
            ob -= sb[i] * lead[i];
            idx[i] = 0;
        }
    }
    Py_END_ALLOW_THREADS
    Py_DECREF(result);
    if (status == -1000) {
        Py_DECREF(x);
        result = PyErr_NoMemory();
    } else if (status < 0 && whole) {
        Py_DECREF(x);
        char detail[64] = "";
        if (singular >= 0) snprintf(detail, sizeof detail, "matrix %lld of the stack", (long long)singular);
        result = raise_status(-status, "corx_lu_solve_stack", detail);
    } else if (status < 0) {
        Py_DECREF(x);
        result = raise_status(-status, one_rhs ? "corx_matrix_lu_solve" : "corx_matrix_lu_solve_many", "");
    } else {
        result = finish(x, sa_single && sb_single);
    }
done:
    Py_DECREF(a);
    Py_DECREF(b);
    return result;
}

/* det(a): the determinant of each matrix of a (..., n, n). */
static PyObject* ext_det(PyObject* self, PyObject* ao) {
    (void)self;
    bool single = false;
    PyArrayObject* a = as_double(ao, &single);
    if (!a) Py_RETURN_NONE;
    int nd = PyArray_NDIM(a);
    const npy_intp* dims = PyArray_DIMS(a);
    npy_intp n = nd >= 2 ? dims[nd - 1] : 0;
    if (nd < 2 || dims[nd - 2] != n || n < 1 || n * n > MAX_ELEMENTS || PyArray_SIZE(a) == 0) {
        Py_DECREF(a);
        Py_RETURN_NONE;
    }
    PyArrayObject* d = (PyArrayObject*)PyArray_SimpleNew(nd - 2, dims, NPY_DOUBLE);
    if (!d) {
        Py_DECREF(a);
        return NULL;
    }
    npy_intp count = PyArray_SIZE(d);
    const double* ap = (const double*)PyArray_DATA(a);
    double* dp = (double*)PyArray_DATA(d);
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    for (npy_intp m = 0; m < count && !failed; ++m) {
        CorxMatrix h = create((int32_t)n, (int32_t)n, ap + m * n * n);
        int32_t ok = 0;
        if (h) dp[m] = p_det(h, &ok);
        destroy(h);
        failed = ok != 1;
    }
    Py_END_ALLOW_THREADS
    Py_DECREF(a);
    if (failed) {
        Py_DECREF(d);
        return PyErr_NoMemory();  /* the shape was checked: only an allocation can fail */
    }
    return finish(d, single);
}

/* cholesky(a, upper, check_symmetric): the factor of each matrix of a
 * (..., n, n). Without check_symmetric the library gets the symmetric
 * matrix made from one triangle (the lower one, or the upper one with
 * upper), its entries' bits copied into the other; with upper the result
 * is the library's L transposed. */
static PyObject* ext_cholesky(PyObject* self, PyObject* args) {
    (void)self;
    PyObject *ao, *upper_o, *check_o;
    if (!PyArg_ParseTuple(args, "OOO", &ao, &upper_o, &check_o)) return NULL;
    int upper = PyObject_IsTrue(upper_o), check = PyObject_IsTrue(check_o);
    if (upper < 0 || check < 0) return NULL;
    bool single = false;
    PyArrayObject* a = as_double(ao, &single);
    if (!a) Py_RETURN_NONE;
    int nd = PyArray_NDIM(a);
    const npy_intp* dims = PyArray_DIMS(a);
    npy_intp n = nd >= 2 ? dims[nd - 1] : 0;
    if (nd < 2 || dims[nd - 2] != n || n < 1 || n * n > MAX_ELEMENTS || PyArray_SIZE(a) == 0) {
        Py_DECREF(a);
        Py_RETURN_NONE;
    }
    PyArrayObject* out = (PyArrayObject*)PyArray_SimpleNew(nd, dims, NPY_DOUBLE);
    double* sym = out ? PyMem_RawMalloc((size_t)(n * n) * sizeof(double)) : NULL;
    if (!sym) {
        Py_XDECREF(out);
        Py_DECREF(a);
        return PyErr_NoMemory();
    }
    npy_intp count = PyArray_SIZE(a) / (n * n);
    const double* ap = (const double*)PyArray_DATA(a);
    double* op = (double*)PyArray_DATA(out);
    int failure = 0; /* 1: not positive definite (or not symmetric), 2: no memory */
    Py_BEGIN_ALLOW_THREADS
    for (npy_intp m = 0; m < count && !failure; ++m) {
        const double* src = ap + m * n * n;
        const double* input = src;
        if (!check) {
            for (npy_intp i = 0; i < n; ++i) {
                for (npy_intp j = 0; j < n; ++j) {
                    /* the entry of the triangle read that stands for (i, j) */
                    bool below = j <= i;
                    npy_intp r = upper ? (below ? j : i) : (below ? i : j);
                    npy_intp c = upper ? (below ? i : j) : (below ? j : i);
                    sym[i * n + j] = src[r * n + c];
                }
            }
            input = sym;
        }
        CorxMatrix h = create((int32_t)n, (int32_t)n, input);
        CorxMatrix l = h ? p_cholesky(h) : NULL;
        if (l) __atomic_add_fetch(&live_handles, 1, __ATOMIC_RELAXED);
        double* dst = op + m * n * n;
        if (!h) {
            failure = 2;
        } else if (!l) {
            failure = 1;
        } else if (p_get_buffer(l, upper ? sym : dst, n * n) < 0) {
            failure = 2;
        } else if (upper) {
            for (npy_intp i = 0; i < n; ++i)
                for (npy_intp j = 0; j < n; ++j) dst[i * n + j] = sym[j * n + i];
        }
        destroy(l);
        destroy(h);
    }
    Py_END_ALLOW_THREADS
    PyMem_RawFree(sym);
    Py_DECREF(a);
    if (failure) {
        Py_DECREF(out);
        if (failure == 2) return PyErr_NoMemory();
        return raise_status(CORX_NOT_SPD, "corx_matrix_cholesky",
                            "not exactly symmetric, or a pivot is not positive");
    }
    return finish(out, single);
}

/* sparse_matmat(handle, columns, rows): the product of the sparse handle
 * (rows x n) with each row of columns (k x n, C-contiguous float64, as the
 * package prepares it), into a new k x rows array: row j is the product
 * with column j alone. The caller holds the handle for the call (the
 * package's use count), so it stays valid while the lock is released. */
static PyObject* ext_sparse_matmat(PyObject* self, PyObject* args) {
    (void)self;
    PyObject *handle_o, *cols_o;
    Py_ssize_t rows;
    if (!PyArg_ParseTuple(args, "OO!n", &handle_o, &PyArray_Type, &cols_o, &rows)) return NULL;
    CorxSparse h = (CorxSparse)PyLong_AsVoidPtr(handle_o);
    if (!h && PyErr_Occurred()) return NULL;
    PyArrayObject* cols = (PyArrayObject*)cols_o;
    if (!h || PyArray_NDIM(cols) != 2 || PyArray_TYPE(cols) != NPY_DOUBLE || !PyArray_ISCARRAY_RO(cols) ||
        rows < 1) {
        PyErr_SetString(PyExc_ValueError, "sparse_matmat: a handle, C-contiguous float64 columns and rows >= 1");
        return NULL;
    }
    npy_intp k = PyArray_DIM(cols, 0), n = PyArray_DIM(cols, 1);
    npy_intp shape[2] = {k, rows};
    PyArrayObject* out = (PyArrayObject*)PyArray_SimpleNew(2, shape, NPY_DOUBLE);
    if (!out) return NULL;
    const double* xp = (const double*)PyArray_DATA(cols);
    double* yp = (double*)PyArray_DATA(out);
    int32_t got = 0;
    Py_BEGIN_ALLOW_THREADS
    for (npy_intp j = 0; j < k && got >= 0; ++j) got = p_matvec(h, xp + j * n, n, yp + j * rows, rows);
    Py_END_ALLOW_THREADS
    if (got < 0) {
        Py_DECREF(out);
        return raise_status(CORX_SHAPE_MISMATCH, "corx_sparse_matvec", "the columns do not fit the matrix");
    }
    return (PyObject*)out;
}

/* matmul(a, b): the product of two non-empty 2-D arrays. */
static PyObject* ext_matmul(PyObject* self, PyObject* args) {
    (void)self;
    PyObject *ao, *bo;
    if (!PyArg_ParseTuple(args, "OO", &ao, &bo)) return NULL;
    bool sa_single = false, sb_single = false;
    PyArrayObject* a = as_double(ao, &sa_single);
    if (!a) Py_RETURN_NONE;
    PyArrayObject* b = as_double(bo, &sb_single);
    if (!b) {
        Py_DECREF(a);
        Py_RETURN_NONE;
    }
    PyObject* result = NULL;
    const npy_intp *ad = PyArray_DIMS(a), *bd = PyArray_DIMS(b);
    if (PyArray_NDIM(a) != 2 || PyArray_NDIM(b) != 2 || ad[1] != bd[0] || PyArray_SIZE(a) == 0 ||
        PyArray_SIZE(b) == 0 || PyArray_SIZE(a) > MAX_ELEMENTS || PyArray_SIZE(b) > MAX_ELEMENTS ||
        ad[0] * bd[1] > MAX_ELEMENTS) {
        result = Py_None;
        Py_INCREF(result);
        goto done;
    }
    npy_intp shape[2] = {ad[0], bd[1]};
    PyArrayObject* c = (PyArrayObject*)PyArray_SimpleNew(2, shape, NPY_DOUBLE);
    if (!c) goto done;
    const double *ap = (const double*)PyArray_DATA(a), *bp = (const double*)PyArray_DATA(b);
    double* cp = (double*)PyArray_DATA(c);
    int32_t got = -1;
    Py_BEGIN_ALLOW_THREADS
    CorxMatrix ha = create((int32_t)ad[0], (int32_t)ad[1], ap);
    CorxMatrix hb = ha ? create((int32_t)bd[0], (int32_t)bd[1], bp) : NULL;
    CorxMatrix hc = hb ? p_mul(ha, hb) : NULL;
    if (hc) {
        __atomic_add_fetch(&live_handles, 1, __ATOMIC_RELAXED);
        got = p_get_buffer(hc, cp, shape[0] * shape[1]);
    }
    destroy(hc);
    destroy(hb);
    destroy(ha);
    Py_END_ALLOW_THREADS
    if (got < 0) {
        Py_DECREF(c);
        result = PyErr_NoMemory();  /* the shapes were checked: only an allocation can fail */
    } else {
        result = finish(c, sa_single && sb_single);
    }
done:
    Py_DECREF(a);
    Py_DECREF(b);
    return result;
}

static void* address(PyObject* table, const char* name) {
    PyObject* v = PyDict_GetItemString(table, name);
    if (!v) {
        PyErr_Format(PyExc_ImportError, "corx._ext: no address for %s", name);
        return NULL;
    }
    void* p = PyLong_AsVoidPtr(v);
    if (!p && !PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "corx._ext: null address for %s", name);
    return p;
}

/* bind(addresses, error): the library's functions by name, and the
 * package's error factory. */
static PyObject* ext_bind(PyObject* self, PyObject* args) {
    (void)self;
    PyObject *table, *error;
    if (!PyArg_ParseTuple(args, "O!O", &PyDict_Type, &table, &error)) return NULL;
#define BIND(var, name) \
    if (!(*(void**)&var = address(table, name))) return NULL;
    BIND(p_create, "corx_matrix_create_from_buffer")
    BIND(p_destroy, "corx_matrix_destroy")
    BIND(p_rows, "corx_matrix_rows")
    BIND(p_cols, "corx_matrix_cols")
    BIND(p_get_buffer, "corx_matrix_get_buffer")
    BIND(p_mul, "corx_matrix_mul")
    BIND(p_det, "corx_matrix_determinant")
    BIND(p_solve, "corx_matrix_lu_solve")
    BIND(p_solve_many, "corx_matrix_lu_solve_many")
    BIND(p_stack, "corx_lu_solve_stack")
    BIND(p_cholesky, "corx_matrix_cholesky")
    BIND(p_qr, "corx_matrix_qr")
    BIND(p_svd, "corx_matrix_svd")
    BIND(p_matvec, "corx_sparse_matvec")
#undef BIND
    Py_INCREF(error);
    Py_XSETREF(make_error, error);
    Py_RETURN_NONE;
}

static PyObject* ext_live_handles(PyObject* self, PyObject* unused) {
    (void)self;
    (void)unused;
    return PyLong_FromLongLong(__atomic_load_n(&live_handles, __ATOMIC_RELAXED));
}

/* A tall stack (..., m, n) with m >= n >= 1 as C-contiguous float64, or
 * NULL without an error set (the Python path decides). *count receives the
 * number of matrices. */
static PyArrayObject* tall_stack(PyObject* ao, npy_intp* m, npy_intp* n, npy_intp* count) {
    bool single = false;  /* the package rounds float32 results itself */
    PyArrayObject* a = as_double(ao, &single);
    if (!a) return NULL;
    int nd = PyArray_NDIM(a);
    const npy_intp* dims = PyArray_DIMS(a);
    if (nd < 2 || nd > MAX_LEAD + 2 || dims[nd - 1] < 1 || dims[nd - 2] < dims[nd - 1] ||
        dims[nd - 2] * dims[nd - 2] > MAX_ELEMENTS || PyArray_SIZE(a) == 0) {
        Py_DECREF(a);
        return NULL;
    }
    *m = dims[nd - 2];
    *n = dims[nd - 1];
    *count = PyArray_SIZE(a) / (*m * *n);
    return a;
}

/* A float64 array of the stack's leading dimensions and then rows x cols. */
static PyArrayObject* stack_of(PyArrayObject* like, int tail, npy_intp rows, npy_intp cols) {
    npy_intp dims[MAX_LEAD + 2];
    int lead = PyArray_NDIM(like) - 2;
    memcpy(dims, PyArray_DIMS(like), (size_t)lead * sizeof dims[0]);
    dims[lead] = rows;
    dims[lead + 1] = cols;
    return (PyArrayObject*)PyArray_SimpleNew(lead + tail, dims, NPY_DOUBLE);
}

/* One matrix's factorisation into the outputs at index i: false on a
 * failure (only an allocation can fail once the shape was checked). */
typedef bool (*Factor)(CorxMatrix h, double* const out[3], npy_intp i, npy_intp m, npy_intp n);

static bool qr_one(CorxMatrix h, double* const out[3], npy_intp i, npy_intp m, npy_intp n) {
    CorxMatrix q = NULL, r = NULL;
    if (p_qr(h, &q, &r) != 0) return false;
    __atomic_add_fetch(&live_handles, 2, __ATOMIC_RELAXED);
    bool ok = p_get_buffer(q, out[0] + i * m * m, m * m) >= 0 && p_get_buffer(r, out[1] + i * m * n, m * n) >= 0;
    destroy(q);
    destroy(r);
    return ok;
}

static bool svd_one(CorxMatrix h, double* const out[3], npy_intp i, npy_intp m, npy_intp n) {
    CorxMatrix u = NULL, v = NULL;
    if (p_svd(h, &u, out[1] + i * n, n, &v) != 0) return false;
    __atomic_add_fetch(&live_handles, 2, __ATOMIC_RELAXED);
    bool ok = p_get_buffer(u, out[0] + i * m * n, m * n) >= 0 && p_get_buffer(v, out[2] + i * n * n, n * n) >= 0;
    destroy(u);
    destroy(v);
    return ok;
}

/* Runs factor over the `count` matrices of a (m x n each) with the
 * interpreter lock released, into the `nout` arrays of out (any of them
 * NULL: their allocation failed). Steals a and out; returns the tuple of
 * the outputs. */
static PyObject* factor_stack(PyArrayObject* a, npy_intp count, npy_intp m, npy_intp n, PyArrayObject* out[3],
                              int nout, Factor factor) {
    bool failed = false;
    double* data[3] = {NULL, NULL, NULL};
    for (int k = 0; k < nout; ++k) {
        failed = failed || !out[k];
        if (out[k]) data[k] = (double*)PyArray_DATA(out[k]);
    }
    if (!failed) {
        const double* ap = (const double*)PyArray_DATA(a);
        Py_BEGIN_ALLOW_THREADS
        for (npy_intp i = 0; i < count && !failed; ++i) {
            CorxMatrix h = create((int32_t)m, (int32_t)n, ap + i * m * n);
            failed = !h || !factor(h, data, i, m, n);
            destroy(h);
        }
        Py_END_ALLOW_THREADS
    }
    Py_DECREF(a);
    if (failed) {
        for (int k = 0; k < nout; ++k) Py_XDECREF(out[k]);
        return PyErr_Occurred() ? NULL : PyErr_NoMemory();
    }
    PyObject* t = PyTuple_New(nout);
    if (!t) {
        for (int k = 0; k < nout; ++k) Py_DECREF(out[k]);
        return NULL;
    }
    for (int k = 0; k < nout; ++k) PyTuple_SET_ITEM(t, k, (PyObject*)out[k]);
    return t;
}

/* qr(a): the library's complete factors of each matrix of a tall stack
 * (..., m, n): (q (..., m, m), r (..., m, n)); None for anything else. */
static PyObject* ext_qr(PyObject* self, PyObject* ao) {
    (void)self;
    npy_intp m = 0, n = 0, count = 0;
    PyArrayObject* a = tall_stack(ao, &m, &n, &count);
    if (!a) Py_RETURN_NONE;
    PyArrayObject* out[3] = {stack_of(a, 2, m, m), stack_of(a, 2, m, n), NULL};
    return factor_stack(a, count, m, n, out, 2, qr_one);
}

/* svd(a): the library's thin factors of each matrix of a tall stack
 * (..., m, n): (u (..., m, n), s (..., n), v (..., n, n)); None for
 * anything else. */
static PyObject* ext_svd(PyObject* self, PyObject* ao) {
    (void)self;
    npy_intp m = 0, n = 0, count = 0;
    PyArrayObject* a = tall_stack(ao, &m, &n, &count);
    if (!a) Py_RETURN_NONE;
    PyArrayObject* out[3] = {stack_of(a, 2, m, n), stack_of(a, 1, n, 0), stack_of(a, 2, n, n)};
    return factor_stack(a, count, m, n, out, 3, svd_one);
}

static PyMethodDef methods[] = {
    {"bind", ext_bind, METH_VARARGS, "bind(addresses, error): the library's functions and the error factory."},
    {"solve", ext_solve, METH_VARARGS, "solve(a, b, refine): x, or None for the Python path."},
    {"det", ext_det, METH_O, "det(a): the determinants, or None for the Python path."},
    {"matmul", ext_matmul, METH_VARARGS, "matmul(a, b): a @ b, or None for the Python path."},
    {"sparse_matmat", ext_sparse_matmat, METH_VARARGS,
     "sparse_matmat(handle, columns, rows): the products with each column, one per row."},
    {"cholesky", ext_cholesky, METH_VARARGS,
     "cholesky(a, upper, check_symmetric): the factors, or None for the Python path."},
    {"qr", ext_qr, METH_O, "qr(a): the complete (q, r) of a tall stack, or None for the Python path."},
    {"svd", ext_svd, METH_O, "svd(a): the thin (u, s, v) of a tall stack, or None for the Python path."},
    {"live_handles", ext_live_handles, METH_NOARGS, "Handles made by this module and not yet destroyed."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "corx._ext", "The compiled hot path of corx (see corx/_ext.c).", -1, methods,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__ext(void) {
    import_array();
    return PyModule_Create(&module);
}
