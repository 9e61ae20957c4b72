// Handle boxes: the reference-counted records behind CorxMatrix and
// CorxSparse, and the rules for moving values in and out of them.
//
// A box is a reference count followed by one record. Every handle returned
// to the host holds exactly one reference, so one destroy frees it. Values
// are copied out of a box before any computation (the caller's handle is
// never touched again) and results are boxed into new handles.
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

// Private copies of the boxed records (the handle must not be null).
Matrix unbox(CorxMatrix h);
CsrMatrix unbox(CorxSparse h);

// Releases one reference; frees the box with the last one. Null is ignored.
void release(CorxMatrix h) noexcept;
void release(CorxSparse h) noexcept;

}  // namespace corx_internal
