// SPDX-License-Identifier: BSD-3-Clause
#include "runtime/scratch.h"

#include <pthread.h>
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include <atomic>
#include <new>

#include "runtime/memory.h"

namespace corx_internal {
namespace {

struct ThreadScratch {
    double* buffer[kScratchSlots];
    std::int64_t capacity[kScratchSlots];
    bool lent[kScratchSlots];
    bool hooked;  // the thread-exit hook knows this thread's buffers
};

#if defined(_WIN32)
// mingw-w64 keeps thread_local variables in emulated TLS, which the C++
// runtime's own thread-exit hook frees, ahead of ours (its key is older):
// a record inside it would be read after it was freed. There the record
// lives on the heap, the variable holds only its address, and the hook
// receives the record itself and frees it.
thread_local ThreadScratch* tScratchRecord = nullptr;

ThreadScratch& threadScratch() {
    ThreadScratch*& record = tScratchRecord;
    if (record == nullptr) record = new ThreadScratch{};
    return *record;
}
#else
// Static TLS (initial-exec) and trivially destructible: touching it never
// allocates and registers nothing; the buffers are released through the
// key's destructor below.
thread_local ThreadScratch tScratch __attribute__((tls_model("initial-exec"))) = {};

ThreadScratch& threadScratch() noexcept { return tScratch; }
#endif

double* allocateAligned(std::int64_t count) {
    const std::size_t bytes = checkedMul(static_cast<std::size_t>(count > 0 ? count : 1), sizeof(double));
    return static_cast<double*>(::operator new(bytes, std::align_val_t(64)));
}

void releaseAligned(double* p) noexcept {
    if (p != nullptr) ::operator delete(p, std::align_val_t(64));
}

// Runs when a thread that holds buffers exits. The library is never
// unloaded (it is linked nodelete), so the function outlives every thread.
void releaseThreadScratch(void* state) noexcept {
    auto* s = static_cast<ThreadScratch*>(state);
    for (int i = 0; i < kScratchSlots; ++i) {
        releaseAligned(s->buffer[i]);
        s->buffer[i] = nullptr;
        s->capacity[i] = 0;
    }
    s->hooked = false;
#if defined(_WIN32)
    delete s;
#endif
}

#if defined(_WIN32)
// What linking with -z nodelete does on ELF: once loaded, the DLL stays
// loaded whatever FreeLibrary the host calls, since the hook above and the
// pool's workers run its code after any call.
const bool gPinned = [] {
    HMODULE self = nullptr;
    return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                reinterpret_cast<LPCWSTR>(&releaseThreadScratch), &self) != 0;
}();
#endif

// The key is created by the first thread to need it, without an
// initialisation guard: a thread that finds another one creating it goes
// without the hook for that call instead of waiting, so that no thread (nor
// a child forked meanwhile) ever waits here.
enum : int { kKeyNone, kKeyCreating, kKeyReady, kKeyFailed };
std::atomic<int> gKeyState{kKeyNone};
pthread_key_t gKey{};

// Whether the key can be used now.
bool exitKeyReady() noexcept {
    int state = gKeyState.load(std::memory_order_acquire);
    if (state == kKeyNone && gKeyState.compare_exchange_strong(state, kKeyCreating, std::memory_order_acq_rel)) {
        state = pthread_key_create(&gKey, releaseThreadScratch) == 0 ? kKeyReady : kKeyFailed;
        gKeyState.store(state, std::memory_order_release);
    }
    return state == kKeyReady;
}

// Whether the thread-exit hook knows this thread's buffers, registering
// it on first use. pthread_setspecific may need memory for keys past the
// first few dozen; without the hook the thread keeps nothing.
bool hooked(ThreadScratch& s) noexcept {
    if (!s.hooked) s.hooked = exitKeyReady() && pthread_setspecific(gKey, &s) == 0;
    return s.hooked;
}

}  // namespace

void releaseScratch() noexcept {
    ThreadScratch& s = threadScratch();
    for (int i = 0; i < kScratchSlots; ++i) {
        if (s.lent[i]) continue;  // in use further up this thread's stack
        releaseAligned(s.buffer[i]);
        s.buffer[i] = nullptr;
        s.capacity[i] = 0;
    }
}

Scratch::Scratch(ScratchSlot slot, std::int64_t count) {
    const int i = static_cast<int>(slot);
    ThreadScratch& s = threadScratch();
    if (s.lent[i] || !hooked(s)) {
        data_ = allocateAligned(count);
        fresh_ = true;
        return;
    }
    if (s.capacity[i] < count || s.buffer[i] == nullptr) {
        releaseAligned(s.buffer[i]);
        s.buffer[i] = nullptr;
        s.capacity[i] = 0;
        s.buffer[i] = allocateAligned(count);
        s.capacity[i] = count;
        fresh_ = true;
    }
    s.lent[i] = true;
    data_ = s.buffer[i];
    slot_ = i;
}

Scratch::~Scratch() {
    if (slot_ >= 0) {
        threadScratch().lent[slot_] = false;
    } else {
        releaseAligned(data_);
    }
}

}  // namespace corx_internal
