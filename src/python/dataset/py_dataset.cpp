// The tables of kadenzo.dataset built natively: the Python side gathers each
// batch's decoded files in input order, this part writes the Arrow arrays
// without the interpreter lock and hands them over as PyCapsules.
#include "python/dataset/py_dataset.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <tuple>

#include "python/binding/py_arguments.hpp"
#include "python/binding/py_borrow.hpp"
#include "python/binding/py_class.hpp"
#include "python/binding/py_convert.hpp"
#include "python/binding/py_ref.hpp"
#include "python/binding/py_unlocked.hpp"
#include "python/columns/py_arrow_capsules.hpp"
#include "python/columns/py_frame_columns.hpp"
#include "dataset/batch_assembly.hpp"
#include "dataset/table_fields.hpp"

namespace kz::py {
namespace {

// The fields of `frames`' table named by `columns` (a tuple of str), or all
// of them for None. Null with the exception set for a name not in the table.
std::optional<Vec<TableField>> fields_of(bool frames, PyObject* columns) {
    const TableKind kind = frames ? TableKind::Frames : TableKind::Summary;
    if (columns == Py_None) {
        const std::span<const TableField> all = table_fields(kind);
        return Vec<TableField>(all.begin(), all.end());
    }
    if (!PyTuple_Check(columns)) {
        raise_type_mismatch(columns, "tuple");
        return std::nullopt;
    }
    Vec<std::string_view> names;
    for (Py_ssize_t at = 0; at < PyTuple_GET_SIZE(columns); ++at) {
        PyObject* name = PyTuple_GET_ITEM(columns, at);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        if (text == nullptr) {
            if (!PyErr_Occurred()) raise_type_mismatch(name, "str");
            return std::nullopt;
        }
        names.emplace_back(text, static_cast<std::size_t>(size));
    }
    std::optional<Vec<TableField>> fields = project_fields(kind, names);
    if (!fields) PyErr_SetString(PyExc_ValueError, "columns names a column the table does not have");
    return fields;
}

std::optional<std::string_view> optional_text(PyObject* value, bool& ok) {
    if (value == Py_None) return std::nullopt;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
    if (text == nullptr) {
        if (!PyErr_Occurred()) raise_type_mismatch(value, "str or None");
        ok = false;
        return std::nullopt;
    }
    return std::string_view(text, static_cast<std::size_t>(size));
}

// Shared borrows of the replays read while the lock is released: a writer on
// another thread is refused meanwhile. Released with the lock held again.
class ReplayBorrows {
public:
    ReplayBorrows() = default;
    ReplayBorrows(const ReplayBorrows&) = delete;
    ReplayBorrows& operator=(const ReplayBorrows&) = delete;
    ~ReplayBorrows() {
        for (BorrowFlag* flag : flags_) flag->unshare();
    }
    bool add(BorrowFlag& flag) {
        flags_.reserve(flags_.size() + 1);
        if (!flag.try_share()) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return false;
        }
        flags_.push_back(&flag);
        return true;
    }

private:
    Vec<BorrowFlag*> flags_;
};

// The bits of the summary columns named in `names` (a tuple of str), as FileResult::hidden takes them.
bool hidden_bits(PyObject* names, std::uint64_t& out) {
    if (!PyTuple_Check(names)) {
        raise_type_mismatch(names, "tuple");
        return false;
    }
    const std::optional<Vec<TableField>> fields = fields_of(false, names);
    if (!fields) return false;
    for (const TableField& field : *fields) out |= hidden_bit(TableKind::Summary, field);
    return true;
}

// Reads one entry: (index, name, Replay or None, FrameColumns or None, error
// or None, mods names or None[, the names of the columns hidden]).
bool read_entry(PyObject* entry, FileResult& out, ReplayBorrows& borrows) {
    if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) < 6 || PyTuple_GET_SIZE(entry) > 7) {
        PyErr_SetString(PyExc_TypeError,
                        "a batch entry is a tuple (index, name, replay, columns, error, mods_names[, hidden])");
        return false;
    }
    if (PyTuple_GET_SIZE(entry) == 7 && !hidden_bits(PyTuple_GET_ITEM(entry, 6), out.hidden)) return false;
    PyObject* index = PyTuple_GET_ITEM(entry, 0);
    PyObject* replay = PyTuple_GET_ITEM(entry, 2);
    PyObject* columns = PyTuple_GET_ITEM(entry, 3);
    out.index = PyLong_Check(index) ? PyLong_AsLongLong(index) : -1;
    if (PyErr_Occurred() || !PyLong_Check(index)) {
        if (!PyErr_Occurred()) raise_type_mismatch(index, "int");
        return false;
    }
    bool ok = true;
    out.name = optional_text(PyTuple_GET_ITEM(entry, 1), ok);
    out.error = optional_text(PyTuple_GET_ITEM(entry, 4), ok);
    out.mods_names = optional_text(PyTuple_GET_ITEM(entry, 5), ok);
    if (!ok) return false;
    if (replay != Py_None) {
        if (!is_instance<Replay>(replay)) {
            raise_type_mismatch(replay, "Replay or None");
            return false;
        }
        if (!borrows.add(as_instance<Replay>(replay)->borrow)) return false;
        out.replay = &as_instance<Replay>(replay)->record;
    }
    if (columns != Py_None) {
        if (!is_instance<FrameColumnsRecord>(columns)) {
            raise_type_mismatch(columns, "FrameColumns or None");
            return false;
        }
        out.columns = as_instance<FrameColumnsRecord>(columns)->record.columns;
    }
    return true;
}

constexpr std::array<const char*, 2> kSchemaParameters{"frames", "columns"};
constexpr Signature kSchema{nullptr, "dataset_schema", kSchemaParameters, 2};

// dataset_schema(frames, columns): the table's schema as an "arrow_schema" capsule.
PyObject* dataset_schema(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(
        kSchema, args, nargs, kwnames, std::tuple{false, Borrowed{}}, [](bool frames, Borrowed columns) -> PyObject* {
            const std::optional<Vec<TableField>> fields = fields_of(frames, columns.object);
            if (!fields) return nullptr;
            return capsule_of<ArrowSchema>("arrow_schema", &destroy_schema_capsule,
                                           [&](ArrowSchema* out) { export_table_schema(*fields, out); });
        });
}

// Assembles the batch of `entries` (any sequence of entry tuples) into `out`
// without the interpreter lock. False with the exception set for a bad entry.
template <class Fill>
PyObject* with_batch(bool frames, PyObject* columns, PyObject* entries, Fill&& fill) {
    const std::optional<Vec<TableField>> fields = fields_of(frames, columns);
    if (!fields) return nullptr;
    // A tuple of the entries: nothing they hold can go while the lock is released.
    Ref held = Ref::steal(PySequence_Tuple(entries));
    if (!held) return nullptr;
    ReplayBorrows borrows;
    Vec<FileResult> files(static_cast<std::size_t>(PyTuple_GET_SIZE(held.get())));
    for (std::size_t at = 0; at < files.size(); ++at) {
        if (!read_entry(PyTuple_GET_ITEM(held.get(), static_cast<Py_ssize_t>(at)), files[at], borrows)) {
            return nullptr;
        }
    }
    const TableKind kind = frames ? TableKind::Frames : TableKind::Summary;
    return fill(*fields, [&](ArrowArray* out) {
        without_interpreter_lock([&] {
            assemble_batch(kind, *fields, files, out);
            return 0;
        });
    });
}

constexpr std::array<const char*, 3> kBatchParameters{"frames", "columns", "entries"};
constexpr Signature kBatch{nullptr, "dataset_batch", kBatchParameters, 3};

// dataset_batch(frames, columns, entries): one record batch of the table, as
// an "arrow_array" capsule of a struct array, from a list of entries.
PyObject* dataset_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kBatch, args, nargs, kwnames, std::tuple{false, Borrowed{}, Borrowed{}},
                         [](bool frames, Borrowed columns, Borrowed entries) -> PyObject* {
                             return with_batch(frames, columns.object, entries.object, [](const auto&, auto assemble) {
                                 return capsule_of<ArrowArray>("arrow_array", &destroy_array_capsule, assemble);
                             });
                         });
}

// --- the rows of a batch as Python values, for writers without pyarrow ----------

bool is_valid(const ArrowArray& array, std::size_t at) noexcept {
    const auto* bits = static_cast<const std::uint8_t*>(array.buffers[0]);
    return bits == nullptr || ((bits[at / 8] >> (at % 8)) & 1) != 0;
}

PyObject* text_at(const ArrowArray& array, std::size_t at) noexcept {
    const auto* offsets = static_cast<const std::int32_t*>(array.buffers[1]);
    return PyUnicode_DecodeUTF8(static_cast<const char*>(array.buffers[2]) + offsets[at], offsets[at + 1] - offsets[at],
                                "replace");
}

template <class T>
T number_at(const ArrowArray& array, std::size_t at) noexcept {
    T value;
    std::memcpy(&value, static_cast<const char*>(array.buffers[1]) + at * sizeof(T), sizeof(T));
    return value;
}

// The value at `at` of an array of `format`, one of the tables' own formats
// (nullable; none of them a dictionary: see column_values).
PyObject* value_at(std::string_view format, const ArrowArray& array, std::size_t at) noexcept {
    at += static_cast<std::size_t>(array.offset);
    if (!is_valid(array, at)) return Py_NewRef(Py_None);
    switch (format.empty() ? '\0' : format[0]) {
        case 'c': return PyLong_FromLong(number_at<std::int8_t>(array, at));
        case 's': return PyLong_FromLong(number_at<std::int16_t>(array, at));
        case 'i': return PyLong_FromLong(number_at<std::int32_t>(array, at));
        case 'l':
        case 't': return PyLong_FromLongLong(number_at<std::int64_t>(array, at));  // "tsu:UTC": microseconds
        case 'L': return PyLong_FromUnsignedLongLong(number_at<std::uint64_t>(array, at));
        case 'g': return PyFloat_FromDouble(number_at<double>(array, at));
        case 'b': return PyBool_FromLong((static_cast<const std::uint8_t*>(array.buffers[1])[at / 8] >> (at % 8)) & 1);
        case 'u': return text_at(array, at);
        default:
            PyErr_Format(PyExc_SystemError, "no Python value for the Arrow format %s", format.data());
            return nullptr;
    }
}

// Fills column `column` of every row tuple with the child's values; a
// dictionary's values are made once and shared by the rows that index them.
bool column_values(const TableField& field, const ArrowArray& child, PyObject* rows, Py_ssize_t column) {
    Vec<Ref> dictionary;
    if (field.dictionary_format != nullptr) {
        const ArrowArray& values = *child.dictionary;
        dictionary.reserve(static_cast<std::size_t>(values.length));
        for (std::size_t at = 0; at < static_cast<std::size_t>(values.length); ++at) {
            dictionary.push_back(Ref::steal(value_at(field.dictionary_format, values, at)));
            if (!dictionary.back()) return false;
        }
    }
    for (Py_ssize_t row = 0; row < PyList_GET_SIZE(rows); ++row) {
        PyObject* value = nullptr;
        const auto at = static_cast<std::size_t>(row);
        if (field.dictionary_format == nullptr) {
            value = value_at(field.format, child, at);
        } else if (!is_valid(child, at + static_cast<std::size_t>(child.offset))) {
            value = Py_NewRef(Py_None);
        } else {
            const std::size_t index = at + static_cast<std::size_t>(child.offset);
            const std::int64_t code =
                field.format[0] == 'c' ? number_at<std::int8_t>(child, index) : number_at<std::int32_t>(child, index);
            if (code < 0 || static_cast<std::size_t>(code) >= dictionary.size()) {
                PyErr_SetString(PyExc_SystemError, "a dictionary index past its values");
                return false;
            }
            value = Py_NewRef(dictionary[static_cast<std::size_t>(code)].get());
        }
        if (value == nullptr) return false;
        PyTuple_SET_ITEM(PyList_GET_ITEM(rows, row), column, value);
    }
    return true;
}

constexpr std::array<const char*, 3> kRowsParameters{"frames", "columns", "entries"};
constexpr Signature kRows{nullptr, "dataset_rows", kRowsParameters, 3};

// dataset_rows(frames, columns, entries): the rows dataset_batch would make,
// as a list of tuples of Python values (timestamps as microseconds).
PyObject* dataset_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(
        kRows, args, nargs, kwnames, std::tuple{false, Borrowed{}, Borrowed{}},
        [](bool frames, Borrowed columns, Borrowed entries) -> PyObject* {
            return with_batch(
                frames, columns.object, entries.object, [](const Vec<TableField>& fields, auto assemble) -> PyObject* {
                    ArrowArray batch{};
                    assemble(&batch);
                    struct Release {
                        ArrowArray& array;
                        ~Release() {
                            if (array.release != nullptr) array.release(&array);
                        }
                    } release{batch};
                    Ref rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(batch.length)));
                    if (!rows) return nullptr;
                    const auto width = static_cast<Py_ssize_t>(fields.size());
                    for (Py_ssize_t row = 0; row < PyList_GET_SIZE(rows.get()); ++row) {
                        PyObject* tuple = PyTuple_New(width);
                        if (tuple == nullptr) return nullptr;
                        PyList_SET_ITEM(rows.get(), row, tuple);
                    }
                    for (std::size_t at = 0; at < fields.size(); ++at) {
                        if (!column_values(fields[at], *batch.children[at], rows.get(), static_cast<Py_ssize_t>(at))) {
                            return nullptr;
                        }
                    }
                    return rows.release();
                });
        });
}

// --- a C stream over the batches of a Python iterator ---------------------------

// The stream's state. The iterator yields "arrow_array" capsules of struct
// arrays of `fields`; a consumer may call the stream from any thread, so
// each call takes the interpreter lock.
struct BatchStream {
    Vec<TableField> fields;
    PyObject* batches = nullptr;  // owned
    String last_error;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    try {
        export_table_schema(static_cast<BatchStream*>(stream->private_data)->fields, out);
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

// The message of the pending exception ("ReplayDecodeError: ..."), cleared:
// a C consumer can only report it as text.
void take_error(String& out) {
    PyObject* kind = nullptr;
    PyObject* error = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&kind, &error, &traceback);
    PyErr_NormalizeException(&kind, &error, &traceback);
    Py_XDECREF(kind);
    Py_XDECREF(traceback);
    out = "the batches failed";
    if (error == nullptr) return;
    Ref text = Ref::steal(PyObject_Str(error));
    const char* type = Py_TYPE(error)->tp_name;
    const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    try {
        out = type;
        if (message != nullptr && *message != '\0') {
            out += ": ";
            out += message;
        }
    } catch (...) {}
    // Ctrl-C stays Ctrl-C: the interpreter raises KeyboardInterrupt again
    // once the consumer has reported the stream's error.
    const bool interrupted = PyErr_GivenExceptionMatches(error, PyExc_KeyboardInterrupt) != 0;
    PyErr_Clear();
    Py_DECREF(error);
    if (interrupted) PyErr_SetInterrupt();
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* state = static_cast<BatchStream*>(stream->private_data);
    return with_interpreter_lock([&]() -> int {
        *out = ArrowArray{};  // a released array marks the end of the stream
        if (state->batches == nullptr) return 0;
        Ref capsule = Ref::steal(PyIter_Next(state->batches));
        if (!capsule) {
            if (!PyErr_Occurred()) return 0;
            take_error(state->last_error);
            return EIO;
        }
        auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule.get(), "arrow_array"));
        if (array == nullptr || array->release == nullptr) {
            PyErr_Clear();
            state->last_error = "a batch is not an unreleased arrow_array capsule";
            return EINVAL;
        }
        *out = *array;  // moved out: the capsule no longer releases it
        array->release = nullptr;
        return 0;
    });
}

const char* stream_error(ArrowArrayStream* stream) {
    const auto* state = static_cast<BatchStream*>(stream->private_data);
    return state->last_error.empty() ? nullptr : state->last_error.c_str();
}

void release_stream(ArrowArrayStream* stream) {
    auto* state = static_cast<BatchStream*>(stream->private_data);
    with_interpreter_lock([&] {
        Py_XDECREF(state->batches);
        return 0;
    });
    state->~BatchStream();
    free_bytes(state);
    stream->release = nullptr;
}

constexpr std::array<const char*, 3> kStreamParameters{"frames", "columns", "batches"};
constexpr Signature kStream{nullptr, "dataset_stream", kStreamParameters, 3};

// dataset_stream(frames, columns, batches): an "arrow_array_stream" capsule
// yielding the array capsules of the iterator `batches`.
PyObject* dataset_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kStream, args, nargs, kwnames, std::tuple{false, Borrowed{}, Borrowed{}},
                         [](bool frames, Borrowed columns, Borrowed batches) -> PyObject* {
                             std::optional<Vec<TableField>> fields = fields_of(frames, columns.object);
                             if (!fields) return nullptr;
                             Ref iterator = Ref::steal(PyObject_GetIter(batches.object));
                             if (!iterator) return nullptr;
                             return capsule_of<ArrowArrayStream>(
                                 "arrow_array_stream", &destroy_stream_capsule, [&](ArrowArrayStream* out) {
                                     auto* state = ::new (allocate_bytes(sizeof(BatchStream))) BatchStream{};
                                     state->fields = std::move(*fields);
                                     state->batches = iterator.release();
                                     *out = ArrowArrayStream{};
                                     out->get_schema = &stream_schema;
                                     out->get_next = &stream_next;
                                     out->get_last_error = &stream_error;
                                     out->release = &release_stream;
                                     out->private_data = state;
                                 });
                         });
}

PyMethodDef kFunctions[] = {
    {"dataset_schema", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&dataset_schema)),
     METH_FASTCALL | METH_KEYWORDS, "The schema of a dataset table (its projection to `columns`), as a capsule."},
    {"dataset_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&dataset_batch)),
     METH_FASTCALL | METH_KEYWORDS, "One record batch of a dataset table from decoded entries, as a capsule."},
    {"dataset_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&dataset_rows)),
     METH_FASTCALL | METH_KEYWORDS, "The rows of a dataset table from decoded entries, as tuples of Python values."},
    {"dataset_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&dataset_stream)),
     METH_FASTCALL | METH_KEYWORDS, "A C stream of a dataset table over an iterator of batch capsules."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_dataset(PyObject* native) { return PyModule_AddFunctions(native, kFunctions) == 0; }

}  // namespace kz::py
