// Decoding of the life-bar graph string into samples.
#pragma once

#include <optional>
#include <string_view>

#include "common/memory.hpp"
#include "life_bar_state/life_bar_state.hpp"
#include "parser/decode_result.hpp"

namespace kz {

using LifeBarGraph = std::optional<Vec<LifeBarState>>;

// Reads the string (name "parse_life_bar_graph") and its samples; absent when
// the string is absent or yields no sample. Stops on a bad time or life text.
Result<LifeBarGraph> parse_life_bar_graph(ByteView input);

// The samples of a life-bar text ("time|life" pieces separated by ','); pieces
// without '|' are skipped. Absent when no sample is found. Stops on the first
// bad time or life text.
LifeBarGraph decode_life_bar_text(std::string_view text);

}  // namespace kz
