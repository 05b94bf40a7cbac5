// The decoded replay and its frame container, as plain records.
#pragma once

#include <cstdint>
#include <optional>

#include "common/memory.hpp"
#include "common/record_fields.hpp"
#include "common/shared_frames.hpp"
#include "flags/flag_sets.hpp"
#include "game_mode/game_mode.hpp"
#include "life_bar_state/life_bar_state.hpp"
#include "replay_events/frame_records.hpp"

namespace kz {

// One optional frame list per play mode; absent and present-but-empty differ.
// Copies of a container share the frames (see SharedFrames).
struct ReplayDataContainer {
    std::optional<SharedFrames<ReplayEventKivo>> kivo_replay_data;
    std::optional<SharedFrames<ReplayEventTaiko>> taiko_replay_data;
    std::optional<SharedFrames<ReplayEventCatch>> catch_replay_data;
    std::optional<SharedFrames<ReplayEventMania>> mania_replay_data;
};

using OptionalText = std::optional<String>;

struct Replay {
    GameMode mode = GameMode::STD;
    std::int32_t game_version = 0;
    OptionalText beatmap_hash;
    OptionalText username;
    OptionalText replay_hash;
    std::int16_t count_300 = 0;
    std::int16_t count_100 = 0;
    std::int16_t count_50 = 0;
    std::int16_t count_geki = 0;
    std::int16_t count_katu = 0;
    std::int16_t count_miss = 0;
    std::int32_t score = 0;
    std::int16_t max_combo = 0;
    bool perfect = false;
    Mod mods;
    std::optional<Vec<LifeBarState>> life_bar_graph;
    std::int64_t timestamp = 0;
    ReplayDataContainer replay_data;
    std::optional<std::int32_t> rng_seed;
    std::uint64_t replay_id = 0;
};

template <>
struct RecordInfo<ReplayDataContainer> {
    static constexpr std::string_view name = "ReplayDataContainer";
    using fields = FieldList<Field<"kivo_replay_data", &ReplayDataContainer::kivo_replay_data>,
                             Field<"taiko_replay_data", &ReplayDataContainer::taiko_replay_data>,
                             Field<"catch_replay_data", &ReplayDataContainer::catch_replay_data>,
                             Field<"mania_replay_data", &ReplayDataContainer::mania_replay_data>>;
};

template <>
struct RecordInfo<Replay> {
    static constexpr std::string_view name = "Replay";
    using fields = FieldList<Field<"mode", &Replay::mode>, Field<"game_version", &Replay::game_version>,
                             Field<"beatmap_hash", &Replay::beatmap_hash>, Field<"username", &Replay::username>,
                             Field<"replay_hash", &Replay::replay_hash>, Field<"count_300", &Replay::count_300>,
                             Field<"count_100", &Replay::count_100>, Field<"count_50", &Replay::count_50>,
                             Field<"count_geki", &Replay::count_geki>, Field<"count_katu", &Replay::count_katu>,
                             Field<"count_miss", &Replay::count_miss>, Field<"score", &Replay::score>,
                             Field<"max_combo", &Replay::max_combo>, Field<"perfect", &Replay::perfect>,
                             Field<"mods", &Replay::mods>, Field<"life_bar_graph", &Replay::life_bar_graph>,
                             Field<"timestamp", &Replay::timestamp>, Field<"replay_data", &Replay::replay_data>,
                             Field<"rng_seed", &Replay::rng_seed>, Field<"replay_id", &Replay::replay_id>>;
};

}  // namespace kz
