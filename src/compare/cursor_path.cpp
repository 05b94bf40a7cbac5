// Cursor paths: the frames that count, and the slopes between them.
#include "compare/cursor_path.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace kz {

CursorPath cursor_path(std::span<const std::int64_t> time_delta, std::span<const double> x,
                       std::span<const double> y) {
    const std::size_t count = std::min({time_delta.size(), x.size(), y.size()});
    CursorPath path;
    path.time.reserve(count);
    path.x.reserve(count);
    path.y.reserve(count);
    // The clock is summed in integers, as the deltas are stored; a sum that
    // leaves int64 wraps, as the game's own clock would, rather than trapping.
    std::uint64_t clock = 0;
    for (std::size_t index = 0; index < count; ++index) {
        clock += static_cast<std::uint64_t>(time_delta[index]);
        if (!std::isfinite(x[index]) || !std::isfinite(y[index])) continue;
        const double time = static_cast<double>(static_cast<std::int64_t>(clock));
        if (!path.time.empty()) {
            if (time < path.time.back()) continue;
            if (time == path.time.back()) {
                path.x.back() = x[index];
                path.y.back() = y[index];
                continue;
            }
        }
        path.time.push_back(time);
        path.x.push_back(x[index]);
        path.y.push_back(y[index]);
    }
    const std::size_t segments = path.size() > 0 ? path.size() - 1 : 0;
    path.slope_x.resize(segments);
    path.slope_y.resize(segments);
    for (std::size_t k = 0; k < segments; ++k) {
        const double span = path.time[k + 1] - path.time[k];
        path.slope_x[k] = (path.x[k + 1] - path.x[k]) / span;
        path.slope_y[k] = (path.y[k + 1] - path.y[k]) / span;
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
