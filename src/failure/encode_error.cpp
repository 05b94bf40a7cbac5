// Messages of write failures, rendered from their values.
#include "failure/encode_error.hpp"

#include <charconv>

#include "game_mode/game_mode.hpp"

namespace kz {
namespace {

void append_number(String& out, std::uint64_t value) {
    char digits[24];
    char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

std::string_view mode_name(std::uint64_t mode) noexcept {
    return game_mode_name(mode < 4 ? static_cast<GameMode>(mode) : GameMode::UNKNOWN);
}

}  // namespace

String describe(const EncodeError& error) {
    String out;
    switch (error.kind) {
        case EncodeErrorKind::UnknownMode:
            out = "mode must be one of STD, TAIKO, CTB, MANIA (the frames' mode and the replay's alike)";
            break;
        case EncodeErrorKind::MissingFrames:
            out = "the replay holds no frame list of its mode ";
            out += mode_name(error.value);
            out += " (decoded with header_only=True?)";
            break;
        case EncodeErrorKind::OtherModeFrames:
            out = "the replay holds frames of mode ";
            out += mode_name(error.value);
            out += ", not of its own mode; set replay.mode or clear that frame list";
            break;
        case EncodeErrorKind::NoFrames: out = "a frame text needs at least one frame or a seed"; break;
        case EncodeErrorKind::TooManyFrames:
            out = "more than ";
            append_number(out, error.value);
            out += " frames (the seed frame counted): the reader refuses such a text";
            break;
        case EncodeErrorKind::TextTooLong:
            out = "the frame text would exceed ";
            append_number(out, error.value);
            out += " bytes: the reader refuses such a text";
            break;
        case EncodeErrorKind::BlockTooLong:
            out = "the compressed frame block would exceed ";
            append_number(out, error.value);
            out += " bytes";
            break;
        case EncodeErrorKind::FileTooLarge:
            out = "the file would exceed ";
            append_number(out, error.value);
            out += " bytes: the reader refuses such a file";
            break;
        case EncodeErrorKind::InvalidUtf8:
            out = error.field;
            out += " is not valid UTF-8";
            break;
        case EncodeErrorKind::ValueOutOfRange:
            out = "frame ";
            append_number(out, error.index);
            out += ": ";
            out += error.field;
            out += " must be ";
            if (error.field == "dashing") {
                out += "0 or 1";
            } else if (error.field == "keys") {
                out += "a signed 32-bit integer";
            } else if (error.value != 0) {
                out += "a float, or an integer that a double holds exactly";
            } else {
                out += "a signed 64-bit integer";
            }
            break;
        case EncodeErrorKind::Compression:
            out = "liblzma failed with return code ";
            append_number(out, error.value);
            break;
        case EncodeErrorKind::Interrupted: out = "interrupted"; break;
    }
    return out;
}

}  // namespace kz
