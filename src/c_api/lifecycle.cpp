// Lifecycle functions and status texts.
#include <atomic>

#include <corx/corx.h>
#include <corx/version.h>

namespace {

// Set once the first corx_init has finished the start-up; never reset.
std::atomic<bool> gInited{false};

const char* const kStatusTexts[] = {
    "Success",
    "Null handle",
    "Shape mismatch",
    "Singular matrix",
    "Matrix is not symmetric positive-definite",
    "Output buffer too small",
};

}  // namespace

extern "C" {

CORX_API int32_t corx_init(void) {
    if (!gInited.load(std::memory_order_acquire)) {
        corxrt_startup();
        gInited.store(true, std::memory_order_release);
    }
    return 1;
}

CORX_API const char* corx_version(void) { return CORX_VERSION_STRING; }

CORX_API void corx_cleanup(void) {}

CORX_API const char* corx_get_error_string(int32_t code) {
    if (code < 0 || code > 5) return "Unknown error";
    return kStatusTexts[code];
}

}
