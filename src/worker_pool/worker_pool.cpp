// Worker pool: threads sleep on a condition variable and take tasks from one
// queue in order, so fast threads take over the work of slow ones without
// any splitting policy.
#include "worker_pool/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/memory.hpp"
#include "failure/stop.hpp"

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

std::size_t requested_size(std::optional<std::string_view> num_threads, std::optional<std::string_view> num_cpus,
                           std::size_t logical_processors) {
    if (const auto threads = parse_count(num_threads)) return *threads > 0 ? *threads : logical_processors;
    if (const auto cpus = parse_count(num_cpus); cpus && *cpus > 0) return *cpus;
    return logical_processors;
}

// Signals go to the interpreter's thread, never to a worker: a worker has no
// handler to run and must not be the thread that takes Ctrl-C.
class AllSignalsBlocked {
public:
    AllSignalsBlocked() noexcept {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved_);
    }
    ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

private:
    sigset_t saved_;
};

}  // namespace

std::size_t pool_size_from(std::optional<std::string_view> num_threads, std::optional<std::string_view> num_cpus,
                           std::size_t logical_processors) {
    const std::size_t limit = std::clamp<std::size_t>(logical_processors * 4, 1, kMaxPoolThreads);
    return std::clamp<std::size_t>(requested_size(num_threads, num_cpus, logical_processors), 1, limit);
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
    std::condition_variable task_ready;
    std::deque<std::function<void()>, Allocator<std::function<void()>>> queue;
    bool closing = false;  // only while creation fails: the started threads leave
    Vec<std::thread> threads;

    void work_loop() {
        std::unique_lock lock(mutex);
        for (;;) {
            task_ready.wait(lock, [&] { return closing || !queue.empty(); });
            if (closing) return;
            std::function<void()> task = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            task();
            task = nullptr;  // what the task holds is released outside the lock
            lock.lock();
        }
    }
};

WorkerPool::WorkerPool(std::size_t threads) : state_(new State) {
    std::unique_ptr<State> state(state_);
    try {
        AllSignalsBlocked blocked;  // the threads inherit the mask
        state->threads.reserve(threads);
        for (std::size_t index = 0; index < threads; ++index) {
            state->threads.emplace_back([raw = state.get()] { raw->work_loop(); });
        }
    } catch (...) {
        // The threads that did start leave and are joined, so a failed
        // creation leaves nothing behind and a later call can try again.
        {
            std::lock_guard lock(state->mutex);
            state->closing = true;
        }
        state->task_ready.notify_all();
        for (std::thread& thread : state->threads) thread.join();
        throw;
    }
    state.release();
}

namespace {

// The pool of this process; reset in a forked child, whose copy of the
// parent's pool has no threads behind it. The parent's state is left
// unreleased there: its locks may have been held by threads that no longer exist.
std::atomic<WorkerPool*> global_pool{nullptr};
std::mutex creation_mutex;

void install_fork_handlers() {
    static const int installed =
        pthread_atfork([] { creation_mutex.lock(); },  // no pool is half-made while the process forks
                       [] { creation_mutex.unlock(); },
                       [] {
                           creation_mutex.unlock();
                           global_pool.store(nullptr);
                       });
    (void)installed;
}

}  // namespace

WorkerPool& WorkerPool::global() {
    if (WorkerPool* pool = global_pool.load(std::memory_order_acquire)) return *pool;
    install_fork_handlers();
    std::lock_guard lock(creation_mutex);
    if (WorkerPool* pool = global_pool.load(std::memory_order_acquire)) return *pool;
    const std::size_t size =
        pool_size_from(environment("RAYON_NUM_THREADS"), environment("RAYON_RS_NUM_CPUS"), logical_processor_count());
    String reason;
    try {
        WorkerPool* pool = new WorkerPool(size);
        global_pool.store(pool, std::memory_order_release);
        return *pool;
    } catch (const std::system_error& error) {
        reason = "the worker threads could not be started (";
        reason += error.code().message();
        reason += ")";
    } catch (const std::bad_alloc&) {
        reason = "the worker threads could not be started (out of memory)";
    }
    String message = "The global thread pool has not been initialized.: ";
    message += reason;
    stop(message);
}

std::size_t WorkerPool::size() const noexcept { return state_->threads.size(); }

void WorkerPool::submit(std::function<void()> task) {
    {
        std::lock_guard lock(state_->mutex);
        state_->queue.push_back(std::move(task));
    }
    state_->task_ready.notify_one();
}

void WorkerPool::run(std::size_t count, const std::function<void(std::size_t)>& task) {
    run_watched(count, size(), task, std::chrono::milliseconds::max(), [] { return true; });
}

void WorkerPool::run_watched(std::size_t count, std::size_t helper_limit, const std::function<void(std::size_t)>& task,
                             std::chrono::milliseconds interval, const std::function<bool()>& waiting) {
    if (count == 0) return;
    // One shared index and a count of finished helpers; the helpers are at
    // most one per thread and each takes indexes until none are left.
    struct Job {
        std::atomic<std::size_t> next{0};
        std::mutex mutex;
        std::condition_variable done;
        std::size_t running = 0;
    } job;
    const std::size_t helpers = std::clamp<std::size_t>(std::min(count, helper_limit), 1, size());
    job.running = helpers;
    std::size_t queued = 0;
    const auto all_done = [&] { return job.running == 0; };
    try {
        for (; queued < helpers; ++queued) {
            submit([&job, &task, count] {
                for (std::size_t index = job.next.fetch_add(1); index < count; index = job.next.fetch_add(1)) {
                    task(index);
                }
                std::lock_guard lock(job.mutex);
                if (--job.running == 0) job.done.notify_one();
            });
        }
    } catch (...) {
        // Queuing can run out of memory. The helpers already queued refer to
        // this frame, so it must not end before they do; one of them is
        // enough to take every index.
        std::unique_lock lock(job.mutex);
        job.running -= helpers - queued;
        job.done.wait(lock, all_done);
        if (queued == 0) throw;
        return;
    }
    std::unique_lock lock(job.mutex);
    if (interval == std::chrono::milliseconds::max()) {
        job.done.wait(lock, all_done);
        return;
    }
    while (!job.done.wait_for(lock, interval, all_done)) {
        lock.unlock();
        bool go_on = false;
        try {
            go_on = waiting();
        } catch (...) {
            // The watcher failed, or its thread is being ended (a daemon
            // thread at shutdown): the helpers refer to this frame, so they
            // take no further index and finish before it goes.
            job.next.store(count);
            lock.lock();
            job.done.wait(lock, all_done);
            throw;
        }
        lock.lock();
        if (!go_on) {
            job.next.store(count);  // the helpers take no further index
            job.done.wait(lock, all_done);
            return;
        }
    }
}

}  // namespace kz
