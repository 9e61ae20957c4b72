/* SPDX-License-Identifier: BSD-3-Clause */
// Handle boxes: the reference-counted records behind CorxMatrix and
// CorxSparse, and the rules for moving values in and out of them.
//
// A box is a reference count followed by one record. Every handle returned
// to the host holds exactly one reference, so one destroy frees it, and
// results are boxed into new handles.
//
// One rule for operands: every exported function reads the record of an
// operand handle in place, through operand(), and never writes it. This is
// observationally the same as working on a private copy: the only functions
// that change or free a record (corx_matrix_set, the destroy functions) may
// not overlap any other use of the same handle, so nothing can change the
// record while it is read, and no result shares storage with it (results
// are always new records). Reading in place saves a full copy of every
// operand.
#pragma once

#include <cstdint>

#include <corx/corx.h>

#include "types/matrix.h"
#include "types/sparse.h"

struct CorxMatrixBox {
    std::int64_t refs;
    corx_internal::Matrix value;
};

struct CorxSparseBox {
    std::int64_t refs;
    corx_internal::CsrMatrix value;
};

namespace corx_internal {

// Boxes m into a new handle holding one reference.
CorxMatrix pin(Matrix m);
CorxSparse pinSparse(CsrMatrix s);

// The boxed record, read in place (the handle must not be null).
inline const Matrix& operand(CorxMatrix h) { return h->value; }
inline const CsrMatrix& operand(CorxSparse h) { return h->value; }

// Releases one reference; frees the box with the last one. Null is ignored.
void release(CorxMatrix h) noexcept;
void release(CorxSparse h) noexcept;

}  // namespace corx_internal
