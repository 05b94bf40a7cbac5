// The replay file layout, decoded in one forward pass.
#include "parser/replay_parser.hpp"

#include "common/stop.hpp"
#include "parser/byte_reader.hpp"
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

    KZ_TRY(mode_byte, rest, parse_u8(rest));
    KZ_TRY(game_version, rest, parse_u32(rest, order));
    replay.game_version = static_cast<std::int32_t>(game_version);
    KZ_TRY(beatmap_hash, rest, parse_string(rest, "beatmap_hash"));
    replay.beatmap_hash = std::move(beatmap_hash);
    KZ_TRY(username, rest, parse_string(rest, "username"));
    replay.username = std::move(username);
    KZ_TRY(replay_hash, rest, parse_string(rest, "replay_hash"));
    replay.replay_hash = std::move(replay_hash);

    std::int16_t* const counts[] = {&replay.count_300,  &replay.count_100,  &replay.count_50,
                                    &replay.count_geki, &replay.count_katu, &replay.count_miss};
    for (std::int16_t* count : counts) {
        KZ_TRY(value, rest, parse_u16(rest, order));
        *count = static_cast<std::int16_t>(value);
    }
    KZ_TRY(score, rest, parse_u32(rest, order));
    replay.score = static_cast<std::int32_t>(score);
    KZ_TRY(max_combo, rest, parse_u16(rest, order));
    replay.max_combo = static_cast<std::int16_t>(max_combo);
    KZ_TRY(perfect, rest, parse_u8(rest));
    replay.perfect = perfect == 1;
    KZ_TRY(mods, rest, parse_u32(rest, order));
    replay.mods = Mod{mods};

    KZ_TRY(life_bar_graph, rest, parse_life_bar_graph(rest));
    replay.life_bar_graph = std::move(life_bar_graph);
    KZ_TRY(timestamp, rest, parse_u64(rest, order));
    replay.timestamp = static_cast<std::int64_t>(timestamp);

    // A bad mode byte is reported only once the header through the time
    // stamp is known to be there; a shorter file reports what is missing.
    if (mode_byte > 3) stop("Unknown GameMode");
    replay.mode = game_mode_from_byte(mode_byte);
    return Result<Replay>(std::move(replay), rest);
}

Result<Replay> parse_replay(ByteView input, ByteOrder order, bool header_only) {
    ByteView rest = input;
    KZ_TRY(replay, rest, parse_replay_header(rest, order));
    auto block = parse_frame_block(rest, order, header_only, replay.mode);
    if (!block) return block.error();
    rest = block.rest();
    replay.replay_data = std::move(block.value().data);
    replay.rng_seed = block.value().rng_seed;

    KZ_TRY(replay_id, rest, parse_replay_id(rest, order));
    replay.replay_id = replay_id;
    return Result<Replay>(std::move(replay), rest);
}

}  // namespace kz
