/* SPDX-License-Identifier: BSD-3-Clause */
// The C boundary: no exception leaves an exported function, and every
// computation runs in the library's floating-point environment.
//
// Exported wrappers that compute with doubles run their body through
// guarded(), which switches to round-to-nearest with subnormals kept and no
// traps for the body and gives the caller's environment back afterwards
// (runtime/float_env.h). Entries that only copy bits or count (get, set,
// the buffer copy, the sizes, the limb primitives) need no environment.
//
// Errors the wrapper's contract consumes (ValueError for the solvers) are
// caught inside the body itself; anything that still reaches guarded() is a
// defect of the library and ends the process with the unhandled-error
// report, exactly as an error escaping the start-up does.
#pragma once

#include "runtime/errors.h"
#include "runtime/float_env.h"
#include "runtime/report.h"

namespace corx_internal {

template <class Body>
auto guarded(Body body) noexcept -> decltype(body()) {
    const DefaultFloatEnv env;
    try {
        return body();
    } catch (const CorxError& e) {
        reportUnhandled(e);
    } catch (...) {
        reportUnhandledForeign();
    }
}

}  // namespace corx_internal
