// SPDX-License-Identifier: BSD-3-Clause
// Linked ahead of the conformance program's wasm build (--pre-js): the
// program reads CORX_SPLIT_SMALL and the library CORX_THREADS from the
// environment, and emscripten's getenv sees only its own defaults unless
// the process's variables are copied in before main runs.
Module['preRun'] = [].concat(Module['preRun'] || [], function () {
  Object.assign(ENV, process.env);
});
