// SPDX-License-Identifier: BSD-3-Clause
// The ES module over the wasm build (js/corx.mjs), run with node's own test
// runner: results that the native library gives exactly, and its failures
// arriving as CorxError with the library's status and text. The bits of
// every family are the conformance program's business (same-bits rows wasm
// and wasm-simd128); here the wrapper's marshalling and ownership are.
//
//   CORX_JS_MODULE=build-wasm/js/corx.mjs node --test tests/js/corx_test.mjs
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { pathToFileURL } from 'node:url';

const modulePath = process.env.CORX_JS_MODULE;
if (!modulePath) throw new Error('set CORX_JS_MODULE to the built corx.mjs');
const { loadCorx, CorxError, Status } = await import(pathToFileURL(modulePath).href);
const corx = await loadCorx();

// Runs fn with the handles it makes freed afterwards.
function scoped(fn) {
  const made = [];
  const keep = (h) => (made.push(h), h);
  try {
    return fn(keep);
  } finally {
    for (const h of made) h.free();
  }
}

function assertFails(fn, status, text) {
  assert.throws(fn, (e) => e instanceof CorxError && e.status === status && e.message.startsWith(text));
}

test('dense matrices keep their elements bit for bit', () => scoped((keep) => {
  const data = Float64Array.of(-0, 5e-324, -Infinity, 1 / 3, 2 ** 1023, -1);
  const m = keep(corx.matrix(2, 3, data));
  assert.equal(m.rows, 2);
  assert.equal(m.cols, 3);
  assert.deepEqual(m.toArray(), data);
  assert.ok(Object.is(m.get(0, 0), -0));
  m.set(1, 2, 7);
  assert.equal(m.toArray()[5], 7);
  assert.deepEqual(keep(corx.matrix(2, 2)).toArray(), new Float64Array(4));
  assert.throws(() => m.get(2, 0), RangeError);
  assertFails(() => corx.matrix(2, 2, [1, 2, 3]), Status.SHAPE_MISMATCH, 'Shape mismatch');
  assertFails(() => corx.matrix(0, 2), Status.SHAPE_MISMATCH, 'Shape mismatch');
  assertFails(() => corx.matrix(65536, 65536), Status.SHAPE_MISMATCH, 'Shape mismatch');
  assert.throws(() => corx.matrix(16384, 16384), RangeError);
}));

test('product, determinant and refined solve give the exact results', () => scoped((keep) => {
  const a = keep(corx.matrix(2, 2, [1, 2, 3, 4]));
  const b = keep(corx.matrix(2, 2, [5, 6, 7, 8]));
  assert.deepEqual(keep(a.multiply(b)).toRows(), [[19, 22], [43, 50]]);
  assert.equal(a.determinant(), -2);
  assert.equal(keep(corx.matrix(2, 2, [1, 2, 2, 4])).determinant(), 0);
  const s = keep(corx.matrix(2, 2, [4, 3, 6, 3]));
  assert.deepEqual(s.solve([10, 12]), Float64Array.of(1, 2));
  // An exact right-hand side whose unrefined solution is off in the last
  // bits: the refined one is the exact solution.
  const h = keep(corx.matrix(3, 3, [10, 7, 8, 7, 5, 6, 8, 6, 10]));
  const x = Float64Array.of(1, -2, 3);
  const rhs = keep(h.multiply(keep(corx.matrix(3, 1, x)))).toArray();
  assert.notDeepEqual(h.solve(rhs, { refine: false }), x);
  assert.deepEqual(h.solve(rhs), x);
}));

test('failures carry the library status and message', () => scoped((keep) => {
  const a = keep(corx.matrix(2, 3, [1, 2, 3, 4, 5, 6]));
  assertFails(() => a.multiply(a), Status.SHAPE_MISMATCH, 'Shape mismatch');
  assertFails(() => a.determinant(), Status.SHAPE_MISMATCH, 'Shape mismatch');
  assertFails(() => a.solve([1, 2]), Status.SHAPE_MISMATCH, 'Shape mismatch');
  const sq = keep(corx.matrix(2, 2, [1, 2, 3, 4]));
  assertFails(() => sq.solve([1, 2, 3]), Status.SHAPE_MISMATCH, 'Shape mismatch');
  assertFails(() => keep(corx.matrix(2, 2, [1, 2, 2, 4])).solve([1, 1]), Status.SINGULAR, 'Singular matrix');
  assertFails(() => a.cholesky(), Status.SHAPE_MISMATCH, 'Shape mismatch');
  assertFails(() => keep(corx.matrix(2, 2, [1, 2, 2, 1])).cholesky(), Status.NOT_SPD,
    'Matrix is not symmetric positive-definite');
  assertFails(() => keep(corx.matrix(2, 2, [4, 2, 1, 5])).cholesky(), Status.NOT_SPD, 'Matrix is not');
  assertFails(() => a.qr(), Status.SHAPE_MISMATCH, 'Shape mismatch');
  assertFails(() => a.svd(), Status.SHAPE_MISMATCH, 'Shape mismatch');
}));

test('Cholesky, QR and SVD', () => scoped((keep) => {
  assert.deepEqual(keep(keep(corx.matrix(2, 2, [4, 2, 2, 5])).cholesky()).toRows(), [[2, 0], [1, 2]]);

  const { q, r } = keep(corx.matrix(2, 1, [3, 4])).qr();
  keep(q), keep(r);
  assert.equal(q.rows, 2);
  assert.equal(r.rows, 2);
  assert.equal(Math.abs(r.get(0, 0)), 5);
  assert.ok(Object.is(Math.abs(r.get(1, 0)), 0));
  const back = keep(q.multiply(r)).toArray();
  assert.ok(Math.abs(back[0] - 3) < 1e-15 && Math.abs(back[1] - 4) < 1e-15);
  const qtq = keep(keep(q.transpose()).multiply(q)).toArray();
  for (const [i, want] of [1, 0, 0, 1].entries()) assert.ok(Math.abs(qtq[i] - want) < 1e-15);

  // Columns already orthogonal: no rotation, the singular values exactly.
  const { u, s, v } = keep(corx.matrix(3, 2, [2, 0, 0, -3, 0, 0])).svd();
  keep(u), keep(v);
  assert.deepEqual(s, Float64Array.of(3, 2));
  assert.equal(u.rows, 3);
  assert.equal(v.rows, 2);
  const us = keep(u.multiply(keep(corx.matrix(2, 2, [s[0], 0, 0, s[1]]))));
  assert.deepEqual(keep(us.multiply(keep(v.transpose()))).toArray(), Float64Array.of(2, 0, 0, -3, 0, 0));
}));

test('compressed sparse rows', () => scoped((keep) => {
  const dense = keep(corx.matrix(2, 3, [1, 0, 2, -0, 0, 3]));
  const s = keep(dense.toSparse());
  assert.equal(s.nnz, 3);
  assert.deepEqual(s.multiply([1, 10, 100]), Float64Array.of(201, 300));
  const c = keep(corx.Sparse.fromCSR(2, 3, [0, 2, 3], [0, 2, 2], [1, 2, 3]));
  assert.deepEqual(keep(c.toDense()).toArray(), Float64Array.of(1, 0, 2, 0, 0, 3));
  assertFails(() => s.multiply([1, 2]), Status.SHAPE_MISMATCH, 'Shape mismatch');
  assertFails(() => corx.Sparse.fromCSR(2, 3, [0, 2, 3], [0, 3, 2], [1, 2, 3]), Status.SHAPE_MISMATCH, 'Shape');
  // The library names each fault of the arrays; zeros are dropped.
  const faults = [
    [[0, 2, 3], [2, 0, 2], /not increasing/],
    [[0, 2, 2], [0, 2, 2], /last row start/],
    [[1, 2, 3], [0, 2, 2], /first row start/],
    [[0, 3, 2], [0, 1, 2], /decrease/],
  ];
  for (const [starts, cols, why] of faults) {
    assert.throws(() => corx.Sparse.fromCSR(2, 3, starts, cols, [1, 2, 3]),
      (e) => e instanceof CorxError && e.status === Status.SHAPE_MISMATCH && why.test(e.message));
  }
  assert.equal(keep(corx.Sparse.fromCSR(2, 3, [0, 2, 3], [0, 2, 2], [1, -0, 3])).nnz, 2);
}));

test('handles are freed when asked, and a freed handle is refused', () => {
  const m = corx.matrix(2, 2, [1, 2, 3, 4]);
  m.free();
  m.free();
  assert.ok(m.freed);
  assertFails(() => m.rows, Status.NULL_HANDLE, 'Null handle');
  assertFails(() => m.solve([1, 2, 3]), Status.NULL_HANDLE, 'Null handle');
  const other = corx.matrix(2, 2);
  assertFails(() => other.multiply(m), Status.NULL_HANDLE, 'Null handle');
  if (typeof Symbol.dispose === 'symbol') {
    other[Symbol.dispose]();
    assert.ok(other.freed);
  } else {
    other.free();
  }
  const s = corx.matrix(1, 1, [1]).toSparse();
  s.free();
  assertFails(() => s.multiply([1]), Status.NULL_HANDLE, 'Null handle');
  assert.throws(() => new corx.Matrix(0, 0), TypeError);
});

test('the build computes on the calling thread', () => {
  assert.equal(corx.setThreads(4), 1);
  assert.throws(() => corx.setThreads(-1), RangeError);
  assert.match(corx.version, /^\d+\.\d+\.\d+/);
});
