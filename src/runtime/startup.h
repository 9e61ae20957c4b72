/* SPDX-License-Identifier: BSD-3-Clause */
// The start-up mechanism and the global teardown.
//
// A library is started by running the initialiser of each of its modules in
// a fixed order, once per process; which modules and in which order is for
// the library to say (the runtime knows none of them). After each module
// the start-up tests for a pending error; an error there ends the process
// with the unhandled-error report (exit status 1). The global teardown runs
// the modules' finalisers in reverse order.
#pragma once

#include <span>

namespace corx_internal {

struct ModuleInit {
    void (*init)();      // computes the module's tables; may raise
    void (*teardown)();  // releases them; never raises
};

// The runtime's own part of the start-up, the first module of every start:
// installs the process signal dispositions.
void startRuntime() noexcept;

// Runs each module's initialiser in order, reporting and exiting on the
// first error that escapes one.
void runStartup(std::span<const ModuleInit> modules) noexcept;

// Runs the finalisers in reverse order.
void runTeardown(std::span<const ModuleInit> modules) noexcept;

}  // namespace corx_internal
