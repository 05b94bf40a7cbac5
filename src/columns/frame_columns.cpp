#include "columns/frame_columns.hpp"

#include <cstring>
#include <type_traits>
#include <utility>

#include "columns/time_line.hpp"
#include "flags/flag_sets.hpp"

namespace kz {

ColumnBuffer::ColumnBuffer(std::size_t bytes) : data_(allocate_bytes(bytes)), size_(bytes) {}

ColumnBuffer::ColumnBuffer(ColumnBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

ColumnBuffer& ColumnBuffer::operator=(ColumnBuffer&& other) noexcept {
    if (this != &other) {
        free_bytes(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

ColumnBuffer::~ColumnBuffer() { free_bytes(data_); }

ColumnBuffer pack_bits(const std::uint8_t* values, std::size_t count) {
    ColumnBuffer bits((count + 7) / 8);
    auto* out = static_cast<std::uint8_t*>(bits.data());
    std::memset(out, 0, bits.size());
    for (std::size_t index = 0; index < count; ++index) {
        out[index / 8] = static_cast<std::uint8_t>(out[index / 8] | (values[index] << (index % 8)));
    }
    return bits;
}

namespace {

// What a field of a frame record is stored as in its column.
template <class Value>
struct ColumnOf;
template <>
struct ColumnOf<std::int64_t> {
    static constexpr ColumnType type = ColumnType::Int64;
    using Stored = std::int64_t;
    static Stored store(std::int64_t value) noexcept { return value; }
};
template <>
struct ColumnOf<double> {
    static constexpr ColumnType type = ColumnType::Float64;
    using Stored = double;
    static Stored store(double value) noexcept { return value; }
};
template <>
struct ColumnOf<bool> {
    static constexpr ColumnType type = ColumnType::Bool;
    using Stored = std::uint8_t;
    static Stored store(bool value) noexcept { return value ? 1 : 0; }
};
template <class Flags>
    requires std::is_same_v<decltype(Flags::bits), std::int32_t>
struct ColumnOf<Flags> {
    static constexpr ColumnType type = ColumnType::Int32;
    using Stored = std::int32_t;
    static Stored store(Flags value) noexcept { return value.bits; }
};

template <class Frame, class F>
Column column_of_field(std::span<const Frame> frames) {
    using Value = std::remove_cvref_t<decltype(std::declval<const Frame&>().*F::member)>;
    using Info = ColumnOf<Value>;
    Column column;
    column.name = F::name;
    column.type = Info::type;
    // At least one byte, so that even an empty column has an address of its own.
    column.values = ColumnBuffer(frames.empty() ? 1 : frames.size() * sizeof(typename Info::Stored));
    auto* out = static_cast<typename Info::Stored*>(column.values.data());
    for (const Frame& frame : frames) *out++ = Info::store(frame.*F::member);
    if constexpr (Info::type == ColumnType::Bool) {
        column.bits = pack_bits(static_cast<const std::uint8_t*>(column.values.data()), frames.size());
    }
    return column;
}

// The frames of a slot, read in place; the one spot that knows how a slot holds them.
template <class Frames>
std::span<const typename Frames::value_type> frames_in(const std::optional<Frames>& slot) noexcept {
    if (!slot) return {};
    return {slot->data(), slot->size()};
}

template <class Frames>
std::optional<std::size_t> count_in(const std::optional<Frames>& slot) noexcept {
    if (!slot) return std::nullopt;
    return frames_in(slot).size();
}

}  // namespace

template <class Frame>
FrameColumns FrameColumns::of_frames(std::span<const Frame> frames, GameMode mode,
                                     std::optional<std::int32_t> rng_seed) {
    FrameColumns result;
    result.mode_ = mode;
    result.length_ = frames.size();
    result.rng_seed_ = rng_seed;
    using Fields = typename RecordInfo<Frame>::fields;
    result.columns_.reserve(Fields::size + 1);
    Column& time = result.columns_.emplace_back();
    time.name = "time";
    time.type = ColumnType::Int64;
    time.values = ColumnBuffer(frames.empty() ? 1 : frames.size() * sizeof(std::int64_t));
    result.has_time_ = true;
    Fields::for_each([&]<class F>(F) { result.columns_.push_back(column_of_field<Frame, F>(frames)); });
    // Every record's first field is time_delta.
    const auto* deltas = static_cast<const std::int64_t*>(result.columns_[1].values.data());
    auto* clock = static_cast<std::int64_t*>(result.columns_[0].values.data());
    result.time_overflow_ = running_time({deltas, frames.size()}, clock);
    return result;
}

FrameColumns FrameColumns::of(const ReplayDataContainer& data, GameMode mode, std::optional<std::int32_t> rng_seed) {
    switch (mode) {
        case GameMode::TAIKO: return of_frames(frames_in(data.taiko_replay_data), mode, rng_seed);
        case GameMode::CTB: return of_frames(frames_in(data.catch_replay_data), mode, rng_seed);
        case GameMode::MANIA: return of_frames(frames_in(data.mania_replay_data), mode, rng_seed);
        case GameMode::STD:
        case GameMode::UNKNOWN: break;
    }
    return of_frames(frames_in(data.kivo_replay_data), mode, rng_seed);
}

FrameColumns FrameColumns::take(Replay& replay) {
    FrameColumns columns = of(replay);
    replay.replay_data = ReplayDataContainer{};
    return columns;
}

FrameColumns FrameColumns::table(GameMode mode, std::size_t length, Vec<Column> columns, Vec<MetadataEntry> metadata) {
    FrameColumns result;
    result.mode_ = mode;
    result.length_ = length;
    result.columns_ = std::move(columns);
    result.metadata_ = std::move(metadata);
    return result;
}

std::size_t FrameColumns::bytes() const noexcept {
    std::size_t total = sizeof(FrameColumns);
    for (const Column& column : columns_) total += sizeof(Column) + column.values.size() + column.bits.size();
    return total;
}

std::optional<std::size_t> frame_count(const ReplayDataContainer& data, GameMode mode) noexcept {
    switch (mode) {
        case GameMode::TAIKO: return count_in(data.taiko_replay_data);
        case GameMode::CTB: return count_in(data.catch_replay_data);
        case GameMode::MANIA: return count_in(data.mania_replay_data);
        case GameMode::STD:
        case GameMode::UNKNOWN: break;
    }
    return count_in(data.kivo_replay_data);
}

}  // namespace kz
