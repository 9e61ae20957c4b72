/* SPDX-License-Identifier: BSD-3-Clause */
// Working memory a thread keeps from one call to the next.
//
// The dense product packs its operands into buffers of up to a dozen
// megabytes, and the factorisations keep panels of a few. Fresh memory costs
// a page fault for every 4 KiB first touched, and on a virtual machine those
// faults took about a third of a product's time and a fifth of a Cholesky
// factorisation's. Each thread therefore keeps one buffer per slot, grows it when a
// larger one is asked for, and gives it back to the heap when the thread
// exits.
//
// When a slot is already lent out on this thread (a nested use), or the
// thread-exit hook cannot be had, a Scratch owns a fresh buffer of its own
// instead: slower, never wrong. Memory exhaustion takes the out-of-memory
// path, as every allocation of the library does.
#pragma once

#include <cstdint>

namespace corx_internal {

// The product's own slots, work slots for the algorithms that call it, and
// the exponent buckets of the exact residual.
enum class ScratchSlot : int { ProductA = 0, ProductB = 1, Work0 = 2, Work1 = 3, Work2 = 4, ExactBuckets = 5 };
inline constexpr int kScratchSlots = 6;

// Gives the calling thread's buffers back to the heap, except those lent
// out at the moment; the next use allocates afresh.
void releaseScratch() noexcept;

class Scratch {
public:
    // At least count doubles (count >= 0, its byte size representable),
    // 64-byte aligned, contents unspecified.
    Scratch(ScratchSlot slot, std::int64_t count);
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    double* data() const noexcept { return data_; }
    // True when data() was allocated by this constructor, false when it is
    // the thread's buffer as its previous user left it; lets a user that
    // keeps its buffer in a known state (all zero, say) set it up once.
    bool fresh() const noexcept { return fresh_; }

private:
    double* data_ = nullptr;
    bool fresh_ = false;
    int slot_ = -1;  // the thread's slot lent out, or -1 when data_ is owned here
};

}  // namespace corx_internal
