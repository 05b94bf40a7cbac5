// parse_replays_from_paths: many files decoded on the worker pool in one call.
#include <array>
#include <optional>

#include "binding/py_arguments.hpp"
#include "lib/path_check.hpp"
#include "lib/py_functions.hpp"
#include "lib/replay_file.hpp"
#include "lib/worker_pool.hpp"

namespace kz::py {
namespace {

constexpr std::array<const char*, 2> kParameters{"paths", "header_only"};
constexpr Signature kSignature{nullptr, "parse_replays_from_paths", kParameters, 1};

// What one task leaves in its slot: the record, or the stop that ended it.
struct TaskResult {
    std::optional<Replay> replay;
    std::optional<Stop> failure;
};

Replay decode_path(const String& path, bool header_only) {
    check_path(path);
    return decode_replay_file(path.c_str(), header_only);
}

// Runs on a worker thread: touches no Python object, writes only its own slot.
void run_task(const String& path, bool header_only, TaskResult& slot) noexcept {
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

// Decodes every path; the reported failure is that of the lowest-indexed
// failing path, whatever order the tasks finished in.
Vec<Replay> decode_all(const Vec<String>& paths, bool header_only) {
    WorkerPool& pool = WorkerPool::global();  // created on the first call, also for an empty list
    Vec<Replay> replays;
    replays.reserve(paths.size());
    if (paths.size() == 1) {  // one path: no need to wake the pool
        replays.push_back(decode_path(paths.front(), header_only));
        return replays;
    }
    Vec<TaskResult> results(paths.size());
    pool.run(paths.size(), [&](std::size_t index) { run_task(paths[index], header_only, results[index]); });
    for (TaskResult& result : results) {
        if (result.failure) throw Stop(*result.failure);  // its diagnostic was written when it happened
    }
    for (TaskResult& result : results) replays.push_back(std::move(*result.replay));
    return replays;
}

PyObject* parse_replays_from_paths(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(kSignature, args, nargs, kwnames, std::tuple{Vec<String>{}, false},
                         [](const Vec<String>& paths, bool header_only) {
                             Vec<Replay> replays = decode_all(paths, header_only);
                             // Python objects are made on the calling thread, after every task has finished.
                             Ref list = Ref::steal(checked(PyList_New(static_cast<Py_ssize_t>(replays.size()))));
                             for (std::size_t index = 0; index < replays.size(); ++index) {
                                 PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index),
                                                 make_object(std::move(replays[index])));
                             }
                             return list.release();
                         });
}

}  // namespace

PyMethodDef parse_replays_from_paths_def = {
    "parse_replays_from_paths",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&parse_replays_from_paths)),
    METH_FASTCALL | METH_KEYWORDS, ""};

}  // namespace kz::py
