// parse_replays_from_paths: many files in one call.
#include <array>

#include "binding/py_arguments.hpp"
#include "lib/py_functions.hpp"
#include "lib/py_path.hpp"
#include "lib/replay_file.hpp"

namespace kz::py {
namespace {

constexpr std::array<const char*, 2> kParameters{"paths", "header_only"};
constexpr Signature kSignature{nullptr, "parse_replays_from_paths", kParameters, 1};

PyObject* parse_replays_from_paths(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            Bound<2> slots{};
            Vec<String> paths;
            bool header_only = false;
            if (!bind_vector(kSignature, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargs)), kwnames, slots) ||
                !convert_arguments(kSignature, slots, paths, header_only)) {
                return nullptr;
            }
            Vec<Replay> replays;
            replays.reserve(paths.size());
            for (const String& path : paths) {
                check_path(path);
                replays.push_back(decode_replay_file(path.c_str(), header_only));
            }
            Ref list = Ref::steal(checked(PyList_New(static_cast<Py_ssize_t>(replays.size()))));
            for (std::size_t index = 0; index < replays.size(); ++index) {
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), make_object(std::move(replays[index])));
            }
            return list.release();
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace

PyMethodDef parse_replays_from_paths_def = {
    "parse_replays_from_paths",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&parse_replays_from_paths)),
    METH_FASTCALL | METH_KEYWORDS, ""};

}  // namespace kz::py
