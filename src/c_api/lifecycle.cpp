// SPDX-License-Identifier: BSD-3-Clause
// Lifecycle functions and status texts, and what the library's start-up is
// made of: the runtime's own part, then the modules that compute the
// constant tables, in the order their dependencies require. The exported
// runtime entries wrap the same internal start-up and teardown that
// corx_init uses; the library never calls an exported entry itself.
#include <atomic>
#include <mutex>

#include <corx/corx.h>
#include <corx/version.h>

#include "constants/float_math.h"
#include "constants/reduction.h"
#include "runtime/float_env.h"
#include "runtime/memory.h"
#include "runtime/parallel.h"
#include "runtime/scratch.h"
#include "runtime/startup.h"

namespace corx_internal {
namespace {

// The library's modules, in start-up order. `float_math` starts from the
// pi that `reduction` computes.
constexpr ModuleInit kLibraryModules[] = {
    {startRuntime, nullptr},
    {initReduction, teardownReduction},
    {initFloatMath, teardownFloatMath},
};

std::once_flag gStartupOnce;
std::atomic<bool> gTornDown{false};

// Set once the first start-up has finished; never reset.
std::atomic<bool> gInited{false};

// Runs the start-up at most once, whoever calls first; concurrent callers
// wait until it has finished. The constant tables are computed in the
// library's floating-point environment, whatever the first caller's.
void startLibrary() noexcept {
    if (gInited.load(std::memory_order_acquire)) return;
    std::call_once(gStartupOnce, [] {
        const DefaultFloatEnv env;
        runStartup(kLibraryModules);
    });
    gInited.store(true, std::memory_order_release);
}

// Releases the start-up tables; a second call does nothing.
void tearDownLibrary() noexcept {
    if (gTornDown.exchange(true)) return;
    runTeardown(kLibraryModules);
}

const char* const kStatusTexts[] = {
    "Success",
    "Null handle",
    "Shape mismatch",
    "Singular matrix",
    "Matrix is not symmetric positive-definite",
    "Output buffer too small",
};

}  // namespace
}  // namespace corx_internal

extern "C" {

CORX_API int32_t corx_init(void) {
    corx_internal::startLibrary();
    return 1;
}

CORX_API const char* corx_version(void) { return CORX_VERSION_STRING; }

CORX_API void corx_cleanup(void) {
    corx_internal::stopWorkers();
    corx_internal::releaseScratch();
    corx_internal::releaseKeptBlocks();
}

CORX_API const char* corx_get_error_string(int32_t code) {
    if (code < 0 || code > 5) return "Unknown error";
    return corx_internal::kStatusTexts[code];
}

CORX_API int32_t corx_set_threads(int32_t n) {
    const std::int32_t before = corx_internal::threadCount();
    const std::int32_t now = corx_internal::setThreads(n);
    if (now > 0 && now != before) corx_internal::stopWorkers();
    return now;
}

CORX_API int32_t corx_get_threads(void) { return corx_internal::threadCount(); }

CORX_API int32_t corx_set_executor(CorxExecutor run, void* host_data, int32_t width) {
    return corx_internal::setExecutor(run, host_data, width);
}

CORX_API void corxrt_startup(void) { corx_internal::startLibrary(); }

CORX_API void corxrt_teardown(void) { corx_internal::tearDownLibrary(); }

}
