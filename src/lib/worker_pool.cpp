// Worker pool: threads sleep on a condition variable and take indexes of the
// current job from an atomic counter, so fast threads take over the work of
// slow ones without any splitting policy.
#include "lib/worker_pool.hpp"

#include <sched.h>

#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/memory.hpp"
#include "common/stop.hpp"

namespace kz {
namespace {

// "+"? digits, nothing else; an overflowing number is not such an integer.
std::optional<std::size_t> parse_count(std::optional<std::string_view> text) {
    if (!text || text->empty()) return std::nullopt;
    std::string_view digits = *text;
    if (digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') return std::nullopt;
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

std::optional<std::string_view> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

}  // namespace

std::size_t pool_size_from(std::optional<std::string_view> num_threads, std::optional<std::string_view> num_cpus,
                           std::size_t logical_processors) {
    if (const auto threads = parse_count(num_threads)) return *threads > 0 ? *threads : logical_processors;
    if (const auto cpus = parse_count(num_cpus); cpus && *cpus > 0) return *cpus;
    return logical_processors;
}

std::size_t logical_processor_count() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    const unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? count : 1;
}

struct WorkerPool::State {
    std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable work_done;
    Vec<std::thread> threads;

    // The current job; `generation` tells sleeping threads that a new one started.
    const std::function<void(std::size_t)>* task = nullptr;
    std::size_t count = 0;
    std::atomic<std::size_t> next{0};
    std::size_t generation = 0;
    std::size_t busy = 0;  // threads still working on the current job

    void work_loop() {
        std::size_t seen = 0;
        std::unique_lock lock(mutex);
        for (;;) {
            work_ready.wait(lock, [&] { return generation != seen; });
            seen = generation;
            const auto* job = task;
            const std::size_t total = count;
            lock.unlock();
            for (std::size_t index = next.fetch_add(1); index < total; index = next.fetch_add(1)) {
                (*job)(index);
            }
            lock.lock();
            if (--busy == 0) work_done.notify_one();
        }
    }
};

WorkerPool::WorkerPool(std::size_t threads) : state_(new State) {
    try {
        state_->threads.reserve(threads);
        for (std::size_t index = 0; index < threads; ++index) {
            state_->threads.emplace_back([state = state_] { state->work_loop(); });
        }
    } catch (...) {
        // The threads that did start sleep forever on a state that is never
        // freed; detaching them keeps their handles from ending the process.
        for (std::thread& thread : state_->threads) thread.detach();
        throw;
    }
}

WorkerPool& WorkerPool::global() {
    // Created once, even if two first calls race; never shut down.
    static WorkerPool* pool = [] {
        const std::size_t size = pool_size_from(environment("RAYON_NUM_THREADS"), environment("RAYON_RS_NUM_CPUS"),
                                                logical_processor_count());
        try {
            return new WorkerPool(size);
        } catch (const std::system_error&) {
            return static_cast<WorkerPool*>(nullptr);
        } catch (const std::bad_alloc&) {
            return static_cast<WorkerPool*>(nullptr);
        }
    }();
    if (pool == nullptr) {
        stop("The global thread pool has not been initialized.: the worker threads could not be started");
    }
    return *pool;
}

std::size_t WorkerPool::thread_count() const noexcept { return state_->threads.size(); }

void WorkerPool::run(std::size_t count, const std::function<void(std::size_t)>& task) {
    std::unique_lock lock(state_->mutex);
    state_->task = &task;
    state_->count = count;
    state_->next.store(0);
    state_->busy = state_->threads.size();
    ++state_->generation;
    state_->work_ready.notify_all();
    state_->work_done.wait(lock, [&] { return state_->busy == 0; });
    state_->task = nullptr;
}

}  // namespace kz
