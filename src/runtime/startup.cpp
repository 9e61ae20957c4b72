// SPDX-License-Identifier: BSD-3-Clause
#include "runtime/startup.h"

#include "runtime/errors.h"
#include "runtime/report.h"
#include "runtime/signals.h"

namespace corx_internal {

void startRuntime() noexcept { installSignalHandlers(); }

void runStartup(std::span<const ModuleInit> modules) noexcept {
    for (const ModuleInit& module : modules) {
        try {
            if (module.init != nullptr) module.init();
        } catch (const CorxError& e) {
            reportUnhandled(e);
        } catch (...) {
            reportUnhandledForeign();
        }
    }
}

void runTeardown(std::span<const ModuleInit> modules) noexcept {
    for (std::size_t k = modules.size(); k-- > 0;) {
        if (modules[k].teardown != nullptr) modules[k].teardown();
    }
}

}  // namespace corx_internal
