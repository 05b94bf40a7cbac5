// kadenzo._native's writer functions. Arguments are converted with the lock
// held; formatting and compressing run without it, asking for pending
// signals between chunks, so threads scale and Ctrl-C stops a long write.
#include "python/writer/py_writer.hpp"

#include <array>

#include "python/binding/py_arguments.hpp"
#include "python/binding/py_unlocked.hpp"
#include "python/writer/py_frame_input.hpp"
#include "writer/replay_writer.hpp"

namespace kz::py {
namespace {

using Encoded = std::variant<Bytes, EncodeError>;

// Runs on the writing thread between chunks, without the lock: takes it back
// just long enough to run the signal handlers (a KeyboardInterrupt stays
// pending for the caller).
class SignalCheck final : public StopCheck {
public:
    bool stop_requested() override {
        return with_interpreter_lock([] { return PyErr_CheckSignals() < 0; });
    }
};

// work(StopCheck*) without the interpreter lock, asking for signals as it goes.
template <class Work>
Encoded unlocked(Work&& work) {
    SignalCheck check;
    return without_interpreter_lock([&] { return work(&check); });
}

// bytes, or null with the matching Python error set.
PyObject* bytes_or_error(Encoded&& encoded) {
    if (Bytes* bytes = std::get_if<Bytes>(&encoded)) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes->data()),
                                         static_cast<Py_ssize_t>(bytes->size()));
    }
    const EncodeError& error = std::get<EncodeError>(encoded);
    if (error.kind == EncodeErrorKind::Interrupted) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    }
    if (error.kind == EncodeErrorKind::Compression && error.value == LZMA_MEM_ERROR) return PyErr_NoMemory();
    const String message = describe(error);
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
}

constexpr std::array<const char*, 2> kReplayParameters{"replay", "frames"};
constexpr Signature kReplaySignature{nullptr, "encode_replay", kReplayParameters, 1};

// encode_replay(replay, frames=None) -> bytes: the whole file; `frames`, when
// given, replaces the replay's own frame lists.
// Not noexcept, as no entry point that releases the lock is (see guarded).
PyObject* encode_replay_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(
        kReplaySignature, args, nargs, kwnames, std::tuple{Replay{}, Borrowed{}},
        [](Replay replay, Borrowed frames) -> PyObject* {
            if (frames.object == nullptr || frames.object == Py_None) {
                auto own = own_frames(replay);
                if (EncodeError* error = std::get_if<EncodeError>(&own)) {
                    return bytes_or_error(*error);
                }
                const FrameSource source = std::get<FrameSource>(own);
                return bytes_or_error(unlocked([&](StopCheck* stop) { return encode_replay(replay, source, stop); }));
            }
            FrameInput input;
            if (!input.load(frames.object, replay.mode)) return nullptr;
            return bytes_or_error(
                unlocked([&](StopCheck* stop) { return encode_replay(replay, input.source(), stop); }));
        });
}

constexpr std::array<const char*, 3> kTextParameters{"frames", "mode", "rng_seed"};
constexpr Signature kTextSignature{nullptr, "encode_frame_text", kTextParameters, 2};
constexpr Signature kBlockSignature{nullptr, "encode_frame_block", kTextParameters, 2};

template <bool kCompressed>
PyObject* encode_frames_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kCompressed ? kBlockSignature : kTextSignature, args, nargs, kwnames,
                         std::tuple{Borrowed{}, GameMode::STD, std::optional<std::int32_t>{}},
                         [](Borrowed frames, GameMode mode, std::optional<std::int32_t> seed) -> PyObject* {
                             FrameInput input;
                             if (!input.load(frames.object, mode)) return nullptr;
                             return bytes_or_error(unlocked([&](StopCheck* stop) -> Encoded {
                                 if constexpr (kCompressed) {
                                     return frame_block_bytes(input.source(), seed, stop);
                                 } else {
                                     return frame_text_bytes(input.source(), seed);
                                 }
                             }));
                         });
}

PyMethodDef kFunctions[] = {
    {"encode_replay", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&encode_replay_function)),
     METH_FASTCALL | METH_KEYWORDS, "The bytes of a whole replay file, made without the lock."},
    {"encode_frame_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&encode_frames_function<false>)),
     METH_FASTCALL | METH_KEYWORDS, "The uncompressed frame text of frames of one mode."},
    {"encode_frame_block", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&encode_frames_function<true>)),
     METH_FASTCALL | METH_KEYWORDS, "The frame text compressed as a replay's frame block."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_writer(PyObject* native) { return PyModule_AddFunctions(native, kFunctions) == 0; }

}  // namespace kz::py
