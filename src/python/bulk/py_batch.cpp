// parse_replays_from_paths: many files decoded on the worker pool in one call.
#include "python/bulk/py_batch.hpp"

#include <array>

#include "bulk/decode_files.hpp"
#include "python/binding/py_arguments.hpp"

namespace kz::py {
namespace {

constexpr std::array<const char*, 2> kParameters{"paths", "header_only"};
constexpr Signature kSignature{nullptr, "parse_replays_from_paths", kParameters, 1};

PyObject* parse_replays_from_paths(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(kSignature, args, nargs, kwnames, std::tuple{Vec<String>{}, false},
                         [](const Vec<String>& paths, bool header_only) {
                             // The interpreter lock stays held: workers touch no Python object,
                             // and the objects are made here after every decode has finished.
                             Vec<Replay> replays = decode_files(paths, header_only);
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
    "parse_replays_from_paths", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&parse_replays_from_paths)),
    METH_FASTCALL | METH_KEYWORDS, ""};

}  // namespace kz::py
