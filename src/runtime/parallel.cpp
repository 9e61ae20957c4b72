// SPDX-License-Identifier: BSD-3-Clause
#include "runtime/parallel.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX  // (the C++ runtime's headers may have defined it)
#endif
#include <windows.h>
#endif

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>

#include "runtime/float_env.h"

// A build without threads (emscripten without -pthread, where
// pthread_create always fails): the count stays 1, CORX_THREADS is not read,
// and every split call runs its parts on the calling thread unless the
// host's executor takes them.
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
#define CORX_NO_THREADS 1
#else
#define CORX_NO_THREADS 0
#endif

namespace corx_internal {
namespace {

// More threads than this are taken as this many: the split sizes are
// chosen for tens of cores, and each worker keeps up to a dozen megabytes
// of working buffers.
constexpr std::int32_t kMaxThreads = 256;

// Set while this thread runs a task: a task that splits again runs its
// parts itself (the pool's threads are busy with the outer call's tasks,
// and an executor need not be reentrant).
thread_local bool tInTask __attribute__((tls_model("initial-exec"))) = false;

// ---- settings ----------------------------------------------------------

std::int32_t processors() noexcept {
#if CORX_NO_THREADS
    return 1;
#elif defined(_WIN32)
    // The processors this process may run on (its affinity mask covers the
    // processor group it starts in), else all of them.
    DWORD_PTR mine = 0, all = 0;
    if (::GetProcessAffinityMask(::GetCurrentProcess(), &mine, &all) && mine != 0)
        return static_cast<std::int32_t>(__builtin_popcountll(mine));
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<std::int32_t>(info.dwNumberOfProcessors) : 1;
#else
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<std::int32_t>(n) : 1;
#endif
}

std::int32_t clampThreads(std::int64_t n) noexcept {
    if (n == 0) n = processors();
    return static_cast<std::int32_t>(n < 1 ? 1 : n > kMaxThreads ? kMaxThreads : n);
}

// 0: not read yet; else the count in effect. CORX_THREADS is read by the
// first thread to need the count; a racing reader computes the same value.
std::atomic<std::int32_t> gThreads{0};

std::int32_t threadsFromEnvironment() noexcept {
    const char* text = std::getenv("CORX_THREADS");
    if (text == nullptr || *text == '\0') return 1;
    char* end = nullptr;
    const long long n = std::strtoll(text, &end, 10);
    // Anything but a whole non-negative number is ignored.
    if (*end != '\0' || n < 0) return 1;
    return clampThreads(n);
}

// The executor, published as a unit: a writer makes the version odd,
// stores, and makes it even again; a reader retries across a change.
// Writers take turns through gWriter (a spin, so that nothing here can be
// left locked across fork for a reader).
std::atomic<std::uint64_t> gExecVersion{0};
std::atomic<Executor> gExecRun{nullptr};
std::atomic<void*> gExecData{nullptr};
std::atomic<std::int32_t> gExecWidth{0};
std::atomic<bool> gWriter{false};

struct ExecutorSetting {
    Executor run;
    void* data;
    std::int32_t width;
};

ExecutorSetting currentExecutor() noexcept {
    for (;;) {
        const std::uint64_t v = gExecVersion.load(std::memory_order_acquire);
        if (v & 1) continue;
        ExecutorSetting s{gExecRun.load(std::memory_order_relaxed), gExecData.load(std::memory_order_relaxed),
                          gExecWidth.load(std::memory_order_relaxed)};
        std::atomic_thread_fence(std::memory_order_acquire);
        if (gExecVersion.load(std::memory_order_relaxed) == v) return s;
    }
}

// ---- a job -------------------------------------------------------------

struct Job {
    TaskFunction run;
    void* data;
    std::int64_t count;
    std::atomic<std::int64_t> next{0};
    std::atomic<std::int64_t> done{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
};

// Runs task i of the job in the library's environment; a throwing task is
// recorded (the first one wins) and the others still run.
void runOne(Job& job, std::int64_t i) noexcept {
    const DefaultFloatEnv env;
    const bool outer = tInTask;
    tInTask = true;
    try {
        job.run(job.data, i);
    } catch (...) {
        if (!job.failed.exchange(true)) job.error = std::current_exception();
    }
    tInTask = outer;
}

// Takes tasks until none is left.
void drain(Job& job) noexcept {
    for (;;) {
        const std::int64_t i = job.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job.count) return;
        runOne(job, i);
        job.done.fetch_add(1, std::memory_order_release);
    }
}

inline void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// A spin-wait's step: every 256th gives the processor away, so that more
// threads than processors (a host's own, or an oversubscribed count) still
// make progress.
inline void pause(int spin) noexcept {
    if ((spin & 255) == 255) sched_yield();
    else relax();
}

// ---- the pool ----------------------------------------------------------

// Spins a worker makes, looking for the next job, before it sleeps: a
// factorisation hands over several jobs per panel, microseconds apart, and
// a sleeping worker takes tens of microseconds to wake.
constexpr int kSpins = 1 << 15;

// Never freed: a worker may still be spinning on it while the process
// exits, and the child of a fork abandons its parent's (whose locks another
// thread may have held at the fork) for a fresh one.
struct Pool {
    pid_t owner = 0;
    std::int32_t workers = 0;     // started
    std::mutex use;               // held by the call whose job the pool runs
    std::atomic<std::uint64_t> generation{0};
    std::atomic<Job*> job{nullptr};
    std::atomic<std::int32_t> busy{0};      // workers looking at a job
    std::atomic<std::int32_t> sleepers{0};  // workers waiting on wake
    std::atomic<std::int32_t> running{0};   // workers not yet ended
    std::atomic<bool> stop{false};
    std::mutex sleep;
    std::condition_variable wake;
};

std::atomic<Pool*> gPool{nullptr};

void* workerMain(void* arg) noexcept {
    Pool& pool = *static_cast<Pool*>(arg);
    std::uint64_t seen = 0;
    for (;;) {
        std::uint64_t g = pool.generation.load(std::memory_order_acquire);
        for (int spin = 0; g == seen && spin < kSpins && !pool.stop.load(std::memory_order_relaxed); ++spin) {
            pause(spin);
            g = pool.generation.load(std::memory_order_acquire);
        }
        if (g == seen && !pool.stop.load()) {
            std::unique_lock<std::mutex> lock(pool.sleep);
            pool.sleepers.fetch_add(1);
            while ((g = pool.generation.load()) == seen && !pool.stop.load()) pool.wake.wait(lock);
            pool.sleepers.fetch_sub(1);
        }
        if (pool.stop.load()) break;
        seen = g;
        pool.busy.fetch_add(1);
        if (Job* job = pool.job.load()) drain(*job);
        pool.busy.fetch_sub(1, std::memory_order_release);
    }
    pool.running.fetch_sub(1, std::memory_order_release);
    return nullptr;
}

// Starts workers up to `want`; fewer when the system refuses a thread.
void startWorkers(Pool& pool, std::int32_t want) noexcept {
#if !defined(_WIN32)  // (Windows has no signal masks: its emulated signals arrive on the thread that raises them)
    sigset_t all, previous;
    sigfillset(&all);
    // The new threads inherit this mask: no signal of the host's is ever
    // delivered to them.
    pthread_sigmask(SIG_SETMASK, &all, &previous);
#endif
    pthread_attr_t attr;
    const bool attrOk = pthread_attr_init(&attr) == 0;
    if (attrOk) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    while (pool.workers < want) {
        pthread_t thread;
        pool.running.fetch_add(1);
        if (pthread_create(&thread, attrOk ? &attr : nullptr, workerMain, &pool) != 0) {
            pool.running.fetch_sub(1);
            break;
        }
        if (!attrOk) pthread_detach(thread);
        ++pool.workers;
    }
    if (attrOk) pthread_attr_destroy(&attr);
#if !defined(_WIN32)
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
#endif
}

// This process's pool, made on first use (nullptr if memory is short).
// No lock is taken: after fork one may have been held by a thread that does
// not exist in the child. A pool made by another process (the parent, seen
// from a forked child) is abandoned for a fresh one, untouched: its locks
// and its workers' state belong to threads the child does not have.
Pool* currentPool() noexcept {
    const pid_t self = getpid();
    Pool* pool = gPool.load(std::memory_order_acquire);
    while (pool == nullptr || pool->owner != self) {
        Pool* fresh = new (std::nothrow) Pool;
        if (fresh == nullptr) return nullptr;
        fresh->owner = self;
        if (gPool.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) return fresh;
        delete fresh;  // another thread of this process was first: use its pool
    }
    return pool;
}

void wakeWorkers(Pool& pool) {
    if (pool.sleepers.load() > 0) {
        std::lock_guard<std::mutex> lock(pool.sleep);
        pool.wake.notify_all();
    }
}

// Ends the pool's workers and waits until they have left; the caller holds
// pool.use.
void endWorkers(Pool& pool) noexcept {
    if (pool.workers == 0) return;
    pool.stop.store(true);
    wakeWorkers(pool);
    while (pool.running.load(std::memory_order_acquire) > 0) sched_yield();
    pool.workers = 0;
    pool.stop.store(false);
}

void runOnPool(Pool& pool, Job& job, std::int32_t threads) {
    if (pool.workers != threads - 1) {
        endWorkers(pool);
        startWorkers(pool, threads - 1);
    }
    pool.job.store(&job);
    pool.generation.fetch_add(1);
    wakeWorkers(pool);
    drain(job);
    for (int spin = 0; job.done.load(std::memory_order_acquire) < job.count; ++spin) pause(spin);
    // A worker that saw the job may still be between its last task and
    // leaving it; the job lives on this stack.
    pool.job.store(nullptr);
    for (int spin = 0; pool.busy.load() > 0; ++spin) pause(spin);
}

void runSerially(Job& job) noexcept {
    for (std::int64_t i = 0; i < job.count; ++i) runOne(job, i);
}

}  // namespace

bool splitSmall() noexcept {
    // 0: not read yet, 1: no, 2: yes.
    static std::atomic<int> state{0};
    int s = state.load(std::memory_order_relaxed);
    if (s == 0) {
        const char* text = std::getenv("CORX_SPLIT_SMALL");
        s = text != nullptr && text[0] == '1' && text[1] == '\0' ? 2 : 1;
        state.store(s, std::memory_order_relaxed);
    }
    return s == 2;
}

std::int32_t setThreads(std::int32_t n) noexcept {
    if (n < 0) return -1;
    if (CORX_NO_THREADS) return 1;
    const std::int32_t count = clampThreads(n);
    gThreads.store(count);
    return count;
}

std::int32_t threadCount() noexcept {
    if (CORX_NO_THREADS) return 1;
    std::int32_t n = gThreads.load(std::memory_order_acquire);
    if (n == 0) {
        std::int32_t expected = 0;
        const std::int32_t fromEnv = threadsFromEnvironment();
        n = gThreads.compare_exchange_strong(expected, fromEnv) ? fromEnv : expected;
    }
    return n;
}

std::int32_t setExecutor(Executor run, void* hostData, std::int32_t width) noexcept {
    if (run != nullptr && width < 1) return -1;
    while (gWriter.exchange(true, std::memory_order_acquire)) relax();
    gExecVersion.fetch_add(1, std::memory_order_acq_rel);
    gExecRun.store(run, std::memory_order_relaxed);
    gExecData.store(run != nullptr ? hostData : nullptr, std::memory_order_relaxed);
    gExecWidth.store(run != nullptr ? (width > kMaxThreads ? kMaxThreads : width) : 0, std::memory_order_relaxed);
    gExecVersion.fetch_add(1, std::memory_order_release);
    gWriter.store(false, std::memory_order_release);
    return 0;
}

std::int32_t splitWidth() noexcept {
    if (tInTask) return 1;
    const ExecutorSetting e = currentExecutor();
    if (e.run != nullptr) return e.width;
    return threadCount();
}

void stopWorkers() noexcept {
    Pool* pool = gPool.load(std::memory_order_acquire);
    if (pool == nullptr || pool->owner != getpid()) return;
    std::lock_guard<std::mutex> lock(pool->use);
    endWorkers(*pool);
}

void runTasks(std::int64_t count, TaskFunction run, void* data) {
    Job job;
    job.run = run;
    job.data = data;
    job.count = count;
    if (tInTask || count < 2) {
        runSerially(job);
    } else if (const ExecutorSetting e = currentExecutor(); e.run != nullptr) {
        e.run(e.data, count, [](void* d, std::int64_t i) { runOne(*static_cast<Job*>(d), i); }, &job);
    } else if (const std::int32_t threads = threadCount(); threads <= 1) {
        runSerially(job);
    } else if (Pool* pool = currentPool(); pool == nullptr) {
        runSerially(job);
    } else if (std::unique_lock<std::mutex> lock(pool->use, std::try_to_lock); !lock.owns_lock()) {
        runSerially(job);  // another host thread's call has the pool
    } else {
        runOnPool(*pool, job, threads);
    }
    if (job.failed.load()) std::rethrow_exception(job.error);
}

}  // namespace corx_internal
