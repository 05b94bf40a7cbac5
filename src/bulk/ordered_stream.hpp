// Results of work items in the order the items were added, computed on the
// worker pool a few at a time and handed out as the consumer takes them.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include <unistd.h>

#include "worker_pool/worker_pool.hpp"
#include "common/memory.hpp"

namespace kz {

// How much an ordered stream may hold at once.
struct StreamLimits {
    // Items computed at once: each occupies one pool thread while it runs.
    std::size_t runners = 1;
    // Items added but not yet taken, whether waiting, running or done. The
    // consumer adds more only while there is room, so memory stays bounded
    // however long the input is.
    std::size_t window = 4;
    // Memory held by the items not yet taken past which no item is added:
    // the inputs an item carries (a file's contents) until it is computed,
    // then its result until it is taken (the items already running still land).
    std::size_t budget_bytes = std::size_t{256} << 20;
};

// The window a stream of `runners` gets by default: every runner busy while
// as many results again wait for the consumer, plus two for the consumer's
// own turn.
constexpr std::size_t default_window(std::size_t runners) noexcept { return 2 * runners + 2; }

// The process a stream was made in: only there do its pool threads exist.
class OrderedStreamOwner {
public:
    bool is_this_process() const noexcept { return pid_ == getpid(); }

private:
    pid_t pid_ = getpid();
};

// One consumer thread adds items and takes results; pool threads compute.
// Work not yet started when the stream is cancelled or destroyed is
// dropped; work already running finishes on its thread and its result is
// discarded. The pool threads share the state, so the stream may be
// destroyed at any time.
template <class T>
class OrderedStream {
public:
    using Work = std::function<T()>;                  // must not throw
    using Cost = std::size_t (*)(const T&) noexcept;  // memory a result holds

    OrderedStream(WorkerPool& pool, StreamLimits limits, Cost cost)
        : pool_(&pool), state_(std::allocate_shared<State>(Allocator<State>{})) {
        limits.runners = std::max<std::size_t>(1, std::min(limits.runners, pool.size()));
        limits.window = std::max(limits.window, limits.runners);
        state_->limits = limits;
        state_->cost = cost;
        limits_ = limits;
    }
    ~OrderedStream() {
        if (state_) cancel();
    }
    OrderedStream(OrderedStream&&) noexcept = default;  // a moved-from stream may only be destroyed
    OrderedStream& operator=(OrderedStream&&) = delete;

    const StreamLimits& limits() const noexcept { return limits_; }
    const OrderedStreamOwner& owner() const noexcept { return owner_; }

    // Whether one more item may be added now.
    bool wants_more() const {
        std::lock_guard lock(state_->mutex);
        return !state_->cancelled && state_->slots.size() < state_->limits.window &&
               state_->held_bytes < state_->limits.budget_bytes;
    }

    // Items added and not yet taken.
    std::size_t pending() const {
        std::lock_guard lock(state_->mutex);
        return state_->slots.size();
    }

    // Adds an item after the others; it runs as soon as a runner is free.
    // `held_bytes` is the memory its work holds until it has run.
    void add(Work work, std::size_t held_bytes = 0) {
        bool start_runner = false;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->cancelled) return;
            const std::size_t sequence = state_->first + state_->slots.size();
            state_->slots.emplace_back().bytes = held_bytes;
            state_->held_bytes += held_bytes;
            state_->queue.emplace_back(sequence, std::move(work));
            if (state_->runners < state_->limits.runners) {
                ++state_->runners;
                start_runner = true;
            }
        }
        if (start_runner) {
            try {
                pool_->submit([state = state_] { run(*state); });
            } catch (...) {
                std::lock_guard lock(state_->mutex);
                --state_->runners;
                throw;
            }
        }
    }

    // The result of the earliest item not yet taken, once it is done, waiting
    // at most `timeout`; nothing if it is not done by then (or nothing is pending).
    std::optional<T> take(std::chrono::milliseconds timeout) {
        std::unique_lock lock(state_->mutex);
        State& state = *state_;
        const auto front_done = [&] { return !state.slots.empty() && state.slots.front().result.has_value(); };
        if (!state.ready.wait_for(lock, timeout, front_done)) return std::nullopt;
        Slot slot = std::move(state.slots.front());
        state.slots.pop_front();
        ++state.first;
        state.held_bytes -= slot.bytes;
        return std::move(slot.result);
    }

    // Drops every item not yet started and every result not yet taken.
    // In a child made by fork() it only lets go of the shared state, untouched:
    // a pool thread of the parent may have held its lock at the fork, and
    // no thread of the child will ever release it.
    void cancel() noexcept {
        if (!owner_.is_this_process()) {
            if (state_) static_cast<void>(new (std::nothrow) std::shared_ptr<State>(std::move(state_)));
            return;
        }
        std::deque<Slot, Allocator<Slot>> slots;
        std::deque<Queued, Allocator<Queued>> queue;
        {
            std::lock_guard lock(state_->mutex);
            state_->cancelled = true;
            slots.swap(state_->slots);
            queue.swap(state_->queue);
            state_->held_bytes = 0;
        }
        // What the items and results hold is released outside the lock.
    }

private:
    struct Slot {
        std::optional<T> result;
        std::size_t bytes = 0;  // held: the item's inputs until it has run, then its result
    };
    using Queued = std::pair<std::size_t, Work>;

    struct State {
        std::mutex mutex;
        std::condition_variable ready;
        StreamLimits limits;
        Cost cost = nullptr;
        std::deque<Slot, Allocator<Slot>> slots;      // front: the next result to take
        std::deque<Queued, Allocator<Queued>> queue;  // added, not started, in order
        std::size_t first = 0;                        // sequence number of slots.front()
        std::size_t runners = 0;                      // runner tasks submitted and not ended
        std::size_t held_bytes = 0;                   // the slots' bytes
        bool cancelled = false;
    };

    // A runner takes items in order until none is waiting.
    static void run(State& state) noexcept {
        std::unique_lock lock(state.mutex);
        for (;;) {
            if (state.cancelled || state.queue.empty()) {
                --state.runners;
                return;
            }
            Queued item = std::move(state.queue.front());
            state.queue.pop_front();
            lock.unlock();
            std::optional<T> result(item.second());
            item.second = nullptr;
            const std::size_t bytes = state.cost(*result);
            lock.lock();
            if (state.cancelled) {
                lock.unlock();
                result.reset();  // released outside the lock
                lock.lock();
                continue;
            }
            Slot& slot = state.slots[item.first - state.first];
            slot.result = std::move(result);
            state.held_bytes = state.held_bytes - slot.bytes + bytes;  // its inputs were let go with the work
            slot.bytes = bytes;
            if (item.first == state.first) state.ready.notify_one();
        }
    }

    WorkerPool* pool_;
    std::shared_ptr<State> state_;
    StreamLimits limits_;  // a copy of the state's, readable after a forked child let go of the state
    OrderedStreamOwner owner_;
};

}  // namespace kz
