// SPDX-License-Identifier: BSD-3-Clause
#include "runtime/memory.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX  // (the C++ runtime's headers may have defined it)
#endif
#include <windows.h>
#include <io.h>
#include <malloc.h>
#include <process.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <new>

namespace corx_internal {

void endProcess(const char* text, std::size_t length) noexcept {
#if defined(_WIN32)
    (void)::_write(2, text, static_cast<unsigned>(length));
#else
    ssize_t ignored = ::write(STDERR_FILENO, text, length);
    (void)ignored;
#endif
#if defined(__EMSCRIPTEN__)
    // A wasm module cannot end its process: emscripten's _exit throws a
    // JavaScript exception, which a catch (...) on the way out (the C
    // boundary's) catches, and the module ran on after "out of memory",
    // aborting again until the stack overflowed. A trap cannot be caught
    // inside the module: the call ends there, as a WebAssembly.RuntimeError
    // for its JavaScript caller, which must not use the module again.
    __builtin_trap();
#else
    ::_exit(1);
#endif
}

void outOfMemory() noexcept {
    static const char kMessage[] = "out of memory\n";
    endProcess(kMessage, sizeof kMessage - 1);
}

std::size_t checkedMul(std::size_t a, std::size_t b) noexcept {
    std::size_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) outOfMemory();
    return product;
}

std::size_t elementCount(std::int64_t rows, std::int64_t cols) noexcept {
    if (rows < 0 || cols < 0) outOfMemory();
    std::size_t count = checkedMul(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols));
    checkedMul(count, sizeof(double));
    return count;
}

namespace {

// Matrices and work buffers of several megabytes are common here, and the
// first touch of fresh memory costs a page fault per 4 KiB: on a virtual
// machine about 13 us each, so that zeroing a 32 MB result took 110 ms,
// longer than half of the product that filled it. A large block therefore
// starts on a 2 MiB boundary, is rounded up to whole 2 MiB pages (a tail
// left to 4 KiB pages cost as much in faults as the rest together) and the
// kernel is asked for huge pages for all of it, which cuts the faults by
// 512. At most one huge page per block is partly unused, and where that
// would leave more than a quarter of the block unused (a block of 2.1 MiB
// would hold 4 MiB), only its whole huge pages are asked for and the short
// tail keeps 4 KiB pages. It is a hint: where huge pages are off, or the
// memory is already backed, madvise changes nothing, and its result is
// ignored.
//
// Blocks from 1 MiB take this path. Below 4 MiB the C library's heap
// served them badly: glibc's heap grows for them and, once more than twice
// its mmap threshold lies free at its top, gives that memory back, so that
// a loop of solves of order 500 (blocks of 1.9 MiB) faulted its blocks in
// afresh on every call and ran at 0.7 of the speed it had where the heap
// happened to keep them.
//
// Such a block is mapped on its own rather than taken from the C library's
// heap. Once a process has freed a block of some megabytes, glibc serves
// requests up to that size from its heap (its mmap threshold follows the
// frees, up to 32 MiB), and there blocks of several megabytes on 2 MiB
// boundaries fragmented it: a QR of order 1000, repeated after a 32 MB
// block had been freed, grew the heap by about 32 MB per call, faulted in
// fresh memory every time and ran at half its speed on a virtual machine.
// The 64 bytes before a mapped block, inside its mapping, record the
// mapping, and a table of the live mapped blocks lets operator delete,
// sized or not, tell them from the C library's (when the table is full, a
// block comes from the C library after all). Under the address sanitizer
// large blocks come from its allocator, which checks them and looks for
// pointers in them.
constexpr std::size_t kHugePage = std::size_t{1} << 21;
// A test build may lower the threshold (CORX_LARGE_BLOCK_BYTES), so that
// the small matrices of the fuzz target and the sanitizer runs take this
// path too.
constexpr std::size_t kLargeFromDefault = std::size_t{1} << 20;
#if defined(__EMSCRIPTEN__)
// wasm's linear memory has no pages to fault in or give back, and
// emscripten's mmap is an aligned allocation that cannot be unmapped in part
// (the trim in mapLarge would fail and every large block leak): every block
// comes from the C library's heap.
constexpr std::size_t kLargeFrom = SIZE_MAX;
#elif defined(CORX_LARGE_BLOCK_BYTES)
constexpr std::size_t kLargeFrom = CORX_LARGE_BLOCK_BYTES;
#else
constexpr std::size_t kLargeFrom = kLargeFromDefault;
#endif

// (GCC names the address sanitizer with a macro, Clang as a feature; the
// leak checker, alone or inside the address sanitizer, looks for pointers
// in the heap but not in mappings of the program's own, and would report
// what such blocks point to as leaked.)
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMapLargeBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
constexpr bool kMapLargeBlocks = false;
#else
constexpr bool kMapLargeBlocks = true;
#endif
#else
constexpr bool kMapLargeBlocks = true;
#endif

// ---- the system's pages --------------------------------------------------
//
// POSIX maps and unmaps any page range. Windows reserves address space in
// allocations it only releases whole: a large block reserves its mapping,
// commits the pages it keeps and decommits the ones it gives back, and is
// released through the reservation's base. What MADV_FREE does there is
// MEM_RESET (the pages may be discarded, the range stays usable); huge
// pages need a privilege a library cannot assume, so there is no hint.
// Small blocks come from the C runtime, whose aligned blocks must go back
// through _aligned_free: there every small block is an aligned one.
namespace os {

#if defined(_WIN32)
void* mapPages(std::size_t length) noexcept {
    void* p = ::VirtualAlloc(nullptr, length, MEM_RESERVE, PAGE_NOACCESS);
    return p;
}
// Commits [p, p + length) of a reservation; false if the system refuses.
bool keepPages(void* p, std::size_t length) noexcept {
    return ::VirtualAlloc(p, length, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}
void dropPages(void*, std::size_t) noexcept {}  // never committed
void unmapPages(void* p, std::size_t) noexcept {
    MEMORY_BASIC_INFORMATION info;
    if (::VirtualQuery(p, &info, sizeof info) != 0) ::VirtualFree(info.AllocationBase, 0, MEM_RELEASE);
}
void adviseFree(void* p, std::size_t length) noexcept { ::VirtualAlloc(p, length, MEM_RESET, PAGE_READWRITE); }
void adviseHuge(void*, std::size_t) noexcept {}
std::size_t systemPageSize() noexcept {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwPageSize;
}
void* alignedAlloc(std::size_t alignment, std::size_t size) noexcept { return ::_aligned_malloc(size, alignment); }
void* plainAlloc(std::size_t size) noexcept { return ::_aligned_malloc(size, 16); }
void freeBlock(void* p) noexcept { ::_aligned_free(p); }
#else
void* mapPages(std::size_t length) noexcept {
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}
bool keepPages(void*, std::size_t) noexcept { return true; }  // mapped readable and writable
void dropPages(void* p, std::size_t length) noexcept { ::munmap(p, length); }
void unmapPages(void* p, std::size_t length) noexcept { ::munmap(p, length); }
void adviseFree(void* p, std::size_t length) noexcept { ::madvise(p, length, MADV_FREE); }
void adviseHuge(void* p, std::size_t length) noexcept { ::madvise(p, length, MADV_HUGEPAGE); }
std::size_t systemPageSize() noexcept {
    const long p = ::sysconf(_SC_PAGESIZE);
    return p > 0 ? static_cast<std::size_t>(p) : std::size_t{4096};
}
void* alignedAlloc(std::size_t alignment, std::size_t size) noexcept { return std::aligned_alloc(alignment, size); }
void* plainAlloc(std::size_t size) noexcept { return std::malloc(size); }
void freeBlock(void* p) noexcept { std::free(p); }
#endif

}  // namespace os

struct MappedBlock {
    void* base;  // the mapping
    std::size_t length;
};
constexpr std::size_t kRecordRoom = 64;

// Each slot holds a live mapped block or null; a block is entered before it
// is handed out and removed by the one call that frees it.
constexpr int kMappedSlots = 1024;
std::atomic<void*> gMapped[kMappedSlots] = {};

bool enter(void* block) noexcept {
    for (std::atomic<void*>& slot : gMapped) {
        void* expected = nullptr;
        if (slot.load(std::memory_order_relaxed) == nullptr &&
            slot.compare_exchange_strong(expected, block, std::memory_order_acq_rel))
            return true;
    }
    return false;
}

// Removes block from the table; false if it is not there.
bool leave(void* block) noexcept {
    for (std::atomic<void*>& slot : gMapped) {
        void* expected = block;
        if (slot.load(std::memory_order_relaxed) == block &&
            slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel))
            return true;
    }
    return false;
}

// Cached in an atomic rather than a function-local static, whose first use
// would hold an initialisation guard other threads (or a child forked
// meanwhile) could wait on.
std::atomic<std::size_t> gPageSize{0};

std::size_t pageSize() noexcept {
    std::size_t page = gPageSize.load(std::memory_order_relaxed);
    if (page == 0) {
        page = os::systemPageSize();
        gPageSize.store(page, std::memory_order_relaxed);
    }
    return page;
}

const MappedBlock& recordOf(void* block) noexcept {
    return *reinterpret_cast<const MappedBlock*>(static_cast<const char*>(block) - kRecordRoom);
}

// The usable bytes of a mapped block: from the block to its mapping's end.
std::size_t usableBytes(void* block) noexcept {
    const MappedBlock& record = recordOf(block);
    return static_cast<std::size_t>(static_cast<char*>(record.base) + record.length - static_cast<char*>(block));
}

// Freed mapped blocks kept for reuse. Memory the kernel maps in afresh is
// cleared first, and on a virtual machine that ran at about 2.5 GB/s: a QR
// of order 2000, which allocates its two 32 MB results and two 32 MB work
// copies, spent an eighth of its time there, every call. A freed block is
// therefore kept, up to kKeptBytes in all for the whole process (the oldest
// goes first), and handed to the next request it fits without wasting more
// than a quarter of it, whichever thread asks. Its pages are marked free to
// the kernel (MADV_FREE): while memory is plentiful they stay in place and
// the reuse costs no fault; under pressure the kernel takes them back
// without writing them out, and they are cleared again on their next touch.
//
// The kept set takes no lock: each slot is one atomic word, and a block
// changes hands by a single compare-and-swap of its slot, so that a thread
// interrupted anywhere (by a signal whose handler forks, say) holds nothing
// another thread or a forked child could wait for. A word packs the block's
// address (on a 2 MiB boundary) with its size in 2 MiB pages and the
// stamp of the free that kept it, which orders the evictions. The running
// total is an atomic counter; it is raised before a block enters a slot and
// lowered after it leaves one, so it never reads less than what is kept.
// Every allocation that fails, of any size, gives the kept blocks back and
// tries once more before memory counts as exhausted; corx_cleanup gives
// them back on request.
#ifdef CORX_KEPT_BYTES
constexpr std::size_t kKeptBytes = CORX_KEPT_BYTES;
#else
constexpr std::size_t kKeptBytes = std::size_t{256} << 20;
#endif
constexpr int kKeptSlots = 16;
constexpr int kPageBits = 8;    // the size in 2 MiB pages: up to 510 MiB
constexpr int kStampBits = 13;  // the rest of the 21 free low bits
static_assert(kPageBits + kStampBits == 21, "the word's low bits are those a 2 MiB boundary leaves free");
static_assert(kKeptBytes / kHugePage < (std::uintptr_t{1} << kPageBits), "a kept size must fit its field");
constexpr std::uintptr_t kPagesMask = (std::uintptr_t{1} << kPageBits) - 1;
constexpr std::uintptr_t kStampMask = (std::uintptr_t{1} << kStampBits) - 1;

std::atomic<std::uintptr_t> gKept[kKeptSlots] = {};  // 0: empty
std::atomic<std::size_t> gKeptTotal{0};
std::atomic<std::uintptr_t> gKeptStamp{0};

void* blockOf(std::uintptr_t word) noexcept { return reinterpret_cast<void*>(word & ~(kHugePage - 1)); }
std::size_t bytesOf(std::uintptr_t word) noexcept { return (word & kPagesMask) * kHugePage; }
std::uintptr_t stampOf(std::uintptr_t word) noexcept { return (word >> kPageBits) & kStampMask; }

void unmap(void* block) noexcept {
    const MappedBlock record = recordOf(block);
    os::unmapPages(record.base, record.length);
}

// Takes the word out of slot i if it still holds it; the caller then owns
// the block, and the total no longer counts it.
bool take(int i, std::uintptr_t word) noexcept {
    if (!gKept[i].compare_exchange_strong(word, 0, std::memory_order_acq_rel)) return false;
    gKeptTotal.fetch_sub(bytesOf(word), std::memory_order_relaxed);
    return true;
}

// A kept block of at least `rounded` bytes that wastes at most a quarter of
// itself, removed from the kept set and entered as live; null if none.
void* reuseKept(std::size_t rounded) noexcept {
    if (gKeptTotal.load(std::memory_order_relaxed) == 0) return nullptr;
    // Another thread may take the chosen block first; look again a few times.
    for (int attempt = 0; attempt < 4; ++attempt) {
        int best = -1;
        std::uintptr_t bestWord = 0;
        for (int i = 0; i < kKeptSlots; ++i) {
            const std::uintptr_t word = gKept[i].load(std::memory_order_acquire);
            const std::size_t bytes = bytesOf(word);
            if (word != 0 && bytes >= rounded && bytes - rounded <= bytes / 4 &&
                (best < 0 || bytes < bytesOf(bestWord))) {
                best = i;
                bestWord = word;
            }
        }
        if (best < 0) return nullptr;
        if (take(best, bestWord)) {
            void* found = blockOf(bestWord);
            if (enter(found)) return found;
            unmap(found);
            return nullptr;
        }
    }
    return nullptr;
}

// Unmaps the oldest kept block; false if there was none.
bool evictOldest() noexcept {
    const std::uintptr_t now = gKeptStamp.load(std::memory_order_relaxed);
    for (int attempt = 0; attempt < 4; ++attempt) {
        int oldest = -1;
        std::uintptr_t oldestWord = 0, oldestAge = 0;
        for (int i = 0; i < kKeptSlots; ++i) {
            const std::uintptr_t word = gKept[i].load(std::memory_order_acquire);
            const std::uintptr_t age = (now - stampOf(word)) & kStampMask;
            if (word != 0 && (oldest < 0 || age > oldestAge)) {
                oldest = i;
                oldestWord = word;
                oldestAge = age;
            }
        }
        if (oldest < 0) return false;
        if (take(oldest, oldestWord)) {
            unmap(blockOf(oldestWord));
            return true;
        }
    }
    return false;
}

}  // namespace

bool releaseKeptBlocks() noexcept {
    bool any = false;
    for (std::atomic<std::uintptr_t>& slot : gKept) {
        const std::uintptr_t word = slot.exchange(0, std::memory_order_acq_rel);
        if (word == 0) continue;
        gKeptTotal.fetch_sub(bytesOf(word), std::memory_order_relaxed);
        unmap(blockOf(word));
        any = true;
    }
    return any;
}

namespace {

// Keeps a freed mapped block (no longer in the live table), making room by
// unmapping the oldest kept ones; a block larger than the whole allowance,
// or one no slot can be found for, is unmapped at once.
void keepOrUnmap(void* block) noexcept {
    const std::size_t bytes = usableBytes(block);
    if (bytes > kKeptBytes || bytes % kHugePage != 0) {
        unmap(block);
        return;
    }
    os::adviseFree(block, bytes);
    std::size_t total = gKeptTotal.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    while (total > kKeptBytes && evictOldest()) total = gKeptTotal.load(std::memory_order_relaxed);
    if (total <= kKeptBytes) {
        const std::uintptr_t stamp = gKeptStamp.fetch_add(1, std::memory_order_relaxed) & kStampMask;
        const std::uintptr_t word =
            reinterpret_cast<std::uintptr_t>(block) | (stamp << kPageBits) | (bytes / kHugePage);
        for (int round = 0; round < 2; ++round) {
            for (std::atomic<std::uintptr_t>& slot : gKept) {
                std::uintptr_t expected = 0;
                if (slot.load(std::memory_order_relaxed) == 0 &&
                    slot.compare_exchange_strong(expected, word, std::memory_order_acq_rel))
                    return;
            }
            if (!evictOldest()) break;  // every slot full: the oldest makes room
        }
    }
    gKeptTotal.fetch_sub(bytes, std::memory_order_relaxed);
    unmap(block);
}

// A block of `rounded` bytes on a 2 MiB boundary in a mapping of its own,
// or null when the table is full.
void* mapLarge(std::size_t rounded) noexcept {
    // Room for the record and for moving the block to a 2 MiB boundary.
    std::size_t length = 0;
    if (__builtin_add_overflow(rounded, kHugePage + kRecordRoom, &length)) outOfMemory();
    void* mapping = os::mapPages(length);
    if (mapping == nullptr && releaseKeptBlocks()) mapping = os::mapPages(length);
    if (mapping == nullptr) outOfMemory();
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(mapping);
    const std::uintptr_t block = (start + kRecordRoom + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
    // Keep the page holding the record and the block; give the rest back.
    const std::uintptr_t mapStart = (block - kRecordRoom) & ~(std::uintptr_t{pageSize()} - 1);
    const std::uintptr_t mapEnd = block + rounded;
    if (!os::keepPages(reinterpret_cast<void*>(mapStart), mapEnd - mapStart)) {
        os::unmapPages(mapping, length);
        return nullptr;  // the caller falls back on the C runtime, which gives back the kept blocks first
    }
    if (mapStart > start) os::dropPages(mapping, mapStart - start);
    if (start + length > mapEnd) os::dropPages(reinterpret_cast<void*>(mapEnd), start + length - mapEnd);
    *reinterpret_cast<MappedBlock*>(block - kRecordRoom) = {reinterpret_cast<void*>(mapStart), mapEnd - mapStart};
    void* p = reinterpret_cast<void*>(block);
    if (enter(p)) return p;
    os::unmapPages(reinterpret_cast<void*>(mapStart), mapEnd - mapStart);
    return nullptr;
}

// p, or when it is null (an allocation failed), the result of asking once
// more after the kept blocks are given back; exhaustion when that fails too.
template <class Again>
void* orKeptGivenBack(void* p, Again again) noexcept {
    if (p == nullptr && releaseKeptBlocks()) p = again();
    if (p == nullptr) outOfMemory();
    return p;
}

void* allocateLarge(std::size_t size) noexcept {
    std::size_t rounded = 0;
    if (__builtin_add_overflow(size, kHugePage - 1, &rounded)) outOfMemory();
    rounded &= ~(kHugePage - 1);
    void* p = nullptr;
    if (kMapLargeBlocks) {
        p = reuseKept(rounded);
        if (p != nullptr) return p;
        p = mapLarge(rounded);
    }
    if (p == nullptr) p = orKeptGivenBack(os::alignedAlloc(kHugePage, rounded), [&] {
        return os::alignedAlloc(kHugePage, rounded);
    });
    // Huge pages where at most a quarter of the block stays unused, else
    // its whole huge pages only (none for a block below 1.5 MiB, the small
    // blocks of a test build that lowered the threshold included).
    const std::size_t hinted = (rounded - size) * 4 <= rounded ? rounded : size & ~(kHugePage - 1);
    if (hinted != 0) os::adviseHuge(p, hinted);
    return p;
}

// Frees what any of the operator new below returned.
void release(void* p) noexcept {
    if (kMapLargeBlocks && p != nullptr && (reinterpret_cast<std::uintptr_t>(p) & (kHugePage - 1)) == 0 &&
        leave(p)) {
        keepOrUnmap(p);
        return;
    }
    os::freeBlock(p);
}

void* allocateOrDie(std::size_t size) noexcept {
    if (size >= kLargeFrom) return allocateLarge(size);
    const std::size_t bytes = size == 0 ? 1 : size;
    return orKeptGivenBack(os::plainAlloc(bytes), [&] { return os::plainAlloc(bytes); });
}

void* allocateAlignedOrDie(std::size_t size, std::align_val_t align) noexcept {
    std::size_t alignment = static_cast<std::size_t>(align);
    if (alignment <= kHugePage && size >= kLargeFrom) return allocateLarge(size);
    if (alignment < sizeof(void*)) alignment = sizeof(void*);
    // aligned_alloc wants a multiple of the alignment.
    std::size_t rounded = size == 0 ? alignment : size;
    if (rounded % alignment != 0) {
        std::size_t extra = alignment - rounded % alignment;
        if (__builtin_add_overflow(rounded, extra, &rounded)) outOfMemory();
    }
    return orKeptGivenBack(os::alignedAlloc(alignment, rounded),
                           [&] { return os::alignedAlloc(alignment, rounded); });
}

// The C++ runtime allocates an exception object with malloc and, when that
// fails, from an emergency reserve it allocated at load; when there is no
// room there either (or the reserve itself could not be allocated) it calls
// std::terminate. The library links its references to the allocation
// through the wrapper below, which marks the thread while the runtime
// allocates; a terminate raised inside is exhaustion of memory and takes the
// out-of-memory path, any other terminate goes on to the runtime's handler.
// The mark lives in static TLS (initial-exec): touching it never allocates,
// and the library's thread-local storage is set up when it is loaded rather
// than at a thread's first use, where the loader would have to allocate.
thread_local bool tAllocatingException __attribute__((tls_model("initial-exec"))) = false;
std::terminate_handler gRuntimeTerminate = nullptr;

[[noreturn]] void onTerminate() noexcept {
    if (tAllocatingException) outOfMemory();
    if (gRuntimeTerminate != nullptr) gRuntimeTerminate();
    std::abort();
}

const bool gTerminateHandlerSet = [] {
    gRuntimeTerminate = std::set_terminate(onTerminate);
    return true;
}();

}  // namespace
}  // namespace corx_internal

// Defined by the linker's --wrap as the runtime's own allocation; weak, so
// that a link without the wrap (the static archive, the fuzz target) needs
// no definition.
extern "C" void* __real___cxa_allocate_exception(std::size_t size) noexcept __attribute__((weak));

extern "C" void* __wrap___cxa_allocate_exception(std::size_t size) noexcept {
    corx_internal::tAllocatingException = true;
    void* object = __real___cxa_allocate_exception(size);
    corx_internal::tAllocatingException = false;
    return object;
}

// Replacement allocation functions: exhaustion ends the process with the
// library's message rather than unwinding through the caller.
void* operator new(std::size_t size) { return corx_internal::allocateOrDie(size); }
void* operator new[](std::size_t size) { return corx_internal::allocateOrDie(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return corx_internal::allocateOrDie(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return corx_internal::allocateOrDie(size); }
void* operator new(std::size_t size, std::align_val_t a) { return corx_internal::allocateAlignedOrDie(size, a); }
void* operator new[](std::size_t size, std::align_val_t a) { return corx_internal::allocateAlignedOrDie(size, a); }
void operator delete(void* p) noexcept { corx_internal::release(p); }
void operator delete[](void* p) noexcept { corx_internal::release(p); }
void operator delete(void* p, std::size_t) noexcept { corx_internal::release(p); }
void operator delete[](void* p, std::size_t) noexcept { corx_internal::release(p); }
void operator delete(void* p, std::align_val_t) noexcept { corx_internal::release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { corx_internal::release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { corx_internal::release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { corx_internal::release(p); }
