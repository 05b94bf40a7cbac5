// The four flag sets as stored in records: a 32-bit pattern each, with their member tables.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kz {

struct FlagMember {
    std::string_view name;
    std::uint32_t value;
};

// Gameplay modifiers. Unsigned; only 0..2^31-1 is usable from Python.
struct Mod {
    std::uint32_t bits = 0;
    friend bool operator==(Mod, Mod) = default;
};
// Buttons of a standard-mode frame.
struct Key {
    std::int32_t bits = 0;
    friend bool operator==(Key, Key) = default;
};
// Drums of a drum-mode frame.
struct KeyTaiko {
    std::int32_t bits = 0;
    friend bool operator==(KeyTaiko, KeyTaiko) = default;
};
// Columns of a key-mode frame.
struct KeyMania {
    std::int32_t bits = 0;
    friend bool operator==(KeyMania, KeyMania) = default;
};

// Per flag set: its class name and its members in declaration order.
template <class F>
struct FlagInfo;

template <>
struct FlagInfo<Mod> {
    static constexpr std::string_view name = "Mod";
    static constexpr std::array<FlagMember, 32> members{{
        {"NoMod", 0},           {"NoFail", 1u << 0},   {"Easy", 1u << 1},        {"TouchDevice", 1u << 2},
        {"Hidden", 1u << 3},    {"HardRock", 1u << 4}, {"SuddenDeath", 1u << 5}, {"DoubleTime", 1u << 6},
        {"Relax", 1u << 7},     {"HalfTime", 1u << 8}, {"Nightcore", 1u << 9},   {"Flashlight", 1u << 10},
        {"Autoplay", 1u << 11}, {"SpunOut", 1u << 12}, {"Autopilot", 1u << 13},  {"Perfect", 1u << 14},
        {"Key4", 1u << 15},     {"Key5", 1u << 16},    {"Key6", 1u << 17},       {"Key7", 1u << 18},
        {"Key8", 1u << 19},     {"FadeIn", 1u << 20},  {"Random", 1u << 21},     {"Cinema", 1u << 22},
        {"Target", 1u << 23},   {"Key9", 1u << 24},    {"KeyCoop", 1u << 25},    {"Key1", 1u << 26},
        {"Key3", 1u << 27},     {"Key2", 1u << 28},    {"ScoreV2", 1u << 29},    {"Mirror", 1u << 30},
    }};
};

template <>
struct FlagInfo<Key> {
    static constexpr std::string_view name = "Key";
    static constexpr std::array<FlagMember, 5> members{{
        {"M1", 1},
        {"M2", 2},
        {"K1", 4},
        {"K2", 8},
        {"SMOKE", 16},
    }};
};

template <>
struct FlagInfo<KeyTaiko> {
    static constexpr std::string_view name = "KeyTaiko";
    static constexpr std::array<FlagMember, 4> members{{
        {"LEFT_DON", 1},
        {"LEFT_KAT", 2},
        {"RIGHT_DON", 4},
        {"RIGHT_KAT", 8},
    }};
};

template <>
struct FlagInfo<KeyMania> {
    static constexpr std::string_view name = "KeyMania";
    static constexpr std::array<FlagMember, 18> members{{
        {"K1", 1u << 0},
        {"K2", 1u << 1},
        {"K3", 1u << 2},
        {"K4", 1u << 3},
        {"K5", 1u << 4},
        {"K6", 1u << 5},
        {"K7", 1u << 6},
        {"K8", 1u << 7},
        {"K9", 1u << 8},
        {"K10", 1u << 9},
        {"K11", 1u << 10},
        {"K12", 1u << 11},
        {"K13", 1u << 12},
        {"K14", 1u << 13},
        {"K15", 1u << 14},
        {"K16", 1u << 15},
        {"K17", 1u << 16},
        {"K18", 1u << 17},
    }};
};

template <class F>
concept FlagSet = requires { FlagInfo<F>::members; };

}  // namespace kz
