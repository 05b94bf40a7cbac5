// Many files on the worker pool: one slot per path, the lowest-index failure rule.
#include "bulk/decode_files.hpp"

#include <optional>

#include "worker_pool/worker_pool.hpp"
#include "failure/stop.hpp"
#include "files/path_check.hpp"
#include "files/replay_file.hpp"

namespace kz {
namespace {

// What one decode leaves in its slot: the record, or the stop that ended it.
struct Outcome {
    std::optional<Replay> replay;
    std::optional<Stop> failure;
};

Replay decode_path(const String& path, bool header_only) {
    check_path(path);
    return decode_replay_file(path.c_str(), header_only);
}

// Runs on a worker thread and writes only its own slot.
void decode_into(const String& path, bool header_only, Outcome& slot) noexcept {
    try {
        slot.replay.emplace(decode_path(path, header_only));
    } catch (const Stop& stop) {
        slot.failure.emplace(stop);
    } catch (const std::bad_alloc&) {
        slot.failure.emplace(String("memory allocation failed"), std::source_location::current());
    } catch (...) {
        slot.failure.emplace(String("native code failed without a message"), std::source_location::current());
    }
}

}  // namespace

Vec<Replay> decode_files(const Vec<String>& paths, bool header_only) {
    WorkerPool& pool = WorkerPool::global();
    Vec<Replay> replays;
    replays.reserve(paths.size());
    if (paths.size() == 1) {  // one path: no need to wake the pool
        replays.push_back(decode_path(paths.front(), header_only));
        return replays;
    }
    Vec<Outcome> outcomes(paths.size());
    pool.run(paths.size(), [&](std::size_t index) { decode_into(paths[index], header_only, outcomes[index]); });
    for (Outcome& outcome : outcomes) {
        if (outcome.failure) throw Stop(*outcome.failure);  // its diagnostic was written when it happened
    }
    for (Outcome& outcome : outcomes) replays.push_back(std::move(*outcome.replay));
    return replays;
}

}  // namespace kz
