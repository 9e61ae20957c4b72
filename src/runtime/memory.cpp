#include "runtime/memory.h"

#include <unistd.h>

#include <cstdlib>
#include <new>

namespace corx_internal {

void outOfMemory() noexcept {
    static const char kMessage[] = "out of memory\n";
    ssize_t ignored = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    (void)ignored;
    ::_exit(1);
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

void* allocateOrDie(std::size_t size) noexcept {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) outOfMemory();
    return p;
}

void* allocateAlignedOrDie(std::size_t size, std::align_val_t align) noexcept {
    std::size_t alignment = static_cast<std::size_t>(align);
    if (alignment < sizeof(void*)) alignment = sizeof(void*);
    // aligned_alloc wants a multiple of the alignment.
    std::size_t rounded = size == 0 ? alignment : size;
    if (rounded % alignment != 0) {
        std::size_t extra = alignment - rounded % alignment;
        if (__builtin_add_overflow(rounded, extra, &rounded)) outOfMemory();
    }
    void* p = std::aligned_alloc(alignment, rounded);
    if (p == nullptr) outOfMemory();
    return p;
}

}  // namespace
}  // namespace corx_internal

// Replacement allocation functions: exhaustion ends the process with the
// library's message rather than unwinding through the caller.
void* operator new(std::size_t size) { return corx_internal::allocateOrDie(size); }
void* operator new[](std::size_t size) { return corx_internal::allocateOrDie(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return corx_internal::allocateOrDie(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return corx_internal::allocateOrDie(size); }
void* operator new(std::size_t size, std::align_val_t a) { return corx_internal::allocateAlignedOrDie(size, a); }
void* operator new[](std::size_t size, std::align_val_t a) { return corx_internal::allocateAlignedOrDie(size, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
