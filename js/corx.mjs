// SPDX-License-Identifier: BSD-3-Clause
// corx for JavaScript: the library built for WebAssembly, behind an ES module
// that works on Float64Arrays (row-major, like the C interface) in node and
// in the browser.
//
//   import { loadCorx } from './corx.mjs';
//   const corx = await loadCorx();
//   using a = corx.matrix(2, 2, [4, 3, 6, 3]);      // or a.free() when done
//   const x = a.solve(Float64Array.of(10, 12));      // refined: [1, 2]
//
// Every result has the same bits as from the native library (a signalling
// NaN read with get() may come back quiet, as JavaScript numbers need not
// keep NaN payloads; toArray() copies the bits). Handles live in
// the module's memory, not in JavaScript's heap: free them with free() (or
// `using`, where Symbol.dispose exists); a FinalizationRegistry frees what is
// forgotten, at a time the garbage collector chooses. A failure throws a
// CorxError whose status and message are the library's (its CORX_* codes).
//
// The build puts this file beside corx_wasm.mjs and corx_wasm.wasm (the
// library and emscripten's loader): see the README's "JavaScript /
// WebAssembly" section.
import createCorxWasm from './corx_wasm.mjs';

/** The library's status codes (CorxStatus). */
export const Status = Object.freeze({
  SUCCESS: 0,
  NULL_HANDLE: 1,
  SHAPE_MISMATCH: 2,
  SINGULAR: 3,
  NOT_SPD: 4,
  BUFFER_TOO_SMALL: 5,
});

/** A failed call: `status` is the library's code, `message` its text. */
export class CorxError extends Error {
  constructor(status, message, detail) {
    super(detail ? `${message}: ${detail}` : message);
    this.name = 'CorxError';
    this.status = status;
  }
}

const kMaxElements = 2147483647;
// Only this module makes handles' objects (from a handle it owns).
const kAdopt = Symbol('adopt');
const dispose = typeof Symbol.dispose === 'symbol' ? Symbol.dispose : null;

// Node reads the .wasm beside this file itself: emscripten 3.1's loader would
// take node's fetch (node 18 and later) for the browser's and fail on a path.
async function nodeWasmBinary() {
  if (typeof process !== 'object' || typeof process.versions?.node !== 'string') return undefined;
  const { readFile } = await import('node:fs/promises');
  return readFile(new URL('./corx_wasm.wasm', import.meta.url));
}

/**
 * Loads the module; each call makes an independent instance with its own
 * memory. `options` are handed to emscripten's loader (locateFile, ...).
 */
export async function loadCorx(options = {}) {
  const wasmBinary = options.wasmBinary ?? (await nodeWasmBinary());
  const wasm = await createCorxWasm({ ...options, ...(wasmBinary ? { wasmBinary } : {}) });
  return new Corx(wasm);
}

// The library ends the process when memory is exhausted (see corx.h); in
// the module that is a trap, a WebAssembly.RuntimeError out of the call
// that ran out. The module may then be in any state: every later call of
// this instance throws that error again. The wrappers live on an object of
// their own: emscripten's exported functions replace themselves on the
// module on their first call.
function guarded(wasm) {
  const api = Object.create(wasm);  // the memory views come from the module
  let ended = null;
  for (const name of Object.keys(wasm)) {
    if (!/^_(corx_|corxrt_|corvane_|malloc$|free$)/.test(name)) continue;
    const raw = wasm[name];
    if (typeof raw !== 'function') continue;
    api[name] = (...args) => {
      if (ended) throw ended;
      try {
        return raw(...args);
      } catch (e) {
        if (e instanceof WebAssembly.RuntimeError) ended = e;
        throw e;
      }
    };
  }
  return api;
}

class Corx {
  #w;
  #registry;

  constructor(module) {
    const wasm = guarded(module);
    this.#w = wasm;
    // The safety net for handles nobody freed; free() unregisters.
    this.#registry = new FinalizationRegistry(({ destroy, handle }) => {
      try {
        wasm[destroy](handle);
      } catch {
        // the module has ended: nothing left to free
      }
    });
    this.Matrix = makeMatrixClass(this, wasm, this.#registry);
    this.Sparse = makeSparseClass(this, wasm, this.#registry);
    this.version = text(wasm, wasm._corx_version());
  }

  /** A rows x cols matrix from `data` (row-major, rows*cols numbers), or of +0.0. */
  matrix(rows, cols, data) {
    return this.Matrix.create(rows, cols, data);
  }

  /** The identity of order n. */
  identity(n) {
    const m = this.Matrix.create(n, n);
    for (let i = 0; i < n; ++i) m.set(i, i, 1);
    return m;
  }

  /**
   * Asks for n threads per call and returns the count in effect: always 1,
   * since this build has none (see corx_set_threads in corx.h).
   */
  setThreads(n) {
    if (!Number.isInteger(n) || n < 0 || n > 2147483647) throw new RangeError(`corx: thread count ${n}`);
    return this.#w._corx_set_threads(n);
  }

  /** Bytes of the module's memory: it grows with the matrices, never shrinks. */
  get memoryBytes() {
    return this.#w.HEAPU8.length;
  }
}

// ---- memory of the module --------------------------------------------------

function text(w, pointer) {
  let end = pointer;
  while (w.HEAPU8[end] !== 0) ++end;
  return new TextDecoder().decode(w.HEAPU8.subarray(pointer, end));
}

function fail(w, status, detail) {
  return new CorxError(status, text(w, w._corx_get_error_string(status)), detail);
}

// A block of the module's memory for the duration of fn(pointer).
function withBlock(w, bytes, fn) {
  const p = w._malloc(Math.max(bytes, 8));
  if (p === 0) throw new RangeError(`corx: cannot allocate ${bytes} bytes in the module's memory`);
  try {
    return fn(p);
  } finally {
    w._free(p);
  }
}

// `values` (any array-like of numbers) copied into the module's memory.
function withDoubles(w, values, fn) {
  const n = values.length;
  return withBlock(w, n * 8, (p) => {
    w.HEAPF64.set(values, p >>> 3);
    return fn(p, n);
  });
}

function readDoubles(w, p, n) {
  return w.HEAPF64.slice(p >>> 3, (p >>> 3) + n);
}

// The module's memory may grow to 2 GiB (emscripten's default limit); a
// matrix that cannot fit would end the module the way exhaustion ends a
// native process (see corx.h), so it is refused here first.
const kMaxBytes = 2 ** 31;
const kMaxIndex = 2 ** 31 - 1;
// corx_sparse_from_csr's fault values, as the header names them.
const kCsrFaults = ['no fault', 'a required array is missing', 'lengths: rows + 1 row starts, as many columns as values',
  'the first row start is not 0', 'row starts decrease', 'the last row start is not the number of values',
  'a column index outside the matrix', 'column indices not increasing within a row'];

function checkShape(w, rows, cols) {
  if (!Number.isInteger(rows) || !Number.isInteger(cols) || rows < 1 || cols < 1 || rows * cols > kMaxElements) {
    throw fail(w, Status.SHAPE_MISMATCH, `${rows} x ${cols} is not a matrix shape the library holds`);
  }
  if (rows * cols * 8 >= kMaxBytes) {
    throw new RangeError(`corx: a ${rows} x ${cols} matrix does not fit the module's memory (2 GiB)`);
  }
}

// ---- dense matrices ---------------------------------------------------------

function makeMatrixClass(corx, w, registry) {
  const own = (handle) => new Matrix(kAdopt, handle);

  class Matrix {
    #h = 0;

    constructor(token, handle) {
      if (token !== kAdopt) throw new TypeError('corx: make a matrix with corx.matrix(rows, cols, data)');
      this.#h = handle;
      registry.register(this, { destroy: '_corx_matrix_destroy', handle }, this);
    }

    static create(rows, cols, data) {
      checkShape(w, rows, cols);
      let h;
      if (data === undefined) {
        h = w._corx_matrix_create(rows, cols);
      } else {
        if (data.length !== rows * cols) {
          throw fail(w, Status.SHAPE_MISMATCH, `${data.length} values for ${rows} x ${cols}`);
        }
        // The length is an int64_t: low and high words.
        h = withDoubles(w, data, (p, n) => w._corx_matrix_create_from_buffer(rows, cols, p, n, 0));
      }
      if (h === 0) throw fail(w, Status.SHAPE_MISMATCH, `${rows} x ${cols}`);
      return own(h);
    }

    /** The handle, or a CorxError once freed. */
    get handle() {
      if (this.#h === 0) throw fail(w, Status.NULL_HANDLE, 'the matrix was freed');
      return this.#h;
    }

    /** Releases the matrix now; later calls do nothing. */
    free() {
      if (this.#h === 0) return;
      registry.unregister(this);
      w._corx_matrix_destroy(this.#h);
      this.#h = 0;
    }

    get freed() {
      return this.#h === 0;
    }

    get rows() {
      return w._corx_matrix_rows(this.handle);
    }

    get cols() {
      return w._corx_matrix_cols(this.handle);
    }

    get(i, j) {
      this.#inRange(i, j);
      return w._corx_matrix_get(this.handle, i, j);
    }

    set(i, j, value) {
      this.#inRange(i, j);
      w._corx_matrix_set(this.handle, i, j, value);
    }

    #inRange(i, j) {
      const rows = this.rows, cols = this.cols;
      if (!Number.isInteger(i) || !Number.isInteger(j) || i < 0 || j < 0 || i >= rows || j >= cols) {
        throw new RangeError(`corx: (${i}, ${j}) is outside a ${rows} x ${cols} matrix`);
      }
    }

    /** The elements, row-major, as a new Float64Array. */
    toArray() {
      const h = this.handle;
      const n = this.rows * this.cols;
      return withBlock(w, n * 8, (p) => {
        const r = w._corx_matrix_get_buffer(h, p, n, 0);
        if (r < 0) throw fail(w, -r);
        return readDoubles(w, p, n);
      });
    }

    /** The rows as arrays of numbers (for printing). */
    toRows() {
      const a = this.toArray(), cols = this.cols, out = [];
      for (let i = 0; i < a.length; i += cols) out.push(Array.from(a.subarray(i, i + cols)));
      return out;
    }

    /** this * other. */
    multiply(other) {
      const h = w._corx_matrix_mul(this.handle, other.handle);
      if (h === 0) {
        const detail = this.cols !== other.rows
          ? `${this.rows} x ${this.cols} times ${other.rows} x ${other.cols}`
          : `the product would hold more than ${kMaxElements} elements`;
        throw fail(w, Status.SHAPE_MISMATCH, detail);
      }
      return own(h);
    }

    transpose() {
      return own(w._corx_matrix_transpose(this.handle));
    }

    /** The determinant (LU with partial pivoting); 0 for a singular matrix. */
    determinant() {
      const h = this.handle;
      return withBlock(w, 4, (ok) => {
        const d = w._corx_matrix_determinant(h, ok);
        if (w.HEAP32[ok >>> 2] !== 1) throw fail(w, Status.SHAPE_MISMATCH, 'the matrix is not square');
        return d;
      });
    }

    /**
     * x with this * x = b (b: one value per row), by LU with partial
     * pivoting, refined once on the exact residual unless refine is false.
     */
    solve(b, { refine = true } = {}) {
      const h = this.handle;
      return withDoubles(w, b, (pb, n) => withBlock(w, n * 8, (px) => {
        const r = w._corx_matrix_lu_solve(h, pb, n, 0, px, n, 0, refine ? 1 : 0);
        if (r < 0) throw fail(w, -r);
        return readDoubles(w, px, r);
      }));
    }

    /** L, lower triangular, with this = L * L^T. */
    cholesky() {
      const h = w._corx_matrix_cholesky(this.handle);
      if (h === 0) {
        throw this.rows !== this.cols
          ? fail(w, Status.SHAPE_MISMATCH, 'the matrix is not square')
          : fail(w, Status.NOT_SPD);
      }
      return own(h);
    }

    /** { q, r } with this = q * r (full QR by Householder reflections; rows >= cols). */
    qr() {
      const h = this.handle;
      return withBlock(w, 8, (out) => {
        const status = w._corx_matrix_qr(h, out, out + 4);
        if (status !== 0) throw fail(w, status);
        return { q: own(w.HEAPU32[out >>> 2]), r: own(w.HEAPU32[(out >>> 2) + 1]) };
      });
    }

    /** { u, s, v } with this = u * diag(s) * v^T (thin, one-sided Jacobi; rows >= cols), s descending. */
    svd() {
      const h = this.handle;
      const n = this.cols;
      return withBlock(w, 8 + n * 8, (out) => {
        const ps = out + 8;
        const status = w._corx_matrix_svd(h, out, ps, n, 0, out + 4);
        if (status !== 0) throw fail(w, status);
        return { u: own(w.HEAPU32[out >>> 2]), s: readDoubles(w, ps, n), v: own(w.HEAPU32[(out >>> 2) + 1]) };
      });
    }

    /** The non-zero elements as a compressed-sparse-row matrix. */
    toSparse() {
      return corx.Sparse.fromDense(this);
    }
  }
  if (dispose) Matrix.prototype[dispose] = Matrix.prototype.free;
  return Matrix;
}

// ---- compressed sparse rows -------------------------------------------------

function makeSparseClass(corx, w, registry) {
  class Sparse {
    #h = 0;
    #rows = 0;
    #cols = 0;

    constructor(token, handle, rows, cols) {
      if (token !== kAdopt) throw new TypeError('corx: make a sparse matrix with Sparse.fromDense or Sparse.fromCSR');
      this.#h = handle;
      this.#rows = rows;
      this.#cols = cols;
      registry.register(this, { destroy: '_corx_sparse_destroy', handle }, this);
    }

    /** The non-zero elements of a dense matrix (+0.0 and -0.0 dropped, NaN kept). */
    static fromDense(m) {
      return new Sparse(kAdopt, w._corx_sparse_from_dense(m.handle), m.rows, m.cols);
    }

    /**
     * A rows x cols matrix from CSR arrays: row starts (rows + 1), column
     * indices (increasing within each row) and values, checked by the
     * library (corx_sparse_from_csr); zeros are dropped. A fault throws a
     * CorxError whose detail names it.
     */
    static fromCSR(rows, cols, rowStarts, columns, values) {
      if (!Number.isInteger(rows) || !Number.isInteger(cols) || rows < 1 || cols < 1 ||
          rows > kMaxIndex || cols > kMaxIndex) {
        throw fail(w, Status.SHAPE_MISMATCH, `${rows} x ${cols} is not a matrix shape the library holds`);
      }
      const nnz = values.length;
      if (columns.length !== nnz) {
        throw fail(w, Status.SHAPE_MISMATCH, `${columns.length} column indices for ${nnz} values`);
      }
      const starts = rowStarts.length;
      // Row starts as int64_t (low and high words), columns as int32_t, then
      // the values, the handle and the fault: one block, 8-byte aligned.
      const bytes = 8 * starts + 4 * nnz + (nnz % 2 ? 4 : 0) + 8 * nnz + 8;
      return withBlock(w, bytes, (p) => {
        const pStarts = p, pCols = p + 8 * starts, pValues = pCols + 4 * nnz + (nnz % 2 ? 4 : 0);
        const pOut = pValues + 8 * nnz;
        for (let i = 0; i < starts; ++i) {
          const v = rowStarts[i];
          if (!Number.isSafeInteger(v)) throw fail(w, Status.SHAPE_MISMATCH, `row start ${v}`);
          w.HEAP32[(pStarts >>> 2) + 2 * i] = v >>> 0;
          w.HEAP32[(pStarts >>> 2) + 2 * i + 1] = Math.floor(v / 2 ** 32);
        }
        for (let k = 0; k < nnz; ++k) {
          const j = columns[k];
          if (!Number.isInteger(j) || j < -(2 ** 31) || j > kMaxIndex) {
            throw fail(w, Status.SHAPE_MISMATCH, `column ${j}`);
          }
          w.HEAP32[(pCols >>> 2) + k] = j;
        }
        w.HEAPF64.set(values, pValues >>> 3);
        // int64_t arguments (the lengths) go as low and high words.
        const status = w._corx_sparse_from_csr(rows, cols, pStarts, starts, 0, pCols, pValues, nnz, 0, pOut,
                                               pOut + 4);
        if (status !== 0) throw fail(w, status, kCsrFaults[w.HEAP32[(pOut + 4) >>> 2]] ?? 'CSR arrays');
        return new Sparse(kAdopt, w.HEAPU32[pOut >>> 2], rows, cols);
      });
    }

    get handle() {
      if (this.#h === 0) throw fail(w, Status.NULL_HANDLE, 'the sparse matrix was freed');
      return this.#h;
    }

    free() {
      if (this.#h === 0) return;
      registry.unregister(this);
      w._corx_sparse_destroy(this.#h);
      this.#h = 0;
    }

    get freed() {
      return this.#h === 0;
    }

    get rows() {
      this.handle;
      return this.#rows;
    }

    get cols() {
      this.handle;
      return this.#cols;
    }

    get nnz() {
      return w._corx_sparse_nnz(this.handle);
    }

    /** this * x over the stored entries (x: one value per column). */
    multiply(x) {
      const h = this.handle, rows = this.#rows;
      return withDoubles(w, x, (px, n) => withBlock(w, rows * 8, (py) => {
        if (w._corx_sparse_matvec(h, px, n, 0, py, rows, 0) < 0) {
          throw fail(w, Status.SHAPE_MISMATCH, `${n} values for ${this.#cols} columns`);
        }
        return readDoubles(w, py, rows);
      }));
    }

    toDense() {
      return new corx.Matrix(kAdopt, w._corx_sparse_to_dense(this.handle));
    }
  }
  if (dispose) Sparse.prototype[dispose] = Sparse.prototype.free;
  return Sparse;
}
