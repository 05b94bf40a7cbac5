// kadenzo._native.similarity and pair_matrix. Arguments arrive checked and
// converted by kadenzo.compare; this layer reads the FrameColumns records
// under the lock, releases it for the work, and watches for signals and
// reports progress while the pool works.
#include "python/compare/py_compare.hpp"

#include <array>
#include <cmath>
#include <optional>

#include "python/binding/py_arguments.hpp"
#include "python/binding/py_class.hpp"
#include "python/binding/py_ref.hpp"
#include "python/binding/py_unlocked.hpp"
#include "python/columns/py_frame_columns.hpp"
#include "compare/play_distance.hpp"
#include "compare/play_matrix.hpp"

namespace kz::py {

// The record behind a matrix's memoryview: N x N float64 values, row-major.
struct DistanceMatrixRecord {
    DistanceMatrix values;
    std::array<Py_ssize_t, 2> shape{};
    std::array<Py_ssize_t, 2> strides{};
};

PyTypeObject* class_of(std::type_identity<DistanceMatrixRecord>);

namespace {

// How often the caller looks for signals and reports progress while the
// pool works: Ctrl-C is answered within this plus a chunk of pairs per thread.
constexpr std::chrono::milliseconds kWatchInterval{50};

int get_matrix_buffer(PyObject* exporter, Py_buffer* view, int flags) noexcept {
    DistanceMatrixRecord& record = as_instance<DistanceMatrixRecord>(exporter)->record;
    view->buf = record.values.data();
    view->obj = Py_NewRef(exporter);
    view->len = static_cast<Py_ssize_t>(record.values.size() * sizeof(double));
    view->itemsize = sizeof(double);
    view->readonly = 0;  // the matrix belongs to the caller alone
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("d") : nullptr;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? record.shape.data() : nullptr;
    view->ndim = view->shape != nullptr ? 2 : 1;  // without a shape, the consumer reads one run of bytes
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? record.strides.data() : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

const PyType_Slot kDistanceMatrixSlots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(&get_matrix_buffer)},
};

PyObject* matrix_view(DistanceMatrix values, std::size_t n) {
    const auto side = static_cast<Py_ssize_t>(n);
    const auto row = static_cast<Py_ssize_t>(n * sizeof(double));
    Ref exporter =
        Ref::steal(make_object(DistanceMatrixRecord{std::move(values), {side, side}, {row, sizeof(double)}}));
    return PyMemoryView_FromObject(exporter.get());
}

// The columns of `object`, shared so they outlive the object while the lock is released.
std::optional<SharedFrameColumns> shared_columns(PyObject* object, const char* what) {
    if (!is_instance<FrameColumnsRecord>(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be FrameColumns, not %.100s", what, Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    return as_instance<FrameColumnsRecord>(object)->record.columns;
}

PyObject* not_cursor_mode(const char* what) {
    PyErr_Format(PyExc_ValueError, "%s is not a cursor-mode play (it has no x and y positions)", what);
    return nullptr;
}

// While the pool works, the calling thread takes the lock back every
// kWatchInterval to look for signals and, with a `callback`, to report the
// pairs done; an exception from either stops the work and sets `failed`.
MatrixWatch signal_watch(PyObject* callback, bool& failed) {
    return {kWatchInterval, [callback, &failed](std::uint64_t pairs_done) {
                return with_interpreter_lock([&] {
                    bool go_on = PyErr_CheckSignals() == 0;
                    if (go_on && callback != nullptr) {
                        Ref done = Ref::steal(PyLong_FromUnsignedLongLong(pairs_done));
                        Ref result = done ? Ref::steal(PyObject_CallOneArg(callback, done.get())) : Ref();
                        go_on = static_cast<bool>(result);
                    }
                    failed = !go_on;
                    return go_on;
                });
            }};
}

// Raises what stopped the work: the exception the watch met, or
// KeyboardInterrupt when there is none.
PyObject* stopped(bool python_failed) {
    if (!python_failed || !PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
}

constexpr std::array<const char*, 3> kSimilarityParameters{"a", "b", "mirror_y"};
constexpr Signature kSimilarity{nullptr, "similarity", kSimilarityParameters, 3};

// similarity(a, b, mirror_y): a float, NaN when the plays share no time.
// Not noexcept: the lock is released while it compares (see guarded).
PyObject* similarity(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kSimilarity, args, nargs, kwnames, std::tuple{Borrowed{}, Borrowed{}, std::optional<double>{}},
                         [](Borrowed a_object, Borrowed b_object, std::optional<double> mirror_y) -> PyObject* {
                             const std::optional<SharedFrameColumns> a = shared_columns(a_object.object, "a");
                             if (!a) return nullptr;
                             const std::optional<SharedFrameColumns> b = shared_columns(b_object.object, "b");
                             if (!b) return nullptr;
                             if (!cursor_columns(**a)) return not_cursor_mode("a");
                             if (!cursor_columns(**b)) return not_cursor_mode("b");
                             bool python_failed = false;
                             const MatrixWatch watch = signal_watch(nullptr, python_failed);
                             std::optional<std::variant<double, MatrixFailure>> outcome = without_interpreter_lock([&] {
                                 return std::optional{play_similarity(**a, **b, mirror_y, WorkerPool::global(), watch)};
                             });
                             if (const double* distance = std::get_if<double>(&*outcome)) {
                                 return checked(PyFloat_FromDouble(*distance));
                             }
                             return stopped(python_failed);  // the modes were checked above
                         });
}

// (i, j, distance) tuples, closest first.
PyObject* pairs_list(const TopPairs& pairs) {
    Ref list = Ref::steal(checked(PyList_New(static_cast<Py_ssize_t>(pairs.size()))));
    for (std::size_t index = 0; index < pairs.size(); ++index) {
        const RankedPair& pair = pairs[index];
        PyObject* item = Py_BuildValue("(IId)", pair.i, pair.j, pair.distance);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), item);
    }
    return list.release();
}

constexpr std::array<const char*, 6> kMatrixParameters{"plays", "grid_ms", "mirror_y", "top", "threads", "progress"};
constexpr Signature kMatrix{nullptr, "pair_matrix", kMatrixParameters, 6};

// pair_matrix(plays, grid_ms, mirror_y, top, threads, progress): plays is a
// list of FrameColumns; threads 0 for the pool's size; progress None or a
// callable given the number of pairs done, called on this thread while the
// work runs. An N x N memoryview, or with top a list of (i, j, distance).
// Not noexcept: the lock is released while it compares (see guarded).
PyObject* pair_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(
        kMatrix, args, nargs, kwnames,
        std::tuple{Borrowed{}, std::optional<double>{}, std::optional<double>{}, std::optional<std::int64_t>{},
                   std::int64_t{0}, Borrowed{}},
        [](Borrowed plays_object, std::optional<double> grid_ms, std::optional<double> mirror_y,
           std::optional<std::int64_t> top, std::int64_t threads, Borrowed progress) -> PyObject* {
            if (!PyList_Check(plays_object.object)) {
                PyErr_SetString(PyExc_TypeError, "plays must be a list of FrameColumns");
                return nullptr;
            }
            // The list's items are taken (and their columns shared) once, so
            // nothing the caller does to the list later reaches the workers.
            const Py_ssize_t count = PyList_GET_SIZE(plays_object.object);
            Vec<SharedFrameColumns> kept;
            Vec<const FrameColumns*> plays;
            kept.reserve(static_cast<std::size_t>(count));
            plays.reserve(static_cast<std::size_t>(count));
            for (Py_ssize_t index = 0; index < count; ++index) {
                std::optional<SharedFrameColumns> columns =
                    shared_columns(PyList_GET_ITEM(plays_object.object, index), "every play");
                if (!columns) return nullptr;
                plays.push_back(columns->get());
                kept.push_back(std::move(*columns));
            }
            MatrixOptions options;
            options.grid_ms = grid_ms;
            options.mirror_y = mirror_y;
            if (top) options.top = static_cast<std::size_t>(*top);
            options.threads = static_cast<std::size_t>(threads);
            PyObject* callback = progress.object == Py_None ? nullptr : progress.object;

            bool python_failed = false;
            const MatrixWatch watch = signal_watch(callback, python_failed);
            std::optional<std::variant<DistanceMatrix, TopPairs, MatrixFailure>> outcome = without_interpreter_lock(
                [&] { return std::optional{play_matrix(plays, options, WorkerPool::global(), watch)}; });
            if (const MatrixFailure* failure = std::get_if<MatrixFailure>(&*outcome)) {
                switch (failure->kind) {
                    case MatrixFailure::Kind::Stopped: return stopped(python_failed);
                    case MatrixFailure::Kind::NotCursorMode:
                        PyErr_Format(PyExc_ValueError,
                                     "play %zu is not a cursor-mode play (it has no x and y positions)", failure->play);
                        return nullptr;
                    case MatrixFailure::Kind::GridTooFine:
                        PyErr_Format(PyExc_ValueError,
                                     "grid_ms is too fine for play %zu: it would take more than %zu grid points",
                                     failure->play, kMaxGridPoints);
                        return nullptr;
                }
            }
            if (const TopPairs* pairs = std::get_if<TopPairs>(&*outcome)) return pairs_list(*pairs);
            return matrix_view(std::move(std::get<DistanceMatrix>(*outcome)), plays.size());
        });
}

PyMethodDef kFunctions[] = {
    {"similarity", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&similarity)),
     METH_FASTCALL | METH_KEYWORDS, "similarity(a, b, mirror_y): the mean cursor distance of two FrameColumns."},
    {"pair_matrix", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&pair_matrix)),
     METH_FASTCALL | METH_KEYWORDS,
     "pair_matrix(plays, grid_ms, mirror_y, top, threads, progress): distances between every pair of plays."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* class_of(std::type_identity<DistanceMatrixRecord>) {
    static const ClassSpec spec = class_spec<DistanceMatrixRecord>("DistanceMatrix", "kadenzo._native.DistanceMatrix",
                                                                   kDistanceMatrixSlots, nullptr);
    static ClassSlot slot;
    return slot.get(spec);
}

bool add_compare(PyObject* native) {
    return guarded(
        [&] {
            PyObject* type = reinterpret_cast<PyObject*>(type_of<DistanceMatrixRecord>());
            return PyModule_AddObjectRef(native, "DistanceMatrix", type) == 0 &&
                   PyModule_AddFunctions(native, kFunctions) == 0;
        },
        false);
}

}  // namespace kz::py
