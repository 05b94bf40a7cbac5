// Field extents from the layout's kinds.
#include "layout/field_extent.hpp"

#include <limits>

#include "readers/byte_reader.hpp"

namespace kz::layout {
namespace {

constexpr std::uint8_t kAbsentMarker = 0x00;
constexpr std::uint8_t kPresentMarker = 0x0B;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

Extent text_extent(ByteView available) noexcept {
    if (available.empty()) return {Extent::Status::NeedMore, 1};
    if (available[0] == kAbsentMarker) return {Extent::Status::Whole, 1};
    if (available[0] != kPresentMarker) return {Extent::Status::Malformed};
    const auto length = parse_uleb128(available.subspan(1));
    if (!length) {
        if (length.error().form == DecodeError::Form::Incomplete) {
            return {Extent::Status::NeedMore, available.size() + 1};
        }
        return {Extent::Status::Malformed};
    }
    if (length.value() > std::numeric_limits<std::uint64_t>::max()) return {Extent::Status::Malformed};
    const auto head = static_cast<std::uint64_t>(length.rest().data() - available.data());
    return {Extent::Status::Whole, saturating_add(head, static_cast<std::uint64_t>(length.value()))};
}

}  // namespace

Extent extent_of(Kind kind, ByteView available) noexcept {
    switch (kind) {
        case Kind::Text:
        case Kind::LifeBar: return text_extent(available);
        case Kind::FrameBlock: {
            const auto length = parse_i32(available, ByteOrder::Little);
            if (!length) return {Extent::Status::NeedMore, min_width(kind)};
            if (length.value() < 0) return {Extent::Status::Malformed};
            return {Extent::Status::Whole, min_width(kind) + static_cast<std::uint64_t>(length.value())};
        }
        case Kind::ReplayId: return {Extent::Status::Whole, 8};
        default: return {Extent::Status::Whole, fixed_width(kind)};
    }
}

}  // namespace kz::layout
