# SPDX-License-Identifier: BSD-3-Clause
"""corx on ``dask.array``: the single call's bits for every chunking.

Each element of a corx product or factor is one chain of rounded operations
in a fixed order. The functions here split the work into tiles and apply
the library's tile steps (:func:`corx.mul_add`, :func:`corx.mul_sub_t`,
:func:`corx.cholesky_lower`, :func:`corx.cholesky_below`) so that every
element still receives its operations in exactly that order: the results
are those of :func:`corx.matmul`, :func:`corx.cholesky` and
:func:`corx.solve_spd`, bit for bit, whatever the chunks and however many
workers compute them (and whichever worker recomputes a lost tile).

- :func:`matmul`: tile (I, J) of the product is a chain over the tiles K of
  the inner dimension in increasing order, each step continuing the sums.
- :func:`cholesky`: right-looking by tiles. Tile (I, J), I >= J, takes the
  updates ``- L(I,K) @ L(J,K).T`` of the column tiles K < J in increasing
  order, then the diagonal tile's factor or the solve against it.
- :func:`solve_spd`: the forward substitution is the same panel solve on
  the transposed right-hand sides, and the back substitution the forward
  one on the unknowns in reverse order, with L transposed and reversed.
- :func:`solve`, :func:`det`, :func:`qr`, :func:`svd`: stacks of independent
  problems, split over the leading axes only.
- :func:`sparse_matvec`: the CSR product by blocks of rows.

Rechunking moves data and does no arithmetic, so the inputs may have any
chunks: the functions line the chunks up as they need.
"""

from __future__ import annotations

from typing import Sequence, Tuple, Union

import dask
import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

import corx

__all__ = ["matmul", "cholesky", "solve_spd", "solve", "det", "qr", "svd", "sparse_matvec"]


def _float(a):
    a = da.asarray(a)
    if a.dtype.kind == "c":
        raise TypeError("corx.dask: complex input is not supported (corx computes in float64)")
    return a.astype(np.float64)


def _single(*arrays):
    """True when every operand is float32: the result is then float32, as
    from the single call (computed in float64, rounded once at the end)."""
    return all(getattr(x, "dtype", None) == np.float32 for x in arrays)


def _out(x, single):
    if isinstance(x, tuple):
        return tuple(_out(y, single) for y in x)
    return x.astype(np.float32) if single else x


def _array(name, dsk, deps, chunks):
    graph = HighLevelGraph.from_collections(name, dsk, dependencies=deps)
    return da.Array(graph, name, chunks=chunks, dtype=np.float64)


# ---- product ----------------------------------------------------------------

def matmul(a, b) -> da.Array:
    """a @ b for 2-D arrays: :func:`corx.matmul`'s bits for any chunking."""
    single = _single(a, b)
    a, b = _float(a), _float(b)
    if a.ndim != 2 or b.ndim != 2 or a.shape[1] != b.shape[0]:
        raise corx.ArgumentError(corx.SHAPE_MISMATCH, "corx.dask.matmul", f"{a.shape} @ {b.shape}")
    if a.shape[1] == 0:
        return da.zeros((a.shape[0], b.shape[1]), chunks=(a.chunks[0], b.chunks[1]))
    b = b.rechunk((a.chunks[1], b.chunks[1]))  # the tiles of k line up
    name = "corx-matmul-" + tokenize(a, b)
    step = name + "-k"
    dsk = {}
    for i in range(len(a.chunks[0])):
        for j in range(len(b.chunks[1])):
            prev = None
            for k in range(len(a.chunks[1])):
                key = (step, i, j, k)
                if prev is None:
                    dsk[key] = (corx.matmul, (a.name, i, k), (b.name, k, j))
                else:
                    dsk[key] = (corx.mul_add, prev, (a.name, i, k), (b.name, k, j))
                prev = key
            dsk[(name, i, j)] = (np.asarray, prev)
    return _out(_array(name, dsk, [a, b], (a.chunks[0], b.chunks[1])), single)


# ---- Cholesky ---------------------------------------------------------------

def _not_spd(detail="not exactly symmetric, or a pivot is not positive"):
    # The single call's error, whichever tile finds the failure.
    return corx.LinAlgError(corx.NOT_SPD, "corx_matrix_cholesky", detail)


def _mirror_equal(lower, upper, diagonal):
    """Raises the single call's error unless lower == upper.T exactly (a
    NaN never equals its mirror; -0.0 equals +0.0)."""
    lower, upper = np.asarray(lower), np.asarray(upper)
    same = lower == upper.T
    if diagonal:
        same |= ~np.tri(lower.shape[0], dtype=bool)  # only below the diagonal counts
        np.fill_diagonal(same, True)
    if not same.all():
        raise _not_spd()
    return True


def _no_nan_below(tile, diagonal):
    """Raises the single call's error if the tile holds a NaN strictly below
    the diagonal: corx.cholesky mirrors the lower triangle into the upper
    one, and a NaN never equals its mirror."""
    nan = np.isnan(np.asarray(tile))
    if diagonal:
        nan &= np.tri(nan.shape[0], k=-1, dtype=bool)
    if nan.any():
        raise _not_spd()
    return True


def _all_true(*flags):
    return all(flags)


def _diagonal(c, *checked):
    try:
        return corx.cholesky_lower(c)
    except corx.LinAlgError:
        raise _not_spd() from None


def _square_tiles(a):
    if a.ndim != 2 or a.shape[0] != a.shape[1]:
        raise corx.NotSquareError(corx.SHAPE_MISMATCH, "corx_matrix_cholesky", f"{a.shape} is not square")
    return a.rechunk((a.chunks[0], a.chunks[0]))


def _factor_graph(a, check_symmetric):
    """The graph of L's tiles: the task dict and the name of L's tile keys,
    (name, i, j) for i >= j."""
    t = len(a.chunks[0])
    token = tokenize(a, check_symmetric)
    upd, lkey = "corx-chol-update-" + token, "corx-chol-l-" + token
    # The symmetry test of the single call, tile by tile: of the whole
    # matrix, or of the lower triangle mirrored (where only a NaN below the
    # diagonal can fail). The first pivot waits for it, so it fails first,
    # as in the single call.
    sym = "corx-chol-symmetric-" + token
    dsk, flags = {}, []
    for i in range(t):
        for j in range(i + 1):
            if check_symmetric:
                dsk[(sym, i, j)] = (_mirror_equal, (a.name, i, j), (a.name, j, i), i == j)
            else:
                dsk[(sym, i, j)] = (_no_nan_below, (a.name, i, j), i == j)
            flags.append((sym, i, j))
    dsk[(sym,)] = (_all_true,) + tuple(flags)
    gate = ((sym,),)

    def current(i, j, k):
        return (a.name, i, j) if k == 0 else (upd, i, j, k)

    for k in range(t):
        dsk[(lkey, k, k)] = (_diagonal, current(k, k, k)) + (gate if k == 0 else ())
        for i in range(k + 1, t):
            dsk[(lkey, i, k)] = (corx.cholesky_below, current(i, k, k), (lkey, k, k))
        for j in range(k + 1, t):
            for i in range(j, t):
                dsk[(upd, i, j, k + 1)] = (corx.mul_sub_t, current(i, j, k), (lkey, i, k), (lkey, j, k))
    return dsk, lkey


def cholesky(a, upper: bool = False, check_symmetric: bool = False) -> da.Array:
    """:func:`corx.cholesky` by tiles: the same factor, bit for bit, and the
    same failures (LinAlgError NOT_SPD for a pivot that is not positive and,
    with ``check_symmetric=True``, for a matrix not exactly symmetric; the
    symmetry test comes first, as in the single call). By default only the
    lower triangle is read (the upper one with ``upper=True``, which returns
    ``L.T``). The column chunks are made those of the rows."""
    single = _single(a)
    a = _float(a)
    if upper:
        return _out(cholesky(a.T, check_symmetric=check_symmetric).T, single)
    a = _square_tiles(a)
    if a.shape[0] == 0:
        return da.zeros(a.shape, chunks=a.chunks)
    dsk, lkey = _factor_graph(a, check_symmetric)
    name = "corx-cholesky-" + tokenize(a, check_symmetric)
    c = a.chunks[0]
    for i in range(len(c)):
        for j in range(len(c)):
            dsk[(name, i, j)] = (np.asarray, (lkey, i, j)) if i >= j else (np.zeros, (c[i], c[j]))
    return _out(_array(name, dsk, [a], a.chunks), single)


def _panel_solve(b, l):
    """Y with Y @ l.T = b in Cholesky's order, by tiles: tile (R, J) takes
    the updates of the tiles K < J in increasing order, then the solve
    against the diagonal tile J. b's column chunks are made l's."""
    b = b.rechunk((b.chunks[0], l.chunks[0]))
    name = "corx-panel-" + tokenize(b, l)
    upd = name + "-update"
    dsk = {}
    for r in range(len(b.chunks[0])):
        for j in range(len(l.chunks[0])):
            cur = (b.name, r, j)
            for k in range(j):
                dsk[(upd, r, j, k)] = (corx.mul_sub_t, cur, (name, r, k), (l.name, j, k))
                cur = (upd, r, j, k)
            dsk[(name, r, j)] = (corx.cholesky_below, cur, (l.name, j, j))
    return _array(name, dsk, [b, l], b.chunks)


def solve_spd(a, b, check_symmetric: bool = False) -> da.Array:
    """:func:`corx.solve_spd` by tiles: x with a @ x = b through the tiled
    Cholesky factor, bit for bit the single call's, with its failures.
    b is ``(n,)`` or ``(n, k)``."""
    single = _single(a, b)
    a, b = _float(a), _float(b)
    if b.ndim not in (1, 2) or a.ndim != 2 or b.shape[0] != a.shape[0]:
        raise corx.ArgumentError(corx.SHAPE_MISMATCH, "corx_matrix_cholesky_solve", f"{a.shape} with {b.shape}")
    vector = b.ndim == 1
    l = cholesky(a, check_symmetric=check_symmetric)
    bt = (b[None, :] if vector else b.T)
    y = _panel_solve(bt, l)
    # Back substitution: the forward one on the unknowns in reverse order,
    # with l transposed and turned half a turn (still lower triangular).
    m = l.T[::-1, ::-1]
    x = _panel_solve(y[:, ::-1], m)[:, ::-1]
    return _out(x[0] if vector else x.T, single)


# ---- stacks -------------------------------------------------------------------

def _stack(a, function, square=False):
    a = _float(a)
    if a.ndim < 2:
        raise corx.ArgumentError(corx.SHAPE_MISMATCH, function, f"expected shape (..., m, n), got {a.shape}")
    if square and a.shape[-1] != a.shape[-2]:
        raise corx.NotSquareError(corx.SHAPE_MISMATCH, function, f"{a.shape} is not square")
    # Whole matrices in each block; the leading axes keep their chunks.
    return a.rechunk(a.chunks[:-2] + (-1, -1))


def _lead(a):
    return tuple(f"l{i}" for i in range(a.ndim - 2))


def det(a) -> da.Array:
    """:func:`corx.det` over the leading axes of a stack ``(..., n, n)``."""
    single = _single(a)
    a = _stack(a, "corx_matrix_determinant", square=True)
    lead = _lead(a)
    return _out(da.blockwise(lambda x: np.asarray(corx.det(x)), lead, a, lead + ("i", "j"),
                             dtype=np.float64, concatenate=True), single)


def solve(a, b, refine: bool = True) -> da.Array:
    """:func:`corx.solve` over the leading axes: ``a (..., n, n)`` with
    ``b (..., n, k)`` (the same leading axes), or ``a (n, n)`` with
    ``b (n,)``."""
    single = _single(a, b)
    a = _stack(a, "corx_matrix_lu_solve_many", square=True)
    b = _float(b)
    lead = _lead(a)
    vector = b.ndim == 1 and a.ndim == 2
    if (not vector and b.ndim != a.ndim) or b.shape[:len(lead)] != a.shape[:-2] or b.shape[len(lead)] != a.shape[-1]:
        raise corx.ArgumentError(corx.SHAPE_MISMATCH, "corx_matrix_lu_solve_many", f"{a.shape} with {b.shape}")
    b = b.rechunk(a.chunks[:-2] + ((-1,) if vector else (-1, -1)))
    bi = lead + (("i",) if vector else ("i", "k"))
    return _out(da.blockwise(lambda x, y: corx.solve(x, y, refine=refine), bi, a, lead + ("i", "j"), b, bi,
                             dtype=np.float64, concatenate=True), single)


def _packed(a, fn, shapes):
    """fn over a stack, its several results packed flat into one array per
    block and cut apart again (no arithmetic on the bits)."""
    lead = _lead(a)
    sizes = [int(np.prod(s)) for s in shapes]

    def pack(x):
        outs = fn(x)
        n = x.shape[:-2]
        return np.concatenate([np.asarray(o, dtype=np.float64).reshape(n + (-1,)) for o in outs], axis=-1)

    flat = da.blockwise(pack, lead + ("f",), a, lead + ("i", "j"), dtype=np.float64, concatenate=True,
                        new_axes={"f": sum(sizes)})
    out, at = [], 0
    for s, size in zip(shapes, sizes):
        part = flat[..., at:at + size]
        out.append(part.map_blocks(lambda p, s=s: p.reshape(p.shape[:-1] + s),
                                   chunks=part.chunks[:-1] + tuple((d,) for d in s),
                                   new_axis=list(range(part.ndim, part.ndim + len(s) - 1)), dtype=np.float64))
        at += size
    return tuple(out)


def qr(a, mode: str = "reduced") -> Tuple[da.Array, da.Array]:
    """:func:`corx.qr` (modes "reduced" and "complete") over the leading
    axes of a stack ``(..., m, n)``."""
    if mode not in ("reduced", "complete"):
        raise ValueError(f"corx.dask.qr: mode {mode!r}; 'reduced' or 'complete'")
    single = _single(a)
    a = _stack(a, "corx_matrix_qr")
    m, n = a.shape[-2:]
    k = m if mode == "complete" else min(m, n)
    return _out(_packed(a, lambda x: corx.qr(x, mode=mode), [(m, k), (k, n)]), single)


def svd(a, full_matrices: bool = True) -> Tuple[da.Array, da.Array, da.Array]:
    """:func:`corx.svd` ``(u, s, vh)`` over the leading axes of a stack."""
    single = _single(a)
    a = _stack(a, "corx_matrix_svd")
    m, n = a.shape[-2:]
    k = min(m, n)
    shapes = [(m, m), (k,), (n, n)] if full_matrices else [(m, k), (k,), (k, n)]
    return _out(_packed(a, lambda x: corx.svd(x, full_matrices=full_matrices), shapes), single)


# ---- sparse -----------------------------------------------------------------------

def _block_matvec(block, x):
    if not isinstance(block, corx.SparseMatrix):
        block = corx.SparseMatrix(block)
    return block.matvec(x)


def sparse_matvec(a: Union[Sequence["corx.SparseMatrix"], da.Array], x) -> da.Array:
    """The CSR product by blocks of rows: ``a`` is a sequence of
    :class:`corx.SparseMatrix` (row blocks, top to bottom, equal in
    columns) or a dense dask array whose row chunks become the blocks on the
    workers. Each row is its own sum over its stored entries, so the result
    is the whole matrix's :meth:`corx.SparseMatrix.matvec`, bit for bit."""
    x = np.ascontiguousarray(np.asarray(x, dtype=np.float64))
    if isinstance(a, da.Array):
        a = _float(a)
        if a.ndim != 2 or x.shape != (a.shape[1],):
            raise corx.ArgumentError(corx.SHAPE_MISMATCH, "corx_sparse_matvec", f"{a.shape} @ {x.shape}")
        a = a.rechunk((a.chunks[0], -1))
        return da.blockwise(_block_matvec, "i", a, "ij", x, "j", dtype=np.float64, concatenate=True)
    parts = []
    xd = dask.delayed(x)
    for block in a:
        if x.shape != (block.shape[1],):
            raise corx.ArgumentError(corx.SHAPE_MISMATCH, "corx_sparse_matvec", f"{block.shape} @ {x.shape}")
        parts.append(da.from_delayed(dask.delayed(_block_matvec)(block, xd), (block.shape[0],), dtype=np.float64))
    return da.concatenate(parts)
