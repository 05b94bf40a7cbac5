// The process-wide pool of worker threads used by batch decoding.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

namespace kz {

// The most threads a pool is given, whatever the environment asks for: four
// per processor the process may run on, and never more than this.
inline constexpr std::size_t kMaxPoolThreads = 256;

// Pool size from the environment: RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS,
// then `logical_processors`. A variable counts when it is a decimal integer
// with an optional leading '+'; 0 in the first means one thread per processor.
// The result is clamped to [1, min(4 * logical_processors, kMaxPoolThreads)].
std::size_t pool_size_from(std::optional<std::string_view> num_threads, std::optional<std::string_view> num_cpus,
                           std::size_t logical_processors);

// The number of processors this process may run on.
std::size_t logical_processor_count();

// Threads that take queued tasks in order. Any number of callers may use the
// pool at once: each task and each `run` carries its own completion state, so
// nothing but the queue's lock is shared between them.
//
// What serialises callers today: inside the pool, only that queue lock (held
// just to push or pop a task). The Python batch function keeps the interpreter
// lock while it waits in `run`, so its own calls run one after another; a
// caller that released the lock would share the threads with the others, its
// tasks queued behind theirs.
class WorkerPool {
public:
    // The process's pool, created with its threads on the first call, and
    // again on the first call in a child made by fork() (which inherits no
    // threads). Stops with "The global thread pool has not been initialized."
    // and the reason when threads cannot start; the next call tries again.
    static WorkerPool& global();

    std::size_t size() const noexcept;

    // Queues `task` to run once on a pool thread. `task` must not throw.
    void submit(std::function<void()> task);

    // Runs task(i) for every i in [0, count) on the pool's threads, each index
    // exactly once, handing out indexes in order to whichever thread is free;
    // blocks until all have finished. `task` must not throw.
    void run(std::size_t count, const std::function<void(std::size_t)>& task);

    // The same on at most `helpers` threads, calling `waiting()` on the
    // calling thread every `interval` until all have finished: the caller
    // watches for signals or reports progress meanwhile. Once `waiting()`
    // returns false, indexes not yet started are skipped (the running ones
    // finish). `waiting` must not throw.
    void run_watched(std::size_t count, std::size_t helpers, const std::function<void(std::size_t)>& task,
                     std::chrono::milliseconds interval, const std::function<bool()>& waiting);

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    struct State;

private:
    explicit WorkerPool(std::size_t threads);
    ~WorkerPool() = default;  // never destroyed: idle threads sleep until the process ends
    State* state_;
};

}  // namespace kz
