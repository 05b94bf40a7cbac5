#include "bulk/decode_columns.hpp"

#include <utility>

#include "bulk/decode_outcome.hpp"

namespace kz {

namespace {

ColumnsOutcome columns_of_outcome(Outcome&& outcome) noexcept {
    if (Failure* failure = std::get_if<Failure>(&outcome)) return std::move(*failure);
    Replay& replay = std::get<Replay>(outcome);
    try {
        FrameColumns columns = FrameColumns::take(replay);
        return DecodedColumns{std::move(replay), std::move(columns)};
    } catch (...) {
        return failure_of_current_exception();
    }
}

}  // namespace

ColumnsOutcome decode_file_columns(const String& path, bool header_only) noexcept {
    return columns_of_outcome(decode_file_outcome(path, header_only));
}

ColumnsOutcome decode_bytes_columns(ByteView contents, bool header_only) noexcept {
    return columns_of_outcome(decode_bytes_outcome(contents, header_only));
}

std::size_t columns_outcome_bytes(const ColumnsOutcome& outcome) noexcept {
    if (const auto* failure = std::get_if<Failure>(&outcome)) {
        return sizeof(Failure) + failure->message.size() + failure->detail.size();
    }
    const DecodedColumns& decoded = std::get<DecodedColumns>(outcome);
    std::size_t total = sizeof(DecodedColumns) + decoded.columns.bytes();
    if (decoded.replay.life_bar_graph) total += decoded.replay.life_bar_graph->capacity() * sizeof(LifeBarState);
    return total;
}

}  // namespace kz
