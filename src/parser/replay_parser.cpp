// The replay file layout, decoded in one forward pass.
#include "parser/replay_parser.hpp"

#include "common/stop.hpp"
#include "parser/byte_reader.hpp"
#include "parser/decode_notes.hpp"
#include "parser/frame_block.hpp"
#include "parser/life_bar.hpp"

namespace kz {

// Older files end with a 4-byte id, so 0xFFFFFFFF reads as 2^64 - 1.
Result<std::uint64_t> parse_replay_id(ByteView input, ByteOrder order) noexcept {
    if (input.size() >= 8) return parse_u64(input, order);
    auto narrow = parse_i32(input, order);
    if (!narrow) return narrow.error();
    const auto widened = static_cast<std::int64_t>(narrow.value());
    return Result<std::uint64_t>(static_cast<std::uint64_t>(widened), narrow.rest());
}

Result<Replay> parse_replay_header(ByteView input, ByteOrder order) {
    Replay replay;
    ByteView rest = input;
    note_input(input);

    note_field("mode", rest);
    KZ_TRY(mode_byte, rest, parse_u8(rest));
    note_field("game_version", rest);
    KZ_TRY(game_version, rest, parse_u32(rest, order));
    replay.game_version = static_cast<std::int32_t>(game_version);
    note_field("beatmap_hash", rest);
    KZ_TRY(beatmap_hash, rest, parse_string(rest, "beatmap_hash"));
    replay.beatmap_hash = std::move(beatmap_hash);
    note_field("username", rest);
    KZ_TRY(username, rest, parse_string(rest, "username"));
    replay.username = std::move(username);
    note_field("replay_hash", rest);
    KZ_TRY(replay_hash, rest, parse_string(rest, "replay_hash"));
    replay.replay_hash = std::move(replay_hash);

    std::int16_t* const counts[] = {&replay.count_300,  &replay.count_100,  &replay.count_50,
                                    &replay.count_geki, &replay.count_katu, &replay.count_miss};
    const char* const count_names[] = {"count_300", "count_100", "count_50", "count_geki", "count_katu", "count_miss"};
    for (std::size_t index = 0; index < 6; ++index) {
        std::int16_t* const count = counts[index];
        note_field(count_names[index], rest);
        KZ_TRY(value, rest, parse_u16(rest, order));
        *count = static_cast<std::int16_t>(value);
    }
    note_field("score", rest);
    KZ_TRY(score, rest, parse_u32(rest, order));
    replay.score = static_cast<std::int32_t>(score);
    note_field("max_combo", rest);
    KZ_TRY(max_combo, rest, parse_u16(rest, order));
    replay.max_combo = static_cast<std::int16_t>(max_combo);
    note_field("perfect", rest);
    KZ_TRY(perfect, rest, parse_u8(rest));
    replay.perfect = perfect == 1;
    note_field("mods", rest);
    KZ_TRY(mods, rest, parse_u32(rest, order));
    replay.mods = Mod{mods};

    note_field("life_bar_graph", rest);
    KZ_TRY(life_bar_graph, rest, parse_life_bar_graph(rest));
    replay.life_bar_graph = std::move(life_bar_graph);
    note_field("timestamp", rest);
    KZ_TRY(timestamp, rest, parse_u64(rest, order));
    replay.timestamp = static_cast<std::int64_t>(timestamp);

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
