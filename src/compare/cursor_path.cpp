// Cursor paths: the frames that count, and the slopes between them.
#include "compare/cursor_path.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

namespace kz {

CursorPath cursor_path(std::span<const std::int64_t> time_delta, std::span<const double> x,
                       std::span<const double> y, Slopes slopes) {
    const std::size_t count = std::min({time_delta.size(), x.size(), y.size()});
    CursorPath path;
    path.time.resize(count);
    path.x.resize(count);
    path.y.resize(count);
    double* const time_out = path.time.data();
    double* const x_out = path.x.data();
    double* const y_out = path.y.data();
    // The clock is summed in integers, as the deltas are stored; a sum that
    // leaves int64 wraps, as the game's own clock would, rather than trapping.
    std::uint64_t clock = 0;
    std::size_t kept = 0;
    double last = -std::numeric_limits<double>::infinity();
    for (std::size_t index = 0; index < count; ++index) {
        clock += static_cast<std::uint64_t>(time_delta[index]);
        const double time = static_cast<double>(static_cast<std::int64_t>(clock));
        if (!std::isfinite(x[index]) || !std::isfinite(y[index]) || time < last) continue;
        kept -= time == last ? 1 : 0;  // the later of equal times takes the earlier's place
        time_out[kept] = time;
        x_out[kept] = x[index];
        y_out[kept] = y[index];
        ++kept;
        last = time;
    }
    path.time.resize(kept);
    path.x.resize(kept);
    path.y.resize(kept);
    if (slopes == Slopes::Yes) {
        const std::size_t segments = kept > 0 ? kept - 1 : 0;
        path.slope_x.resize(segments);
        path.slope_y.resize(segments);
        for (std::size_t k = 0; k < segments; ++k) {
            const double span = time_out[k + 1] - time_out[k];
            path.slope_x[k] = (x_out[k + 1] - x_out[k]) / span;
            path.slope_y[k] = (y_out[k + 1] - y_out[k]) / span;
        }
    }
    return path;
}

std::optional<CursorColumns> cursor_columns(const FrameColumns& columns) noexcept {
    const Column* fields[3] = {nullptr, nullptr, nullptr};
    constexpr std::string_view names[3] = {"time_delta", "x", "y"};
    constexpr ColumnType types[3] = {ColumnType::Int64, ColumnType::Float64, ColumnType::Float64};
    for (const Column& column : columns.columns()) {
        for (std::size_t field = 0; field < 3; ++field) {
            if (column.name == names[field] && column.type == types[field]) fields[field] = &column;
        }
    }
    if (fields[0] == nullptr || fields[1] == nullptr || fields[2] == nullptr) return std::nullopt;
    const std::size_t length = columns.length();
    return CursorColumns{
        {static_cast<const std::int64_t*>(fields[0]->values.data()), length},
        {static_cast<const double*>(fields[1]->values.data()), length},
        {static_cast<const double*>(fields[2]->values.data()), length},
    };
}

}  // namespace kz
