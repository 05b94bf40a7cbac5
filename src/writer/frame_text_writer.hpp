// Frame records or columns as the frame text the reader reads: one item per
// frame, "time_delta|field1|field2|field3,", then the seed item. Written in
// chunks to a sink, so a compressor never needs the whole text at once.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "game_mode/game_mode.hpp"
#include "replay/replay_record.hpp"
#include "writer/column_view.hpp"
#include "failure/encode_error.hpp"

namespace kz {

// The frames of one mode as columns in the mode's field order (time_delta
// first; see the frame records), `length` values each.
struct FrameColumnsView {
    std::size_t length = 0;
    std::array<ColumnView, 4> fields{};
};

// The frames to write: the records of one mode, or the columns of `mode`.
struct FrameSource {
    GameMode mode = GameMode::STD;
    std::variant<std::span<const ReplayEventKivo>, std::span<const ReplayEventTaiko>, std::span<const ReplayEventCatch>,
                 std::span<const ReplayEventMania>, FrameColumnsView>
        rows;

    std::size_t size() const noexcept;
};

// Takes the text chunk by chunk; an error ends the writing.
class TextSink {
public:
    virtual std::optional<EncodeError> take(std::string_view chunk) = 0;

protected:
    ~TextSink() = default;
};

// The field 2 the game writes in drum and catch frames: a constant no reader keeps.
inline constexpr std::string_view kUnusedFieldText = "9999";
// Field 2 of key-mode frames holds a per-play decimal that no record keeps;
// 0 is written, which carries nothing and reads as a number everywhere.
inline constexpr std::string_view kKeyModeField2Text = "0";
// Field 3 of key-mode frames.
inline constexpr std::string_view kKeyModeField3Text = "0";

// Writes the text of `frames` and, when given, the seed item last. Refuses,
// before writing anything, what the reader refuses: no item at all, or more
// frames than its cap; and stops at the reader's text limit. A last frame
// that the reader would take for the seed item (time delta -12345) while no
// seed is given gets an empty item after it, which keeps it a frame.
std::optional<EncodeError> write_frame_text(const FrameSource& frames, std::optional<std::int32_t> seed,
                                            TextSink& sink);

// The whole text in memory.
std::variant<Bytes, EncodeError> frame_text_bytes(const FrameSource& frames, std::optional<std::int32_t> seed);

}  // namespace kz
