/* SPDX-License-Identifier: BSD-3-Clause */
// Splitting a call's independent work across threads.
//
// By default the library runs every call on the caller's thread and starts
// no thread. A host opts in with a thread count (setThreads, or the
// environment variable CORX_THREADS read on first use) or hands over its own
// parallel-for (setExecutor). An algorithm asks splitWidth() how many parts
// are worth making and passes independent tasks to parallelFor(); it splits
// only work whose results do not depend on which thread computes them or in
// which order, so the bits never depend on the split.
//
// The pool: threads - 1 workers, started on the first call that splits,
// with every signal blocked; the caller runs tasks too. One host call uses
// the pool at a time: a second host thread that arrives while it is busy
// runs its tasks itself, so the number of threads computing never exceeds
// the count plus the host threads calling in. A task that splits again
// (directly, or through an executor that runs tasks on the calling thread)
// runs its parts itself. After fork the child starts a pool of its own on
// its first split; the parent's pool is left untouched.
//
// Every task runs in the library's floating-point environment, on whatever
// thread the pool or the host's executor puts it. The first exception a task
// throws is rethrown on the caller once every task has ended.
#pragma once

#include <cstdint>

namespace corx_internal {

// The host's parallel-for: runs task(taskData, i) once for each i in
// [0, count), in any order and with any concurrency, and returns when all
// have returned.
using TaskFunction = void (*)(void* taskData, std::int64_t index);
using Executor = void (*)(void* hostData, std::int64_t count, TaskFunction task, void* taskData);

// n >= 1 threads per call; 0 means one per processor the process may run on.
// Returns the count now in effect, or -1 (nothing changed) for n < 0. Stops
// the pool's workers when the count changes; a later split starts new ones.
std::int32_t setThreads(std::int32_t n) noexcept;

// The thread count set (or taken from CORX_THREADS), 1 by default.
std::int32_t threadCount() noexcept;

// Installs the host's executor with the number of parts worth making for it
// (width >= 1), or removes it (run == nullptr). Returns 0, or -1 (nothing
// changed) for a width below 1 with a non-null run.
std::int32_t setExecutor(Executor run, void* hostData, std::int32_t width) noexcept;

// Parts worth making on this thread now: 1 inside a task or when nothing is
// set, else the executor's width or the thread count.
std::int32_t splitWidth() noexcept;

// Stops the pool's workers (they free their working buffers on exit) once
// no call is using the pool; the next split starts new ones.
void stopWorkers() noexcept;

// Runs run(data, i) for i in [0, count): on this thread when count < 2 or
// splitWidth() is 1, else spread over the pool or the executor.
void runTasks(std::int64_t count, TaskFunction run, void* data);

template <class Body>
void parallelFor(std::int64_t count, const Body& body) {
    if (count <= 0) return;
    if (count == 1 || splitWidth() <= 1) {
        for (std::int64_t i = 0; i < count; ++i) body(i);
        return;
    }
    runTasks(
        count, [](void* d, std::int64_t i) { (*static_cast<const Body*>(d))(i); },
        const_cast<void*>(static_cast<const void*>(&body)));
}

// Whether every split the data allows is made, however small the work: set
// by CORX_SPLIT_SMALL=1 (read once), so that tests of small problems
// exercise every boundary between parts.
bool splitSmall() noexcept;

// Parts to split `work` units into, each at least `minimum` units: at most
// splitWidth(), 1 when the work is too small to repay the hand-over.
inline std::int64_t partsFor(double work, double minimum) noexcept {
    // Small work is settled before the thread settings are looked at: most
    // calls of small problems ask here, some several times.
    const bool small = work < 2.0 * minimum;
    if (small && !splitSmall()) return 1;
    const std::int32_t width = splitWidth();
    if (width <= 1) return 1;
    if (splitSmall()) return width;
    const double parts = work / minimum;
    return parts >= width ? width : static_cast<std::int64_t>(parts);
}

// [begin, end) of part `i` of `parts` over [0, total), in whole units of
// `grain` (the last part takes the remainder).
inline void partRange(std::int64_t total, std::int64_t grain, std::int64_t parts, std::int64_t i,
                      std::int64_t& begin, std::int64_t& end) noexcept {
    const std::int64_t units = (total + grain - 1) / grain;
    const std::int64_t b = units * i / parts, e = units * (i + 1) / parts;
    begin = b * grain < total ? b * grain : total;
    end = e * grain < total ? e * grain : total;
}

}  // namespace corx_internal
