// The replay file layout, decoded in one forward pass over the layout table.
#include "parser/replay_parser.hpp"

#include <type_traits>

#include "common/stop.hpp"
#include "layout/field_codec.hpp"
#include "layout/replay_layout.hpp"
#include "parser/byte_reader.hpp"
#include "parser/decode_notes.hpp"
#include "parser/frame_block.hpp"
#include "parser/life_bar.hpp"

namespace kz {
namespace {

// Reads the field at row `I` of the layout from the start of `input`.
template <std::size_t I>
auto read_field(ByteView input) {
    using Row = layout::FieldAt<I>;
    if constexpr (Row::kind == layout::Kind::Text) {
        return layout::Codec<Row::kind>::read(input, Row::spec.name);
    } else {
        return layout::Codec<Row::kind>::read(input);
    }
}

}  // namespace

Result<std::uint64_t> parse_replay_id(ByteView input, ByteOrder) noexcept {
    return layout::Codec<layout::Kind::ReplayId>::read(input);
}

Result<Replay> parse_replay_header(ByteView input, ByteOrder) {
    Replay replay;
    ByteView rest = input;
    note_input(input);
    std::uint8_t mode_byte = 0;
    std::optional<DecodeError> failed;
    layout::for_each_field<layout::kFrameBlockIndex>([&](auto index) {
        using Row = layout::FieldAt<index>;
        if (failed) return;
        note_field(Row::spec.name.data(), rest);
        auto read = read_field<index>(rest);
        if (!read) {
            failed = read.error();
            return;
        }
        rest = read.rest();
        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(replay.*Row::member)>, GameMode>) {
            mode_byte = read.value();
        } else {
            layout::from_wire(replay.*Row::member, std::move(read.value()));
        }
    });
    if (failed) return *failed;

    // A bad mode byte is reported only once the header through the time
    // stamp is known to be there; a shorter file reports what is missing.
    decode_notes().mode_byte = mode_byte;
    if (mode_byte > 3) stop("Unknown GameMode");
    replay.mode = game_mode_from_byte(mode_byte);
    return Result<Replay>(std::move(replay), rest);
}

Result<Replay> parse_replay(ByteView input, ByteOrder order, bool header_only) {
    ByteView rest = input;
    KZ_TRY(replay, rest, parse_replay_header(rest, order));
    note_field("frame block", rest);
    auto block = parse_frame_block(rest, order, header_only, replay.mode);
    if (!block) return block.error();
    rest = block.rest();
    replay.replay_data = std::move(block.value().data);
    replay.rng_seed = block.value().rng_seed;

    note_field("replay_id", rest);
    KZ_TRY(replay_id, rest, parse_replay_id(rest, order));
    replay.replay_id = replay_id;
    return Result<Replay>(std::move(replay), rest);
}

}  // namespace kz
