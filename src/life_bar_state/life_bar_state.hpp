// One sample of the life-bar graph.
#pragma once

#include <cstdint>

#include "common/record_fields.hpp"

namespace kz {

struct LifeBarState {
    std::uint32_t time = 0;
    float life = 0;
};

template <>
struct RecordInfo<LifeBarState> {
    static constexpr std::string_view name = "LifeBarState";
    using fields = FieldList<Field<"time", &LifeBarState::time>, Field<"life", &LifeBarState::life>>;
};

}  // namespace kz
