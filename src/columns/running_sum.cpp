#include "columns/running_sum.hpp"

namespace kz {

void running_sum(std::span<const std::int64_t> values, std::span<std::int64_t> out) noexcept {
    std::uint64_t sum = 0;  // unsigned: wrapping is defined
    for (std::size_t index = 0; index < values.size(); ++index) {
        sum += static_cast<std::uint64_t>(values[index]);
        out[index] = static_cast<std::int64_t>(sum);
    }
}

}  // namespace kz
