#include "columns/time_line.hpp"

namespace kz {

std::optional<std::size_t> running_time(std::span<const std::int64_t> deltas, std::int64_t* time) noexcept {
    std::int64_t clock = 0;
    for (std::size_t index = 0; index < deltas.size(); ++index) {
        // A wrapped clock would put later frames before earlier ones without a word.
        if (__builtin_add_overflow(clock, deltas[index], &clock)) return index;
        time[index] = clock;
    }
    return std::nullopt;
}

}  // namespace kz
