// The library's start-up and global teardown.
//
// The start-up runs once per process: first the runtime's own part (signal
// dispositions), then the initialiser of each module in its fixed order.
// After each module the start-up tests for a pending error; an error there
// ends the process with the unhandled-error report (exit status 1).
// The global teardown runs the modules' finalisers in reverse order.
#pragma once

#include <span>

namespace corx_internal {

struct ModuleInit {
    const char* name;
    void (*init)();      // computes the module's tables; may raise
    void (*teardown)();  // releases them; never raises
};

// The library's modules, in start-up order.
std::span<const ModuleInit> libraryModules() noexcept;

// Installs the signal dispositions, then runs each module's initialiser in
// order, reporting and exiting on the first error that escapes one.
void runStartup(std::span<const ModuleInit> modules) noexcept;

// Runs the finalisers in reverse order.
void runTeardown(std::span<const ModuleInit> modules) noexcept;

}  // namespace corx_internal
