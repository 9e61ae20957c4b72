# SPDX-License-Identifier: BSD-3-Clause
"""Every failure surfaces as corx.Error with the library's status text, as
the numpy exception a numpy user expects."""
import numpy as np
import pytest

import corx

I2 = np.eye(2)
WIDE = np.ones((2, 3))
TALL = np.ones((3, 2))


def closed_sparse():
    s = corx.SparseMatrix(np.eye(2))
    s.close()
    return s


CASES = [
    # (call, status, C function named in the message)
    (lambda: corx.add(WIDE, TALL), corx.SHAPE_MISMATCH, "corx_matrix_add"),
    (lambda: corx.subtract(WIDE, TALL), corx.SHAPE_MISMATCH, "corx_matrix_sub"),
    (lambda: corx.matmul(WIDE, WIDE), corx.SHAPE_MISMATCH, "corx_matrix_mul"),
    (lambda: corx.det(TALL), corx.SHAPE_MISMATCH, "corx_matrix_determinant"),
    (lambda: corx.solve(TALL, [1, 2, 3]), corx.SHAPE_MISMATCH, "corx_matrix_lu_solve"),
    (lambda: corx.solve(I2, [1, 2, 3]), corx.SHAPE_MISMATCH, "corx_matrix_lu_solve"),
    (lambda: corx.solve([[1, 2], [2, 4]], [1, 2]), corx.SINGULAR, "corx_matrix_lu_solve"),
    (lambda: corx.cholesky(TALL), corx.SHAPE_MISMATCH, "corx_matrix_cholesky"),
    (lambda: corx.cholesky([[4, 1], [2, 3]], check_symmetric=True), corx.NOT_SPD, "corx_matrix_cholesky"),
    (lambda: corx.cholesky([[4, 1], [2, 3]], upper=True, check_symmetric=True), corx.NOT_SPD, "corx_matrix_cholesky"),
    (lambda: corx.cholesky([[1, 2], [2, 1]]), corx.NOT_SPD, "corx_matrix_cholesky"),
    (lambda: corx.lstsq(WIDE, [1, 2]), corx.SHAPE_MISMATCH, "corx_matrix_qr"),
    (lambda: corx.lstsq(TALL, [1, 2]), corx.SHAPE_MISMATCH, "corx_matrix_qr"),
    (lambda: corx.lstsq(TALL, [1, 2, 3]), corx.SINGULAR, "corx_matrix_qr"),
    (lambda: corx.slogdet(TALL), corx.SHAPE_MISMATCH, "corx_matrix_determinant"),
    (lambda: corx.SparseMatrix(TALL).matvec([1, 2, 3]), corx.SHAPE_MISMATCH, "corx_sparse_matvec"),
    (lambda: closed_sparse().matvec([1, 2]), corx.NULL_HANDLE, "corx_sparse_matvec"),
    (lambda: closed_sparse().to_dense(), corx.NULL_HANDLE, "corx_sparse_to_dense"),
    (lambda: closed_sparse().nnz, corx.NULL_HANDLE, "corx_sparse_nnz"),
    # Arrays the library cannot hold: an empty operand beside a non-empty
    # one (an empty result needs no library call), or not two dimensions.
    (lambda: corx.add(np.zeros((0, 3)), np.ones((1, 3))), corx.SHAPE_MISMATCH, "corx_matrix_create_from_buffer"),
    (lambda: corx.scale([1.0, 2.0], 2), corx.SHAPE_MISMATCH, "corx_matrix_scale"),
    (lambda: corx.SparseMatrix(np.zeros((2, 2, 2))), corx.SHAPE_MISMATCH, "corx_sparse_from_dense"),
    (lambda: corx.solve(I2, np.ones((3, 2))), corx.SHAPE_MISMATCH, "corx_matrix_lu_solve_many"),
    (lambda: corx.solve(np.ones((2, 2, 2)), np.ones((3, 2, 1))), corx.SHAPE_MISMATCH, "corx_matrix_lu_solve_many"),
    (lambda: corx.solve([[1, 2], [2, 4]], np.eye(2)), corx.SINGULAR, "corx_matrix_lu_solve_many"),
    (lambda: corx.inv([[1, 2], [2, 4]]), corx.SINGULAR, "corx_matrix_lu_solve_many"),
    (lambda: corx.inv(TALL), corx.SHAPE_MISMATCH, "corx_matrix_lu_solve_many"),
    (lambda: corx.det(np.ones((2, 3, 2))), corx.SHAPE_MISMATCH, "corx_matrix_determinant"),
    # Vectors come in 2, 3 or 4 components, and the comparison in 2 or 3.
    (lambda: corx.vec_add([1, 2], [1, 2, 3]), corx.SHAPE_MISMATCH, "corx_vec*_add"),
    (lambda: corx.vec_length([1, 2, 3, 4, 5]), corx.SHAPE_MISMATCH, "corx_vec*_length"),
    (lambda: corx.vec_almost_equal([1] * 4, [1] * 4, 0.5), corx.SHAPE_MISMATCH, "corx_vec*_almost_equal"),
    (lambda: corx.cross([1, 0], [0, 1]), corx.SHAPE_MISMATCH, "corx_vec3_cross"),
]


@pytest.mark.parametrize("call,code,function", CASES)
def test_failure_is_raised_with_code_and_text(call, code, function):
    with pytest.raises(corx.Error) as info:
        call()
    e = info.value
    assert e.code == code
    # numpy's classes: a singular or indefinite matrix is a LinAlgError,
    # anything wrong with the arguments a ValueError; a matrix that is not
    # square where a square one is needed is both, LinAlgError as in numpy.
    numpy_class = np.linalg.LinAlgError if code in (corx.SINGULAR, corx.NOT_SPD) else ValueError
    assert isinstance(e, numpy_class)
    not_square = "not square" in str(e)
    assert isinstance(e, corx.NotSquareError) == not_square
    assert not_square or isinstance(e, corx.LinAlgError) != isinstance(e, corx.ArgumentError)
    assert e.function == function
    assert e.status_text == corx.error_string(code)
    assert str(e).startswith(f"{function}: {e.status_text}")


def test_complex_input_is_refused_not_truncated():
    z = np.array([[1 + 1j, 0], [0, 1]])
    for call in (lambda: corx.solve(z, [1, 1]), lambda: corx.solve(I2, [1j, 1]), lambda: corx.det(z),
                 lambda: corx.matmul(z, z), lambda: corx.vec_length([1j, 0])):
        with pytest.raises(TypeError, match="complex"):
            call()


def test_status_texts_come_from_the_library():
    texts = [corx.error_string(c) for c in range(6)]
    assert texts == ["Success", "Null handle", "Shape mismatch", "Singular matrix",
                     "Matrix is not symmetric positive-definite", "Output buffer too small"]
    assert corx.error_string(-1) == corx.error_string(6) == "Unknown error"


def test_message_names_the_shapes():
    with pytest.raises(corx.Error, match=r"2x3 \+ 3x2"):
        corx.add(WIDE, TALL)
    with pytest.raises(corx.Error, match="not square"):
        corx.det(TALL)


def test_predicates_answer_false_instead_of_raising():
    assert corx.almost_equal(WIDE, TALL, 10.0) is False
    for tol in (-1.0, float("nan"), float("inf")):
        assert corx.almost_equal(I2, I2, tol) is False


def test_a_failure_leaves_nothing_behind():
    with pytest.raises(corx.Error):
        corx.solve([[0.0, 0.0], [0.0, 1.0]], [1, 2])
    np.testing.assert_array_equal(corx.solve([[0.0, 1.0], [1.0, 0.0]], [3, 4]), [4, 3])


def test_limb_arguments_must_fit_64_bits():
    with pytest.raises(ValueError):
        corx.clz64(-1)
    with pytest.raises(ValueError):
        corx.udiv128(0, 2**64, 3)
    assert corx.udiv128(1, 0, 3) == (2**64 // 3, 2**64 % 3)
    assert corx.udiv128(0, 7, 0) == (2**64 - 1, 7)
    assert corx.clz64(1) == 63


def test_results_past_the_element_limit_raise_memory_error():
    # The library refuses them; numpy raises MemoryError for what it cannot
    # allocate, and so does the package. Operands of that size are fine.
    column, row = np.ones((65536, 1)), np.ones((1, 65536))
    with pytest.raises(MemoryError, match="2147483647"):
        corx.matmul(column, row)
    with pytest.raises(MemoryError, match="2147483647"):
        corx.qr(column)
    with pytest.raises(MemoryError):
        corx.qr(np.ones((2, 46341, 1)))  # any matrix of a stack
    assert corx.matmul(row, column)[0, 0] == 65536.0
    with pytest.raises(MemoryError, match="2147483647"):
        corx.svd(column)  # the completed u would be 65536 x 65536
    u, s, vh = corx.svd(column, full_matrices=False)
    assert u.shape == (65536, 1) and s[0] == 256.0
    with pytest.raises(MemoryError, match="2147483647"):
        corx.qr(column, mode="r")  # the library computes the complete q in every mode


NOT_NUMBERS = [
    np.array([["1", "2"], ["3", "4"]]), np.array([[b"1", b"2"], [b"3", b"4"]]),
    np.arange(4).astype("datetime64[D]").reshape(2, 2), np.arange(4).astype("timedelta64[s]").reshape(2, 2),
    np.array([[1, 2], [3, 4]], dtype=object), np.eye(2, dtype=np.complex128), np.eye(2, dtype=np.longdouble),
]
# (corx function, numpy's, where numpy.linalg has one)
LINALG = [
    (corx.det, np.linalg.det), (corx.cholesky, np.linalg.cholesky), (corx.svd, np.linalg.svd),
    (lambda a: corx.solve(a, np.ones(2)), lambda a: np.linalg.solve(a, np.ones(2))),
    (lambda a: corx.solve(np.eye(2), a[0]), lambda a: np.linalg.solve(np.eye(2), a[0])),
    (corx.slogdet, np.linalg.slogdet), (lambda a: corx.lstsq(a, np.ones(2)), lambda a: np.linalg.lstsq(a, np.ones(2), rcond=None)),
    (corx.qr, None), (corx.transpose, None), (lambda a: corx.matmul(a, np.eye(2)), None),
    (lambda a: corx.add(np.eye(2), a), None), (corx.SparseMatrix, None), (lambda a: corx.vec_length(a[0]), None),
]


@pytest.mark.parametrize("a", NOT_NUMBERS, ids=lambda a: str(a.dtype))
@pytest.mark.parametrize("ours,numpys", LINALG)
def test_arrays_that_are_not_real_numbers_are_refused(ours, numpys, a):
    with pytest.raises(TypeError):
        ours(a)
    if numpys is not None and a.dtype.kind != "c":  # numpy computes in complex, corx cannot
        with pytest.raises(TypeError):  # as numpy.linalg refuses them
            numpys(a)


@pytest.mark.parametrize("ours,numpys", [
    (corx.det, np.linalg.det), (corx.cholesky, np.linalg.cholesky),
    (lambda a: corx.solve(a, np.ones(a.shape[-2])), lambda a: np.linalg.solve(a, np.ones(a.shape[-2]))),
])
@pytest.mark.parametrize("shape", [(3, 2), (2, 3), (4, 2, 3), (0, 2)])
def test_a_matrix_that_is_not_square_is_a_linalg_error(ours, numpys, shape):
    a = np.ones(shape)
    with pytest.raises(np.linalg.LinAlgError):
        numpys(a)
    with pytest.raises(corx.NotSquareError) as info:
        ours(a)
    # Also what every shape error is, for callers that catch those.
    assert isinstance(info.value, corx.LinAlgError) and isinstance(info.value, corx.ArgumentError)
    assert info.value.code == corx.SHAPE_MISMATCH


@pytest.mark.parametrize("value,error", [
    (2.9, TypeError), (np.float64(3.0), TypeError), ("3", TypeError), (None, TypeError), (True, TypeError),
    (-1, ValueError), (2**64, ValueError), (np.int64(-5), ValueError),
])
def test_limb_arguments_are_unsigned_64_bit_integers(value, error):
    with pytest.raises(error):
        corx.clz64(value)
    for args in ((value, 0, 1), (0, value, 1), (0, 1, value)):
        with pytest.raises(error):
            corx.udiv128(*args)
    # numpy's unsigned integers are integers
    assert corx.clz64(np.uint64(2**63)) == 0 and corx.clz64(np.uint8(1)) == 63


@pytest.mark.parametrize("indptr,indices,fault", [
    ([0, 1], [0, 1], "indptr hold rows \\+ 1"),
    ([1, 1, 1, 2], [0, 1], "does not start at 0"),
    ([0, 2, 1, 2], [0, 1], "decreases"),
    ([0, 1, 1, 1], [0, 1], "last row pointer"),
    ([0, 1, 1, 2], [0, 3], "column index is out of range"),
    ([0, 1, 1, 2], [0, 2**40], "column index is out of range"),  # would wrap to 0 in 32 bits
    ([0, 2, 2, 2], [1, 1], "not strictly increasing"),
])
def test_csr_faults_are_named(indptr, indices, fault):
    with pytest.raises(corx.ArgumentError, match=fault) as info:
        corx.SparseMatrix.from_csr(indptr, indices, [1.0, 2.0], (3, 3))
    assert info.value.code == corx.SHAPE_MISMATCH
    with pytest.raises(TypeError):
        corx.SparseMatrix.from_csr([0, 1, 1, 2], [0.0, 1.0], [1.0, 2.0], (3, 3))
    with pytest.raises(TypeError):
        corx.SparseMatrix.from_csr([0, 1, 1, 2], [0, 1], [1j, 2.0], (3, 3))
