// Memory exhaustion and size arithmetic.
//
// The library never reports exhaustion of memory through its interface: any
// allocation that fails, and any size that cannot be represented, ends the
// process after writing "out of memory" and a newline to standard error
// (exit status 1). All operator new calls made by library code go through a
// replacement that takes this path instead of throwing std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corx_internal {

// Writes "out of memory\n" to standard error in one write and exits with
// status 1 without running the host's exit handlers.
[[noreturn]] void outOfMemory() noexcept;

// a * b for sizes that must not wrap; an unrepresentable product takes the
// out-of-memory path instead of returning a wrapped value.
std::size_t checkedMul(std::size_t a, std::size_t b) noexcept;

// Element count rows * cols of a matrix whose dimensions are non-negative,
// checked so that the byte size count * sizeof(double) is representable too.
std::size_t elementCount(std::int64_t rows, std::int64_t cols) noexcept;

}  // namespace corx_internal
