// The frames of one play as columns: one typed array per field of the mode's
// frame record, for array and table libraries that read memory in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "common/memory.hpp"
#include "game_mode/game_mode.hpp"
#include "replay/replay_record.hpp"

namespace kz {

// The stored type of a column's values. Flag sets are stored as their 32-bit
// pattern, `dashing` as one byte per frame (0 or 1).
enum class ColumnType : std::uint8_t { Int64, Float64, Int32, Bool };

constexpr std::size_t column_value_bytes(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::Int64:
        case ColumnType::Float64: return 8;
        case ColumnType::Int32: return 4;
        case ColumnType::Bool: return 1;
    }
    return 1;
}

// Memory of one column: allocated without being zeroed, since every value is written.
class ColumnBuffer {
public:
    ColumnBuffer() noexcept = default;
    explicit ColumnBuffer(std::size_t bytes);
    ColumnBuffer(ColumnBuffer&& other) noexcept;
    ColumnBuffer& operator=(ColumnBuffer&& other) noexcept;
    ColumnBuffer(const ColumnBuffer&) = delete;
    ColumnBuffer& operator=(const ColumnBuffer&) = delete;
    ~ColumnBuffer();

    void* data() noexcept { return data_; }
    const void* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

private:
    void* data_ = nullptr;
    std::size_t size_ = 0;
};

// Bool values (0 or 1, one byte each) packed one bit per value, lowest bit
// first; the unused bits of the last byte are zero.
ColumnBuffer pack_bits(const std::uint8_t* values, std::size_t count);

struct Column {
    std::string_view name;  // the frame record's field name; static storage, NUL-terminated
    ColumnType type = ColumnType::Int64;
    ColumnBuffer values;
    // Bool columns only: the values packed one bit per frame, lowest bit
    // first, as columnar table formats store booleans.
    ColumnBuffer bits;
};

// A (key, value) pair of a table's metadata, travelling with its Arrow schema.
using MetadataEntry = std::pair<String, String>;

// Immutable once built: readers on any thread may share it. Frame columns
// also hold the play's clock, `time`, beside the record's fields: it is not
// one of `columns()`, so tables of the fields alone keep their shape, and
// `columns_with_time()` puts it first.
class FrameColumns {
public:
    FrameColumns() = default;

    GameMode mode() const noexcept { return mode_; }
    std::size_t length() const noexcept { return length_; }
    std::optional<std::int32_t> rng_seed() const noexcept { return rng_seed_; }
    // The fields of the mode's frame record, in its order.
    std::span<const Column> columns() const noexcept {
        return std::span<const Column>(columns_.data(), columns_.size()).subspan(has_time_ ? 1 : 0);
    }
    // `time` first, then the fields; only the fields when there is no clock.
    std::span<const Column> columns_with_time() const noexcept { return {columns_.data(), columns_.size()}; }
    // The running sum of time_delta (int64), or null when the table has no
    // clock or the sum left 64 bits (time_overflow() says at which frame).
    const Column* time() const noexcept { return has_time_ && !time_overflow_ ? &columns_[0] : nullptr; }
    std::optional<std::size_t> time_overflow() const noexcept { return time_overflow_; }
    std::span<const MetadataEntry> metadata() const noexcept { return {metadata_.data(), metadata_.size()}; }

    // The frames of `mode`'s slot (UNKNOWN reads as STD, as a bare frame
    // text does); an absent slot gives columns of length 0.
    static FrameColumns of(const ReplayDataContainer& data, GameMode mode, std::optional<std::int32_t> rng_seed);
    static FrameColumns of(const Replay& replay) { return of(replay.replay_data, replay.mode, replay.rng_seed); }
    // The columns of `replay`, whose frame lists are then let go (its
    // replay_data is left empty, as after a header-only decode).
    static FrameColumns take(Replay& replay);
    // A table of other columns (key presses, for one), each `length` long,
    // with `metadata` added after the mode in its schema; it has no clock.
    static FrameColumns table(GameMode mode, std::size_t length, Vec<Column> columns, Vec<MetadataEntry> metadata);

    // The columns of `mode`'s frame record rebuilt from each field's stored
    // values (as `columns()` holds them, in the record's order), copied: how a
    // pickled FrameColumns comes back. None when the count of buffers or the
    // size of one does not fit `length` frames of that record.
    static std::optional<FrameColumns> from_values(GameMode mode, std::optional<std::int32_t> rng_seed,
                                                   std::size_t length,
                                                   std::span<const std::span<const std::uint8_t>> values);

    // Memory the columns hold.
    std::size_t bytes() const noexcept;

private:
    template <class Frame>
    static std::optional<FrameColumns> of_values(GameMode mode, std::optional<std::int32_t> rng_seed,
                                                 std::size_t length,
                                                 std::span<const std::span<const std::uint8_t>> values);
    template <class Frame>
    static FrameColumns of_frames(std::span<const Frame> frames, GameMode mode, std::optional<std::int32_t> rng_seed);

    GameMode mode_ = GameMode::STD;
    std::size_t length_ = 0;
    std::optional<std::int32_t> rng_seed_;
    Vec<Column> columns_;  // the clock first when has_time_
    bool has_time_ = false;
    std::optional<std::size_t> time_overflow_;
    Vec<MetadataEntry> metadata_;
};

// The number of frames in `mode`'s slot (UNKNOWN reads as STD), or none when
// that slot is absent (a header-only decode).
std::optional<std::size_t> frame_count(const ReplayDataContainer& data, GameMode mode) noexcept;

}  // namespace kz
