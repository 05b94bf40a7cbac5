// Decoding of the life-bar graph string into samples.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/memory.hpp"
#include "life_bar_state/life_bar_state.hpp"
#include "failure/decode_result.hpp"

namespace kz {

using LifeBarGraph = std::optional<Vec<LifeBarState>>;

// Reads the string (the text at layout row `field`) and its samples; absent
// when the string is absent or yields no sample. Stops on a bad time or life
// text, with the failing sample and its offset in the field.
Result<LifeBarGraph> parse_life_bar_graph(ByteView input, std::uint8_t field);

// The samples of a life-bar text ("time|life" pieces separated by ','); pieces
// without '|' are skipped. Absent when no sample is found. Stops on the first
// bad time or life text.
LifeBarGraph decode_life_bar_text(std::string_view text);

}  // namespace kz
