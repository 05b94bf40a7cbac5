// Input-frame records, one per play mode.
#pragma once

#include <cstdint>

#include "common/record_fields.hpp"
#include "flags/flag_sets.hpp"

namespace kz {

struct ReplayEventKivo {
    std::int64_t time_delta = 0;
    double x = 0;
    double y = 0;
    Key keys;
    friend bool operator==(const ReplayEventKivo&, const ReplayEventKivo&) = default;
};

struct ReplayEventTaiko {
    std::int64_t time_delta = 0;
    std::int64_t x = 0;
    KeyTaiko keys;
    friend bool operator==(const ReplayEventTaiko&, const ReplayEventTaiko&) = default;
};

struct ReplayEventCatch {
    std::int64_t time_delta = 0;
    double x = 0;
    bool dashing = false;
    friend bool operator==(const ReplayEventCatch&, const ReplayEventCatch&) = default;
};

struct ReplayEventMania {
    std::int64_t time_delta = 0;
    KeyMania keys;
    friend bool operator==(const ReplayEventMania&, const ReplayEventMania&) = default;
};

template <>
struct RecordInfo<ReplayEventKivo> {
    static constexpr std::string_view name = "ReplayEventKivo";
    using fields = FieldList<Field<"time_delta", &ReplayEventKivo::time_delta>, Field<"x", &ReplayEventKivo::x>,
                             Field<"y", &ReplayEventKivo::y>, Field<"keys", &ReplayEventKivo::keys>>;
};

template <>
struct RecordInfo<ReplayEventTaiko> {
    static constexpr std::string_view name = "ReplayEventTaiko";
    using fields = FieldList<Field<"time_delta", &ReplayEventTaiko::time_delta>, Field<"x", &ReplayEventTaiko::x>,
                             Field<"keys", &ReplayEventTaiko::keys>>;
};

template <>
struct RecordInfo<ReplayEventCatch> {
    static constexpr std::string_view name = "ReplayEventCatch";
    using fields = FieldList<Field<"time_delta", &ReplayEventCatch::time_delta>, Field<"x", &ReplayEventCatch::x>,
                             Field<"dashing", &ReplayEventCatch::dashing>>;
};

template <>
struct RecordInfo<ReplayEventMania> {
    static constexpr std::string_view name = "ReplayEventMania";
    using fields =
        FieldList<Field<"time_delta", &ReplayEventMania::time_delta>, Field<"keys", &ReplayEventMania::keys>>;
};

}  // namespace kz
