/* SPDX-License-Identifier: BSD-3-Clause */
// The C boundary: no exception leaves an exported function.
//
// Exported wrappers run their body through guarded(). Errors the wrapper's
// contract consumes (ValueError for the solvers) are caught inside the body
// itself; anything that still reaches guarded() is a defect of the library
// and ends the process with the unhandled-error report, exactly as an error
// escaping the start-up does.
#pragma once

#include "runtime/errors.h"
#include "runtime/report.h"

namespace corx_internal {

template <class Body>
auto guarded(Body body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const CorxError& e) {
        reportUnhandled(e);
    } catch (...) {
        reportUnhandledForeign();
    }
}

}  // namespace corx_internal
