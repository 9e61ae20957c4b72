// SPDX-License-Identifier: BSD-3-Clause
#include "c_api/handles.h"

#include <utility>

namespace corx_internal {

// The local result is handed over to the box: the box then holds the only
// copy of the elements, which is all a copy-and-release would leave behind.
CorxMatrix pin(Matrix m) { return new CorxMatrixBox{1, std::move(m)}; }
CorxSparse pinSparse(CsrMatrix s) { return new CorxSparseBox{1, std::move(s)}; }

namespace {
template <class Box>
void releaseBox(Box* h) noexcept {
    if (h == nullptr) return;
    if (--h->refs <= 0) delete h;
}
}  // namespace

void release(CorxMatrix h) noexcept { releaseBox(h); }
void release(CorxSparse h) noexcept { releaseBox(h); }

}  // namespace corx_internal
