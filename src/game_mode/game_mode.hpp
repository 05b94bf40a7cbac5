// The play mode of a replay as stored in records.
#pragma once

#include <cstdint>
#include <string_view>

namespace kz {

enum class GameMode : std::uint8_t { STD = 0, TAIKO = 1, CTB = 2, MANIA = 3, UNKNOWN = 4 };

// 0 to 3 give their mode; every other byte gives UNKNOWN.
constexpr GameMode game_mode_from_byte(std::uint8_t byte) noexcept {
    return byte <= 3 ? static_cast<GameMode>(byte) : GameMode::UNKNOWN;
}

// The member name: "STD", "TAIKO", "CTB", "MANIA" or "UNKNOWN".
constexpr std::string_view game_mode_name(GameMode mode) noexcept {
    switch (mode) {
        case GameMode::STD: return "STD";
        case GameMode::TAIKO: return "TAIKO";
        case GameMode::CTB: return "CTB";
        case GameMode::MANIA: return "MANIA";
        case GameMode::UNKNOWN: break;
    }
    return "UNKNOWN";
}

}  // namespace kz
