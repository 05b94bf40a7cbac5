// The process-wide pool of worker threads used by batch decoding.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

namespace kz {

// Pool size from the environment: RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS,
// then `logical_processors`. A variable counts when it is a decimal integer
// with an optional leading '+'; 0 in the first means one thread per processor.
std::size_t pool_size_from(std::optional<std::string_view> num_threads,
                           std::optional<std::string_view> num_cpus, std::size_t logical_processors);

// The number of processors this process may run on.
std::size_t logical_processor_count();

class WorkerPool {
public:
    // The pool, created with its threads on the first call. Stops with "The
    // global thread pool has not been initialized." when threads cannot start.
    static WorkerPool& global();

    std::size_t thread_count() const noexcept;

    // Runs task(i) for every i in [0, count) on the pool's threads, each index
    // exactly once, handing out indexes in order to whichever thread is free;
    // blocks until all have finished. `task` must not throw.
    void run(std::size_t count, const std::function<void(std::size_t)>& task);

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

private:
    explicit WorkerPool(std::size_t threads);
    ~WorkerPool() = default;  // never destroyed: idle threads sleep until the process ends
    struct State;
    State* state_;
};

}  // namespace kz
