// decode_block: a frame block alone (raw bytes or base64 text) decoded and,
// when asked, turned into columns, all without the interpreter lock.
#include "python/block_alone/py_frames.hpp"

#include <array>
#include <optional>
#include <variant>

#include "python/binding/py_arguments.hpp"
#include "python/binding/py_held_buffer.hpp"
#include "python/binding/py_unlocked.hpp"
#include "bulk/decode_outcome.hpp"
#include "python/bulk/py_path_stream.hpp"
#include "python/columns/py_frame_columns.hpp"
#include "block_alone/block_decode.hpp"

namespace kz::py {
namespace {

using ColumnsOrFailure = std::variant<FrameColumns, Failure>;

// The block's frames as columns, made on the decoding thread.
ColumnsOrFailure to_columns(BlockOutcome&& outcome, GameMode mode) noexcept {
    if (Failure* failure = std::get_if<Failure>(&outcome)) return std::move(*failure);
    const FrameBlock& block = std::get<FrameBlock>(outcome);
    try {
        return FrameColumns::of(block.data, mode, block.rng_seed);
    } catch (...) {
        return failure_of_current_exception();
    }
}

// (ReplayDataContainer, rng_seed) or FrameColumns, paired with None; or (None, failure record).
template <class Outcome>
PyObject* result_pair(Outcome&& outcome) {
    if (const Failure* failure = std::get_if<Failure>(&outcome)) {
        Ref record = Ref::steal(failure_record(*failure));
        return checked(PyTuple_Pack(2, Py_None, record.get()));
    }
    Ref value;
    if constexpr (std::is_same_v<std::remove_cvref_t<Outcome>, ColumnsOrFailure>) {
        value = Ref::steal(make_frame_columns(std::move(std::get<FrameColumns>(outcome))));
    } else {
        FrameBlock& block = std::get<FrameBlock>(outcome);
        Ref seed = Ref::steal(Converter<std::optional<std::int32_t>>::to_py(block.rng_seed));
        Ref data = Ref::steal(make_object(std::move(block.data)));
        value = Ref::steal(checked(PyTuple_Pack(2, data.get(), seed.get())));
    }
    return checked(PyTuple_Pack(2, value.get(), Py_None));
}

constexpr std::array<const char*, 4> kParameters{"block", "mode", "base64", "columns"};
constexpr Signature kSignature{nullptr, "decode_block", kParameters, 4};

// decode_block(block, mode, base64, columns): `block` is a str (base64 text)
// or bytes-like (raw, or base64 text with base64=True); `mode` is 0 to 3.
// Not noexcept: the lock is released while it decodes (see guarded).
PyObject* decode_block(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(
        kSignature, args, nargs, kwnames, std::tuple{Borrowed{}, std::int64_t{0}, false, false},
        [](Borrowed source, std::int64_t mode_number, bool base64, bool columns) -> PyObject* {
            if (mode_number < 0 || mode_number > 3) {
                PyErr_Format(PyExc_ValueError, "mode must be 0 to 3, not %lld", static_cast<long long>(mode_number));
                return nullptr;
            }
            const GameMode mode = game_mode_from_byte(static_cast<std::uint8_t>(mode_number));
            ByteView bytes;
            HeldBuffer buffer;
            if (PyUnicode_Check(source.object)) {
                Py_ssize_t size = 0;
                // The str's own UTF-8 form lives as long as the str, which the caller holds.
                const char* text = PyUnicode_AsUTF8AndSize(source.object, &size);
                if (text == nullptr) return nullptr;
                bytes = ByteView(reinterpret_cast<const std::uint8_t*>(text), static_cast<std::size_t>(size));
                base64 = true;
            } else {
                if (!buffer.acquire(source.object)) return nullptr;
                bytes = buffer.bytes();
            }
            const auto decode = [&]() noexcept {
                if (!base64) return decode_block_outcome(bytes, mode);
                const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
                return decode_base64_block_outcome(text, mode);
            };
            if (columns) return result_pair(without_interpreter_lock([&] { return to_columns(decode(), mode); }));
            return result_pair(without_interpreter_lock(decode));
        });
}

PyMethodDef kFunctions[] = {
    {"decode_block", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&decode_block)),
     METH_FASTCALL | METH_KEYWORDS, "Decodes a frame block alone without the lock."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_frames(PyObject* native) { return PyModule_AddFunctions(native, kFunctions) == 0; }

}  // namespace kz::py
