// Frames from Python for the writer: records, FrameColumns or buffers.
#include "python/writer/py_frame_input.hpp"

#include <string_view>

#include "python/binding/py_convert.hpp"
#include "python/binding/py_unlocked.hpp"
#include "python/columns/py_frame_columns.hpp"

namespace kz::py {
namespace {

// Each mode's field names, in the order of its frame record and its columns.
std::span<const std::string_view> field_names(GameMode mode) noexcept {
    static constexpr std::string_view kStd[] = {"time_delta", "x", "y", "keys"};
    static constexpr std::string_view kTaiko[] = {"time_delta", "x", "keys"};
    static constexpr std::string_view kCatch[] = {"time_delta", "x", "dashing"};
    static constexpr std::string_view kMania[] = {"time_delta", "keys"};
    switch (mode) {
        case GameMode::TAIKO: return kTaiko;
        case GameMode::CTB: return kCatch;
        case GameMode::MANIA: return kMania;
        case GameMode::STD:
        case GameMode::UNKNOWN: break;
    }
    return kStd;
}

// Whether the field takes reals (a float column); the others take integers.
bool real_field(GameMode mode, std::string_view name) noexcept {
    return (name == "x" && mode != GameMode::TAIKO) || name == "y";
}

ValueFormat from_column_type(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::Int64: return ValueFormat::I64;
        case ColumnType::Float64: return ValueFormat::F64;
        case ColumnType::Int32: return ValueFormat::I32;
        case ColumnType::Bool: return ValueFormat::Bool;
    }
    return ValueFormat::I64;
}

// The element type of a buffer format in native byte order ("q", "<d", "=i",
// "?"), or none for anything else (other byte orders, structures, complex).
std::optional<ValueFormat> value_format(const char* format, Py_ssize_t itemsize) noexcept {
    std::string_view text = format == nullptr ? "B" : format;
    if (!text.empty() && (text[0] == '@' || text[0] == '=' || text[0] == '<')) text.remove_prefix(1);
    if (text.size() != 1) return std::nullopt;
    const char code = text[0];
    if (code == '?') return ValueFormat::Bool;
    if (code == 'f' && itemsize == 4) return ValueFormat::F32;
    if (code == 'd' && itemsize == 8) return ValueFormat::F64;
    constexpr std::string_view kSigned = "bhilq";
    constexpr std::string_view kUnsigned = "BHILQ";
    const bool is_signed = kSigned.find(code) != std::string_view::npos;
    if (!is_signed && kUnsigned.find(code) == std::string_view::npos) return std::nullopt;
    switch (itemsize) {
        case 1: return is_signed ? ValueFormat::I8 : ValueFormat::U8;
        case 2: return is_signed ? ValueFormat::I16 : ValueFormat::U16;
        case 4: return is_signed ? ValueFormat::I32 : ValueFormat::U32;
        case 8: return is_signed ? ValueFormat::I64 : ValueFormat::U64;
        default: return std::nullopt;
    }
}

}  // namespace

FrameInput::~FrameInput() {
    // A thread ended while the interpreter shuts down unwinds through here
    // without the lock: the exports are then left to the ending process.
    if (held_buffers_ != 0 && !holds_interpreter_lock()) return;
    for (std::size_t index = 0; index < held_buffers_; ++index) PyBuffer_Release(&buffers_[index]);
}

bool FrameInput::load(PyObject* frames, GameMode mode) {
    source_.mode = mode;
    if (is_instance<FrameColumnsRecord>(frames)) return load_columns(frames, mode);
    if (PyDict_Check(frames) || (!PySequence_Check(frames) && PyObject_HasAttrString(frames, "keys"))) {
        return load_mapping(frames, mode);
    }
    switch (mode) {
        case GameMode::TAIKO: return load_sequence<ReplayEventTaiko>(frames, mode);
        case GameMode::CTB: return load_sequence<ReplayEventCatch>(frames, mode);
        case GameMode::MANIA: return load_sequence<ReplayEventMania>(frames, mode);
        case GameMode::STD: return load_sequence<ReplayEventKivo>(frames, mode);
        case GameMode::UNKNOWN: break;
    }
    PyErr_SetString(PyExc_ValueError, "mode must be one of STD, TAIKO, CTB, MANIA");
    return false;
}

template <class Frame>
bool FrameInput::load_sequence(PyObject* sequence, GameMode mode) {
    Vec<Frame> frames;
    if (!Converter<Vec<Frame>>::from_py(sequence, frames)) return false;
    const Vec<Frame>& kept = records_.template emplace<Vec<Frame>>(std::move(frames));
    source_ = FrameSource{mode, std::span<const Frame>(kept.data(), kept.size())};
    return true;
}

bool FrameInput::load_columns(PyObject* object, GameMode mode) {
    columns_ = as_instance<FrameColumnsRecord>(object)->record.columns;
    if (columns_->mode() != mode) {
        PyErr_Format(PyExc_ValueError, "the columns are of mode %s, the replay of mode %s",
                     game_mode_name(columns_->mode()).data(), game_mode_name(mode).data());
        return false;
    }
    FrameColumnsView view;
    view.length = columns_->length();
    std::size_t index = 0;
    for (const Column& column : columns_->columns()) {
        view.fields[index++] =
            ColumnView{static_cast<const std::byte*>(column.values.data()),
                       static_cast<std::ptrdiff_t>(column_value_bytes(column.type)), from_column_type(column.type)};
    }
    source_ = FrameSource{mode, view};
    return true;
}

bool FrameInput::load_mapping(PyObject* mapping, GameMode mode) {
    if (mode == GameMode::UNKNOWN) {
        PyErr_SetString(PyExc_ValueError, "mode must be one of STD, TAIKO, CTB, MANIA");
        return false;
    }
    const std::span<const std::string_view> names = field_names(mode);
    const Py_ssize_t given = PyObject_Length(mapping);
    if (given < 0) return false;
    if (static_cast<std::size_t>(given) != names.size()) {
        PyErr_Format(PyExc_ValueError, "columns of mode %s are exactly %zu: time_delta and the fields of its frames",
                     game_mode_name(mode).data(), names.size());
        return false;
    }
    FrameColumnsView view;
    for (std::size_t index = 0; index < names.size(); ++index) {
        const std::string_view name = names[index];
        Ref key = Ref::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!key) return false;
        Ref column = Ref::steal(PyObject_GetItem(mapping, key.get()));
        if (!column) {
            if (PyErr_ExceptionMatches(PyExc_KeyError)) {
                PyErr_Format(PyExc_ValueError, "no column '%s' among the columns of mode %s", name.data(),
                             game_mode_name(mode).data());
            }
            return false;
        }
        Py_buffer& buffer = buffers_[index];
        if (PyObject_GetBuffer(column.get(), &buffer, PyBUF_RECORDS_RO) < 0) {
            PyErr_Format(PyExc_TypeError, "column '%s' must be a one-dimensional buffer (a NumPy array or memoryview)",
                         name.data());
            return false;
        }
        ++held_buffers_;
        const std::optional<ValueFormat> format = value_format(buffer.format, buffer.itemsize);
        const bool fits = format && (real_field(mode, name) || !is_real_format(*format));
        if (buffer.ndim != 1 || !fits) {
            PyErr_Format(PyExc_TypeError, "column '%s' must be one-dimensional with %s values, not format '%s'",
                         name.data(), real_field(mode, name) ? "numeric" : "integer",
                         buffer.format == nullptr ? "B" : buffer.format);
            return false;
        }
        const auto length = static_cast<std::size_t>(buffer.shape[0]);
        if (index == 0) view.length = length;
        if (length != view.length) {
            PyErr_Format(PyExc_ValueError, "column '%s' holds %zu values, column 'time_delta' %zu", name.data(), length,
                         view.length);
            return false;
        }
        view.fields[index] = ColumnView{static_cast<const std::byte*>(buffer.buf), buffer.strides[0], *format};
    }
    source_ = FrameSource{mode, view};
    return true;
}

}  // namespace kz::py
