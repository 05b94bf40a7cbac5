// Frame item failures: the stop of the item's reader and the first check of
// the mode that the item fails, in the order the readers check.
#include "replay_events/item_fault.hpp"

#include <algorithm>
#include <span>

#include "common/memory.hpp"
#include "failure/failure_text.hpp"
#include "text/number_text.hpp"

namespace kz {
namespace {

enum class FieldRule : std::uint8_t { Int64, Int32, Float };
struct FieldCheck {
    std::size_t index;
    std::string_view name;
    FieldRule rule;
};

constexpr FieldCheck kCursorChecks[] = {{0, "time_delta", FieldRule::Int64},
                                        {1, "x", FieldRule::Float},
                                        {2, "y", FieldRule::Float},
                                        {3, "keys", FieldRule::Int32}};
constexpr FieldCheck kDrumChecks[] = {
    {0, "time_delta", FieldRule::Int64}, {1, "x", FieldRule::Int64}, {3, "keys", FieldRule::Int32}};
constexpr FieldCheck kCatchChecks[] = {
    {0, "time_delta", FieldRule::Int64}, {1, "x", FieldRule::Float}, {3, "dashing", FieldRule::Int32}};
constexpr FieldCheck kColumnChecks[] = {{0, "time_delta", FieldRule::Int64}, {1, "keys", FieldRule::Int32}};

std::span<const FieldCheck> checks_of(std::uint8_t mode) noexcept {
    switch (mode) {
        case 1: return kDrumChecks;
        case 2: return kCatchChecks;
        case 3: return kColumnChecks;
        default: return kCursorChecks;
    }
}

bool field_passes(std::string_view field, FieldRule rule) noexcept {
    const char* const end = field.data() + field.size();
    switch (rule) {
        case FieldRule::Int64: {
            std::int64_t value;
            return read_prefix_int(field.data(), end, value) != nullptr;
        }
        case FieldRule::Int32: {
            std::int32_t value;
            return read_prefix_int(field.data(), end, value) != nullptr;
        }
        case FieldRule::Float: {
            double value;
            return read_float_literal(field.data(), end, value) == end;
        }
    }
    return true;
}

// The first check of the item that fails; an item whose field 0 is empty is
// skipped, never wrong.
void find_fault(DecodeFailure& failure, std::string_view item) {
    if (item.empty() || item.front() == '|') return;
    Vec<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const std::size_t bar = item.find('|', start);
        fields.push_back(item.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
        if (bar == std::string_view::npos) break;
        start = bar + 1;
    }
    const std::span<const FieldCheck> checks = checks_of(failure.mode);
    for (std::size_t check = 0; check < checks.size(); ++check) {
        failure.item_check = static_cast<std::uint8_t>(check);
        if (checks[check].index >= fields.size()) {
            failure.item_fault = ItemFault::Missing;
            failure.item_fields = fields.size();
            return;
        }
        if (!field_passes(fields[checks[check].index], checks[check].rule)) {
            failure.item_fault =
                checks[check].rule == FieldRule::Float ? ItemFault::NotNumber : ItemFault::NotWholeNumber;
            return;
        }
    }
}

}  // namespace

void stop_frame_item(ItemStop stop, std::size_t fields, std::size_t wanted) {
    DecodeFailure failure;
    failure.cause = FailureCause::BadFrameItem;
    failure.item_stop = stop;
    failure.value = fields;
    failure.count = wanted;
    stop_decode(std::move(failure));
}

void describe_item(DecodeFailure& failure, std::string_view text, const char* item_begin, GameMode mode,
                   std::uint64_t items_before, std::uint64_t offset_before) {
    if (item_begin == nullptr) item_begin = text.data();
    const auto offset = static_cast<std::size_t>(item_begin - text.data());
    failure.mode = static_cast<std::uint8_t>(mode);
    failure.item = items_before + static_cast<std::uint64_t>(std::count(text.data(), item_begin, ','));
    failure.item_offset = offset_before + offset;
    if (failure.cause != FailureCause::BadFrameItem) return;
    const std::string_view from_item = text.substr(std::min(offset, text.size()));
    find_fault(failure, from_item.substr(0, from_item.find(',')));
}

std::string_view item_check_name(std::uint8_t mode, std::uint8_t check) noexcept {
    const std::span<const FieldCheck> checks = checks_of(mode);
    return check < checks.size() ? checks[check].name : std::string_view();
}

}  // namespace kz
