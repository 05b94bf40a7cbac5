// The single-file entry functions: from bytes, from a path, and a bare frame text.
#include "python/module/py_functions.hpp"

#include <array>

#include "python/binding/py_arguments.hpp"
#include "files/path_check.hpp"
#include "files/replay_file.hpp"
#include "readers/frame_block.hpp"

namespace kz::py {
namespace {

constexpr std::array<const char*, 2> kFromBytesParameters{"data", "header_only"};
constexpr Signature kFromBytes{nullptr, "parse_replay_from_bytes", kFromBytesParameters, 1};

constexpr std::array<const char*, 2> kFromPathParameters{"path", "header_only"};
constexpr Signature kFromPath{nullptr, "parse_replay_from_path", kFromPathParameters, 1};

constexpr std::array<const char*, 2> kDataParameters{"data", "mode"};
constexpr Signature kData{nullptr, "parse_replay_data", kDataParameters, 2};

ByteView as_bytes(std::string_view text) { return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}; }

PyObject* parse_replay_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(kFromBytes, args, nargs, kwnames, std::tuple{BytesView{}, false},
                         [](BytesView data, bool header_only) {
                             // Decoded in place from the bytes object's buffer: no copy of the input.
                             return make_object(decode_replay(as_bytes(data.bytes), header_only));
                         });
}

PyObject* parse_replay_from_path(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(kFromPath, args, nargs, kwnames, std::tuple{String{}, false},
                         [](const String& path, bool header_only) {
                             check_path(path);
                             return make_object(decode_replay_file(path.c_str(), header_only));
                         });
}

PyObject* parse_replay_data(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(kData, args, nargs, kwnames, std::tuple{BytesView{}, GameMode::STD},
                         [](BytesView data, GameMode mode) {
                             // Read in place: the interpreter lock keeps the bytes alive and unchanged.
                             return make_object(decode_frames_for_mode(data.bytes, mode));
                         });
}

}  // namespace

PyMethodDef parse_replay_from_bytes_def = {
    "parse_replay_from_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&parse_replay_from_bytes)),
    METH_FASTCALL | METH_KEYWORDS, ""};
PyMethodDef parse_replay_from_path_def = {
    "parse_replay_from_path", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&parse_replay_from_path)),
    METH_FASTCALL | METH_KEYWORDS, ""};
PyMethodDef parse_replay_data_def = {"parse_replay_data",
                                     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&parse_replay_data)),
                                     METH_FASTCALL | METH_KEYWORDS, ""};

}  // namespace kz::py
