/* SPDX-License-Identifier: BSD-3-Clause */
// Memory exhaustion and size arithmetic.
//
// The library never reports exhaustion of memory through its interface: any
// allocation that still fails after the freed blocks the library keeps for
// reuse are given back, and any size that cannot be represented, ends the
// process after writing "out of memory" and a newline to standard error
// (exit status 1). All operator new calls made by library code go through a
// replacement that takes this path instead of throwing std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corx_internal {

// The end of both fatal paths (exhaustion of memory, an unhandled error):
// writes text to standard error in one write and ends the process at once
// with status 1 (_exit). Neither the host's exit handlers nor static
// destructors run, and output the host's stdio still buffers is lost: with
// memory gone, or the library in a broken state, running host code is not
// safe. In a wasm module, which cannot end its process, it traps instead
// (see memory.cpp).
[[noreturn]] void endProcess(const char* text, std::size_t length) noexcept;

// Writes "out of memory\n" through endProcess.
[[noreturn]] void outOfMemory() noexcept;

// a * b for sizes that must not wrap; an unrepresentable product takes the
// out-of-memory path instead of returning a wrapped value.
std::size_t checkedMul(std::size_t a, std::size_t b) noexcept;

// Element count rows * cols of a matrix whose dimensions are non-negative,
// checked so that the byte size count * sizeof(double) is representable too.
std::size_t elementCount(std::int64_t rows, std::int64_t cols) noexcept;

// Unmaps every freed large block kept for reuse, whichever thread freed
// it; false if none was kept. Takes no lock; safe from any thread at any
// time, concurrently with allocations.
bool releaseKeptBlocks() noexcept;

}  // namespace corx_internal
