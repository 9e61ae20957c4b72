#include "runtime/startup.h"

#include <atomic>
#include <mutex>

#include <corx/corx.h>

#include "constants/float_math.h"
#include "constants/reduction.h"
#include "runtime/errors.h"
#include "runtime/report.h"
#include "runtime/signals.h"

namespace corx_internal {

std::span<const ModuleInit> libraryModules() noexcept {
    // `float_math` starts from the pi that `reduction` computes.
    static constexpr ModuleInit kModules[] = {
        {"reduction", initReduction, teardownReduction},
        {"float_math", initFloatMath, teardownFloatMath},
    };
    return kModules;
}

void runStartup(std::span<const ModuleInit> modules) noexcept {
    installSignalHandlers();
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

namespace {
std::once_flag gStartupOnce;
std::atomic<bool> gTornDown{false};
}  // namespace

}  // namespace corx_internal

extern "C" {

// Runs the start-up at most once, whoever calls first; concurrent callers
// wait until it has finished.
CORX_API void corxrt_startup(void) {
    std::call_once(corx_internal::gStartupOnce, [] { corx_internal::runStartup(corx_internal::libraryModules()); });
}

// Releases the start-up tables; a second call does nothing.
CORX_API void corxrt_teardown(void) {
    if (corx_internal::gTornDown.exchange(true)) return;
    corx_internal::runTeardown(corx_internal::libraryModules());
}

}
