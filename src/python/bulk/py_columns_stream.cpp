// The column form of bulk decoding: kadenzo.bulk.decode(..., frames="columns")
// yields each file's header record with its frames as FrameColumns, both made
// on the pool thread that decoded the file.
#include "python/bulk/py_columns_stream.hpp"

#include <array>

#include "python/binding/py_arguments.hpp"
#include "python/bulk/py_path_stream.hpp"
#include "bulk/decode_columns.hpp"
#include "python/columns/py_frame_columns.hpp"

namespace kz::py {

PyTypeObject* class_of(std::type_identity<PathStream<DecodedColumns>>);

namespace {

std::size_t cost(const ColumnsOutcome& outcome) noexcept { return columns_outcome_bytes(outcome); }

// (Replay without frame lists, FrameColumns).
PyObject* columns_pair(DecodedColumns&& decoded) {
    Ref replay = Ref::steal(make_object(std::move(decoded.replay)));
    Ref columns = Ref::steal(make_frame_columns(std::move(decoded.columns)));
    return checked(PyTuple_Pack(2, replay.get(), columns.get()));
}

constexpr std::array<const char*, 5> kParameters{"paths", "header_only", "threads", "window", "contents"};
constexpr Signature kSignature{nullptr, "columns_stream", kParameters, 4};

// columns_stream(paths, header_only, threads, window, contents=False): as replay_stream.
PyObject* columns_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(
        kSignature, args, nargs, kwnames, std::tuple{Borrowed{}, false, std::int64_t{0}, std::int64_t{0}, false},
        [](Borrowed paths, bool header_only, std::int64_t threads, std::int64_t window, bool contents) {
            return new_path_stream<DecodedColumns>(paths.object, header_only, threads, window, &decode_file_columns,
                                                   &columns_pair, &cost, contents ? &decode_bytes_columns : nullptr);
        });
}

PyMethodDef kFunctions[] = {
    {"columns_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&columns_stream)),
     METH_FASTCALL | METH_KEYWORDS,
     "(header Replay, FrameColumns) of many paths, in order, decoded and converted on the pool."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* class_of(std::type_identity<PathStream<DecodedColumns>>) {
    static const ClassSpec spec = path_stream_spec<DecodedColumns>("ColumnsStream", "kadenzo._native.ColumnsStream");
    static ClassSlot slot;
    return slot.get(spec);
}

bool add_columns_stream(PyObject* native) {
    PyTypeObject* type = type_of<PathStream<DecodedColumns>>();
    if (PyModule_AddObjectRef(native, "ColumnsStream", reinterpret_cast<PyObject*>(type)) < 0) return false;
    return PyModule_AddFunctions(native, kFunctions) == 0;
}

}  // namespace kz::py
