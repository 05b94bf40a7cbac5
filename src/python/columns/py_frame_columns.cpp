// FrameColumns: each field of a play's frames as a read-only typed buffer (so
// that array libraries read it in place), and the whole as Arrow data through
// the PyCapsule interface. From a Replay, the C++ record is read directly:
// no frame object is built. KeyPresses, the table of a play's presses, shares
// every operation but the frame fields and the clock.
#include "python/columns/py_frame_columns.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "python/binding/py_arguments.hpp"
#include "python/binding/py_unlocked.hpp"
#include "python/binding/py_class.hpp"
#include "python/binding/py_convert.hpp"
#include "python/binding/py_ref.hpp"
#include "columns/key_presses.hpp"
#include "python/columns/py_arrow_capsules.hpp"
#include "python/columns/py_column_conversions.hpp"
#include "common/record_fields.hpp"

namespace kz::py {
namespace {

template <class Record = FrameColumnsRecord>
const FrameColumns& columns_of(PyObject* self) noexcept {
    return *as_instance<Record>(self)->record.columns;
}

// The columns a table shows by name and exports to Arrow, in order.
template <class Record>
bool with_time(const Record& record) noexcept {
    if constexpr (requires { record.with_time; }) {
        return record.with_time;
    } else {
        return false;
    }
}

template <class Record>
std::span<const Column> shown_columns(PyObject* self) noexcept {
    const Record& record = as_instance<Record>(self)->record;
    return with_time(record) ? record.columns->columns_with_time() : record.columns->columns();
}

// OverflowError saying where the clock leaves 64 bits.
PyObject* raise_no_time(const FrameColumns& columns) {
    PyErr_Format(PyExc_OverflowError, "the sum of time_delta leaves 64 bits at frame %zu",
                 columns.time_overflow().value_or(0));
    return nullptr;
}

// --- one column as a buffer ----------------------------------------------------

// The struct-module code of each stored type, as the buffer protocol names it.
const char* buffer_format(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::Int64: return "q";
        case ColumnType::Float64: return "d";
        case ColumnType::Int32: return "i";
        case ColumnType::Bool: return "?";
    }
    return "B";
}

int get_column_buffer(PyObject* exporter, Py_buffer* view, int flags) noexcept {
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_BufferError, "frame columns are read-only");
        return -1;
    }
    ColumnBufferRecord& record = as_instance<ColumnBufferRecord>(exporter)->record;
    const Column& column = *record.column;
    view->buf = const_cast<void*>(column.values.data());  // read-only: the flag below says so
    view->obj = Py_NewRef(exporter);
    view->len = record.shape * record.stride;
    view->itemsize = record.stride;
    view->readonly = 1;
    view->ndim = 1;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(buffer_format(column.type)) : nullptr;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &record.shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &record.stride : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

const PyType_Slot kColumnBufferSlots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(&get_column_buffer)},
};

// A memoryview of `column` (one of the table's own); its exporter holds the columns alive.
template <class Record>
PyObject* column_view(PyObject* self, const Column& column) {
    const SharedFrameColumns& columns = as_instance<Record>(self)->record.columns;
    Ref exporter =
        Ref::steal(make_object(ColumnBufferRecord{columns, &column, static_cast<Py_ssize_t>(columns->length()),
                                                  static_cast<Py_ssize_t>(column_value_bytes(column.type))}));
    return PyMemoryView_FromObject(exporter.get());
}

const Column* column_named(std::span<const Column> all, std::string_view name) noexcept {
    for (const Column& column : all) {
        if (column.name == name) return &column;
    }
    return nullptr;
}

// The column called `name` among the record's fields (and a frame table's
// clock, shown or not), or null; `no_time` is set when it is a clock that
// left 64 bits.
template <class Record>
const Column* column_called(PyObject* self, std::string_view name, bool& no_time) noexcept {
    const FrameColumns& columns = columns_of<Record>(self);
    if constexpr (std::is_same_v<Record, FrameColumnsRecord>) {
        if (name == "time") {
            no_time = columns.time() == nullptr;
            return columns.time();
        }
    }
    return column_named(columns.columns(), name);
}

// The column a key of `table[key]` names, or null (with no error set).
template <class Record>
const Column* column_of_key(PyObject* self, PyObject* key, bool& no_time) {
    if (!PyUnicode_Check(key)) return nullptr;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) {
        PyErr_Clear();  // a name with lone surrogates names no column
        return nullptr;
    }
    return column_called<Record>(self, std::string_view(text, static_cast<std::size_t>(size)), no_time);
}

// --- the columns object ------------------------------------------------------------

// A field read as an attribute; `closure` is its name. The five names cover
// the four modes' records, and a play has the fields of its own mode only;
// every play has its clock, `time`.
template <class Record>
PyObject* get_field(PyObject* self, void* closure) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const std::string_view name(static_cast<const char*>(closure));
            bool no_time = false;
            if (const Column* column = column_called<Record>(self, name, no_time)) {
                return column_view<Record>(self, *column);
            }
            if (no_time) return raise_no_time(columns_of<Record>(self));
            PyErr_Format(PyExc_AttributeError, "frames of mode %s have no field '%s'",
                         game_mode_name(columns_of<Record>(self).mode()).data(), name.data());
            return nullptr;
        },
        static_cast<PyObject*>(nullptr));
}

template <class Record>
PyObject* get_item(PyObject* self, PyObject* name) noexcept {
    return guarded(
        [&]() -> PyObject* {
            bool no_time = false;
            if (const Column* column = column_of_key<Record>(self, name, no_time)) {
                return column_view<Record>(self, *column);
            }
            if (no_time) return raise_no_time(columns_of<Record>(self));
            PyErr_SetObject(PyExc_KeyError, name);
            return nullptr;
        },
        static_cast<PyObject*>(nullptr));
}

template <class Record>
Py_ssize_t length(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(columns_of<Record>(self).length());
}

PyObject* get_mode(PyObject* self, void*) noexcept {
    return guarded([&] { return Converter<GameMode>::to_py(columns_of(self).mode()); },
                   static_cast<PyObject*>(nullptr));
}

PyObject* get_rng_seed(PyObject* self, void*) noexcept {
    return guarded([&] { return Converter<std::optional<std::int32_t>>::to_py(columns_of(self).rng_seed()); },
                   static_cast<PyObject*>(nullptr));
}

PyObject* names_of(std::span<const Column> all) {
    Ref names = Ref::steal(checked(PyTuple_New(static_cast<Py_ssize_t>(all.size()))));
    for (std::size_t index = 0; index < all.size(); ++index) {
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(index),
                         checked(PyUnicode_FromStringAndSize(all[index].name.data(),
                                                             static_cast<Py_ssize_t>(all[index].name.size()))));
    }
    return names.release();
}

template <class Record>
PyObject* get_names(PyObject* self, void*) noexcept {
    return guarded([&] { return names_of(shown_columns<Record>(self)); }, static_cast<PyObject*>(nullptr));
}

PyObject* repr(PyObject* self) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const FrameColumns& columns = columns_of(self);
            Ref names = Ref::steal(names_of(shown_columns<FrameColumnsRecord>(self)));
            const std::string_view mode = game_mode_name(columns.mode());
            if (!columns.rng_seed()) {
                return PyUnicode_FromFormat("<FrameColumns %s: %zd frames %R, no seed>", mode.data(),
                                            static_cast<Py_ssize_t>(columns.length()), names.get());
            }
            return PyUnicode_FromFormat("<FrameColumns %s: %zd frames %R, seed %d>", mode.data(),
                                        static_cast<Py_ssize_t>(columns.length()), names.get(),
                                        static_cast<int>(*columns.rng_seed()));
        },
        static_cast<PyObject*>(nullptr));
}

// --- the Arrow PyCapsule interface -----------------------------------------------

template <class Record>
PyObject* schema_capsule(PyObject* self) {
    const Record& record = as_instance<Record>(self)->record;
    return capsule_of<ArrowSchema>("arrow_schema", &destroy_schema_capsule,
                                   [&](ArrowSchema* out) { export_schema(*record.columns, with_time(record), out); });
}

template <class Record>
PyObject* array_capsule(PyObject* self) {
    const Record& record = as_instance<Record>(self)->record;
    return capsule_of<ArrowArray>("arrow_array", &destroy_array_capsule,
                                  [&](ArrowArray* out) { export_array(record.columns, with_time(record), out); });
}

template <class Record>
PyObject* stream_capsule(PyObject* self) {
    const Record& record = as_instance<Record>(self)->record;
    return capsule_of<ArrowArrayStream>("arrow_array_stream", &destroy_stream_capsule, [&](ArrowArrayStream* out) {
        export_stream(record.columns, with_time(record), out);
    });
}

// The data is offered in its own schema whatever `requested_schema` asks:
// the interface leaves casting to the consumer.
constexpr std::array<const char*, 1> kRequestedSchema{"requested_schema"};
constexpr Signature kArrayExport{"FrameColumns", "__arrow_c_array__", kRequestedSchema, 0};
constexpr Signature kStreamExport{"FrameColumns", "__arrow_c_stream__", kRequestedSchema, 0};

template <const Signature& signature>
bool bind_requested_schema(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound<1> slots{};
    return bind_vector(signature, args, positional_count_of(nargs), kwnames, slots);
}

template <class Record>
PyObject* arrow_c_schema(PyObject* self, PyObject*) noexcept {
    return guarded([&] { return schema_capsule<Record>(self); }, static_cast<PyObject*>(nullptr));
}

template <class Record>
PyObject* arrow_c_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            if (!bind_requested_schema<kArrayExport>(args, nargs, kwnames)) return nullptr;
            Ref schema = Ref::steal(schema_capsule<Record>(self));
            if (!schema) return nullptr;
            Ref array = Ref::steal(array_capsule<Record>(self));
            if (!array) return nullptr;
            return PyTuple_Pack(2, schema.get(), array.get());
        },
        static_cast<PyObject*>(nullptr));
}

template <class Record>
PyObject* arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            if (!bind_requested_schema<kStreamExport>(args, nargs, kwnames)) return nullptr;
            return stream_capsule<Record>(self);
        },
        static_cast<PyObject*>(nullptr));
}

// A FrameColumns over the same memory whose names and Arrow columns start with `time`.
PyObject* with_time_view(PyObject* self, PyObject*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const FrameColumnsRecord& record = as_instance<FrameColumnsRecord>(self)->record;
            if (record.columns->time() == nullptr) return raise_no_time(*record.columns);
            return make_object(FrameColumnsRecord{record.columns, true});
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* key_presses_repr(PyObject* self) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const FrameColumns& presses = columns_of<KeyPressesRecord>(self);
            return PyUnicode_FromFormat("<KeyPresses %s: %zd presses>", game_mode_name(presses.mode()).data(),
                                        static_cast<Py_ssize_t>(presses.length()));
        },
        static_cast<PyObject*>(nullptr));
}

template <class Method>
PyCFunction as_method(Method method) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

// --- pickling ------------------------------------------------------------------

// The function that rebuilds pickled columns; pickle finds it by module and name.
constexpr const char* kRebuildName = "_frame_columns_from_values";

// (kadenzo._native._frame_columns_from_values, (mode code, seed, length, (bytes per column, ...))):
// plain data that a process pool or a cluster sends to another process.
PyObject* reduce_columns(PyObject* self, PyObject*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const FrameColumns& columns = columns_of(self);
            Ref module = Ref::steal(PyImport_ImportModule("kadenzo._native"));
            if (!module) return nullptr;
            Ref rebuild = Ref::steal(PyObject_GetAttrString(module.get(), kRebuildName));
            if (!rebuild) return nullptr;
            const std::span<const Column> all = columns.columns();
            Ref values = Ref::steal(checked(PyTuple_New(static_cast<Py_ssize_t>(all.size()))));
            for (std::size_t index = 0; index < all.size(); ++index) {
                const std::size_t bytes = columns.length() * column_value_bytes(all[index].type);
                PyTuple_SET_ITEM(values.get(), static_cast<Py_ssize_t>(index),
                                 checked(PyBytes_FromStringAndSize(static_cast<const char*>(all[index].values.data()),
                                                                   static_cast<Py_ssize_t>(bytes))));
            }
            Ref mode = Ref::steal(checked(PyLong_FromLong(static_cast<long>(columns.mode()))));
            Ref seed = Ref::steal(Converter<std::optional<std::int32_t>>::to_py(columns.rng_seed()));
            Ref length = Ref::steal(checked(PyLong_FromSize_t(columns.length())));
            Ref arguments = Ref::steal(checked(PyTuple_Pack(4, mode.get(), seed.get(), length.get(), values.get())));
            return checked(PyTuple_Pack(2, rebuild.get(), arguments.get()));
        },
        static_cast<PyObject*>(nullptr));
}

// The methods every column table has (FrameColumns, KeyPresses), then the
// table's own, then the end of the table.
template <class Record, std::size_t N>
std::array<PyMethodDef, N + 6> table_methods(const std::array<PyMethodDef, N>& own) {
    std::array<PyMethodDef, N + 6> methods{{
        {"__arrow_c_schema__", as_method(&arrow_c_schema<Record>), METH_NOARGS,
         "The Arrow schema of the columns (a struct type), in a PyCapsule."},
        {"__arrow_c_array__", as_method(&arrow_c_array<Record>), METH_FASTCALL | METH_KEYWORDS,
         "The columns as an Arrow struct array: (schema capsule, array capsule), sharing their memory."},
        {"__arrow_c_stream__", as_method(&arrow_c_stream<Record>), METH_FASTCALL | METH_KEYWORDS,
         "The columns as an Arrow stream of one batch, in a PyCapsule, sharing their memory."},
        {"to_numpy", as_method(&columns_to_numpy), METH_FASTCALL | METH_KEYWORDS,
         "to_numpy(*, structured=False): a dict of NumPy arrays over the columns' memory (no copy), or with\n"
         "structured=True one structured array holding a copy."},
        {"to_pandas", as_method(&columns_to_pandas), METH_NOARGS, "to_pandas(): a pandas DataFrame of the columns."},
    }};
    std::copy(own.begin(), own.end(), methods.begin() + 5);
    methods.back() = PyMethodDef{nullptr, nullptr, 0, nullptr};
    return methods;
}

std::array kMethods = table_methods<FrameColumnsRecord>(std::array{
    PyMethodDef{"__reduce__", as_method(&reduce_columns), METH_NOARGS,
                "Pickles the columns as their mode, seed and values."},
    PyMethodDef{"with_time", as_method(&with_time_view), METH_NOARGS,
                "with_time(): the same columns, sharing their memory, with `time` first among the names and Arrow "
                "columns."},
});

std::array kKeyPressesMethods = table_methods<KeyPressesRecord>(std::array{
    PyMethodDef{"key_names", as_method(&key_names), METH_NOARGS,
                "key_names(): each row's key by its member name (\"K1\"), as a list."},
});

PyGetSetDef kGetSet[] = {
    {"mode", &get_mode, nullptr, "The play mode (a GameMode).", nullptr},
    {"rng_seed", &get_rng_seed, nullptr, "The play's random seed, or None.", nullptr},
    {"names", &get_names<FrameColumnsRecord>, nullptr,
     "The column names, in the order of the frame record's fields (after `time` in with_time()).", nullptr},
    {"time", &get_field<FrameColumnsRecord>, nullptr,
     "Milliseconds since the start of the play: the running sum of time_delta (int64).", const_cast<char*>("time")},
    {"time_delta", &get_field<FrameColumnsRecord>, nullptr, "Milliseconds since the previous frame (int64).",
     const_cast<char*>("time_delta")},
    {"x", &get_field<FrameColumnsRecord>, nullptr, "x: float64, or int64 in the drum mode.", const_cast<char*>("x")},
    {"y", &get_field<FrameColumnsRecord>, nullptr, "y: float64 (cursor mode only).", const_cast<char*>("y")},
    {"keys", &get_field<FrameColumnsRecord>, nullptr, "The key set's 32-bit pattern (int32).",
     const_cast<char*>("keys")},
    {"dashing", &get_field<FrameColumnsRecord>, nullptr, "Dashing (bool, catch mode only).",
     const_cast<char*>("dashing")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot kFrameColumnsSlots[] = {
    {Py_mp_subscript, reinterpret_cast<void*>(&get_item<FrameColumnsRecord>)},
    {Py_mp_length, reinterpret_cast<void*>(&length<FrameColumnsRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr)},
    {Py_tp_methods, kMethods.data()},
    {Py_tp_doc, const_cast<char*>("The frames of one play as columns, one typed read-only buffer per field.")},
};

PyObject* get_press_mode(PyObject* self, void*) noexcept {
    return guarded([&] { return Converter<GameMode>::to_py(columns_of<KeyPressesRecord>(self).mode()); },
                   static_cast<PyObject*>(nullptr));
}

// "M1=1,M2=2,..." as it travels in the schema.
PyObject* get_key_bits(PyObject* self, void*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const std::span<const MetadataEntry> metadata = columns_of<KeyPressesRecord>(self).metadata();
            const String& names = metadata.front().second;
            return checked(PyUnicode_FromStringAndSize(names.data(), static_cast<Py_ssize_t>(names.size())));
        },
        static_cast<PyObject*>(nullptr));
}

PyGetSetDef kKeyPressesGetSet[] = {
    {"mode", &get_press_mode, nullptr, "The play mode (a GameMode).", nullptr},
    {"names", &get_names<KeyPressesRecord>, nullptr, "The column names.", nullptr},
    {"key_bits", &get_key_bits, nullptr, "The mode's keys as 'name=bit,...' (the schema's kadenzo.keys).", nullptr},
    {"key", &get_field<KeyPressesRecord>, nullptr, "The pressed key's bit (int32).", const_cast<char*>("key")},
    {"press_time", &get_field<KeyPressesRecord>, nullptr, "Time of the pressing frame (int64 ms).",
     const_cast<char*>("press_time")},
    {"release_time", &get_field<KeyPressesRecord>, nullptr,
     "Time of the first frame without the key, or of the last frame (int64 ms).", const_cast<char*>("release_time")},
    {"duration", &get_field<KeyPressesRecord>, nullptr, "release_time - press_time (int64 ms).",
     const_cast<char*>("duration")},
    {"frame", &get_field<KeyPressesRecord>, nullptr, "Index of the pressing frame (int64).",
     const_cast<char*>("frame")},
    {"held_to_end", &get_field<KeyPressesRecord>, nullptr, "The key was still held by the last frame (bool).",
     const_cast<char*>("held_to_end")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot kKeyPressesSlots[] = {
    {Py_mp_subscript, reinterpret_cast<void*>(&get_item<KeyPressesRecord>)},
    {Py_mp_length, reinterpret_cast<void*>(&length<KeyPressesRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(&key_presses_repr)},
    {Py_tp_methods, kKeyPressesMethods.data()},
    {Py_tp_doc, const_cast<char*>("The key presses of one play, one row per press, as typed read-only buffers.")},
};

// --- module functions ------------------------------------------------------------

// The Replay argument, read in place: its record is never copied.
Instance<Replay>* replay_argument(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    Bound<1> slots{};
    if (!bind_vector(signature, args, positional_count_of(nargs), kwnames, slots)) {
        return nullptr;
    }
    if (!is_instance<Replay>(slots[0])) {
        raise_type_mismatch(slots[0], "Replay");
        reword_argument_error(signature.parameters[0]);
        return nullptr;
    }
    return as_instance<Replay>(slots[0]);
}

constexpr std::array<const char*, 1> kReplayParameter{"replay"};
constexpr Signature kFrameColumns{nullptr, "frame_columns", kReplayParameter, 1};
constexpr Signature kFrameCount{nullptr, "frame_count", kReplayParameter, 1};

PyObject* frame_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            Instance<Replay>* replay = replay_argument(kFrameColumns, args, nargs, kwnames);
            if (replay == nullptr) return nullptr;
            SharedBorrow borrow(replay->borrow);
            if (!borrow.held()) return nullptr;
            return make_frame_columns(FrameColumns::of(replay->record));
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* frame_count_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            Instance<Replay>* replay = replay_argument(kFrameCount, args, nargs, kwnames);
            if (replay == nullptr) return nullptr;
            SharedBorrow borrow(replay->borrow);
            if (!borrow.held()) return nullptr;
            const std::optional<std::size_t> count = frame_count(replay->record.replay_data, replay->record.mode);
            if (!count) Py_RETURN_NONE;
            return checked(PyLong_FromSize_t(*count));
        },
        static_cast<PyObject*>(nullptr));
}

constexpr std::array<const char*, 4> kRebuildParameters{"mode", "rng_seed", "length", "values"};
constexpr Signature kRebuild{nullptr, kRebuildName, kRebuildParameters, 4};

// _frame_columns_from_values(mode, rng_seed, length, values): what __reduce__ gave, back as columns.
PyObject* frame_columns_from_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(
        kRebuild, args, nargs, kwnames,
        std::tuple{std::int64_t{0}, std::optional<std::int32_t>{}, std::int64_t{0}, Borrowed{}},
        [](std::int64_t mode, std::optional<std::int32_t> rng_seed, std::int64_t length, Borrowed values) -> PyObject* {
            if (mode < 0 || mode > static_cast<std::int64_t>(GameMode::UNKNOWN) || length < 0 ||
                !PyTuple_Check(values.object)) {
                PyErr_SetString(PyExc_ValueError, "not the pickled values of frame columns");
                return nullptr;
            }
            const Py_ssize_t count = PyTuple_GET_SIZE(values.object);
            Vec<std::span<const std::uint8_t>> views;
            for (Py_ssize_t index = 0; index < count; ++index) {
                PyObject* item = PyTuple_GET_ITEM(values.object, index);
                if (!PyBytes_Check(item)) {
                    PyErr_SetString(PyExc_ValueError, "not the pickled values of frame columns");
                    return nullptr;
                }
                views.emplace_back(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(item)),
                                   static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
            }
            std::optional<FrameColumns> columns =
                FrameColumns::from_values(static_cast<GameMode>(mode), rng_seed, static_cast<std::size_t>(length),
                                          std::span<const std::span<const std::uint8_t>>(views.data(), views.size()));
            if (!columns) {
                PyErr_SetString(PyExc_ValueError, "not the pickled values of frame columns");
                return nullptr;
            }
            return make_frame_columns(std::move(*columns));
        });
}

constexpr std::array<const char*, 1> kColumnsParameter{"columns"};
constexpr Signature kKeyPresses{nullptr, "key_presses", kColumnsParameter, 1};

// key_presses(columns): found without the lock, which the shared columns do not need.
// Not noexcept: the lock is released meanwhile (see guarded).
PyObject* key_presses(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(
        [&]() -> PyObject* {
            Bound<1> slots{};
            if (!bind_vector(kKeyPresses, args, positional_count_of(nargs), kwnames, slots)) return nullptr;
            if (!is_instance<FrameColumnsRecord>(slots[0])) {
                raise_type_mismatch(slots[0], "FrameColumns");
                reword_argument_error(kKeyPresses.parameters[0]);
                return nullptr;
            }
            const SharedFrameColumns frames = as_instance<FrameColumnsRecord>(slots[0])->record.columns;
            std::optional<FrameColumns> presses = without_interpreter_lock([&] { return key_press_table(*frames); });
            if (!presses) {
                if (frames->time() == nullptr) return raise_no_time(*frames);
                PyErr_SetString(PyExc_OverflowError, "a press lasts longer than 64 bits of milliseconds");
                return nullptr;
            }
            return make_object(KeyPressesRecord{share(std::move(*presses))});
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef kFunctions[] = {
    {kRebuildName, as_method(&frame_columns_from_values), METH_FASTCALL | METH_KEYWORDS,
     "_frame_columns_from_values(mode, rng_seed, length, values): rebuilds pickled FrameColumns."},
    {"key_presses", as_method(&key_presses), METH_FASTCALL | METH_KEYWORDS,
     "key_presses(columns): the presses of a FrameColumns as a KeyPresses table."},
    {"frame_columns", as_method(&frame_columns), METH_FASTCALL | METH_KEYWORDS,
     "frame_columns(replay): the frames of the replay's mode as a FrameColumns."},
    {"frame_count", as_method(&frame_count_of), METH_FASTCALL | METH_KEYWORDS,
     "frame_count(replay): the number of frames of the replay's mode, or None after a header-only decode."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* class_of(std::type_identity<FrameColumnsRecord>) {
    static const ClassSpec spec =
        class_spec<FrameColumnsRecord>("FrameColumns", "kadenzo._native.FrameColumns", kFrameColumnsSlots, kGetSet);
    static ClassSlot slot;
    return slot.get(spec);
}

PyTypeObject* class_of(std::type_identity<KeyPressesRecord>) {
    static const ClassSpec spec =
        class_spec<KeyPressesRecord>("KeyPresses", "kadenzo._native.KeyPresses", kKeyPressesSlots, kKeyPressesGetSet);
    static ClassSlot slot;
    return slot.get(spec);
}

PyTypeObject* class_of(std::type_identity<ColumnBufferRecord>) {
    static const ClassSpec spec =
        class_spec<ColumnBufferRecord>("ColumnBuffer", "kadenzo._native.ColumnBuffer", kColumnBufferSlots, nullptr);
    static ClassSlot slot;
    return slot.get(spec);
}

PyObject* make_frame_columns(FrameColumns columns) {
    return make_object(FrameColumnsRecord{share(std::move(columns))});
}

bool add_frame_columns(PyObject* native) {
    return guarded(
        [&] {
            PyObject* type = reinterpret_cast<PyObject*>(type_of<FrameColumnsRecord>());
            PyObject* presses = reinterpret_cast<PyObject*>(type_of<KeyPressesRecord>());
            return PyModule_AddObjectRef(native, "FrameColumns", type) == 0 &&
                   PyModule_AddObjectRef(native, "KeyPresses", presses) == 0 &&
                   PyModule_AddFunctions(native, kFunctions) == 0;
        },
        false);
}

}  // namespace kz::py
