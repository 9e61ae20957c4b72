/* SPDX-License-Identifier: BSD-3-Clause */
// Working memory a thread keeps from one call to the next.
//
// The dense product packs its operands into buffers of up to a dozen
// megabytes. Fresh memory costs a page fault for every 4 KiB first touched,
// and on a virtual machine those faults took about a third of a product's
// time. Each thread therefore keeps one buffer per slot, grows it when a
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

enum class ScratchSlot : int { ProductA = 0, ProductB = 1, ExactBuckets = 2 };
inline constexpr int kScratchSlots = 3;

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
