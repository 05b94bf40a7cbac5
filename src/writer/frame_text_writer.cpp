// Frame records or columns as frame text, in chunks.
#include "writer/frame_text_writer.hpp"

#include <cstring>

#include "readers/frame_block.hpp"
#include "replay_events/frame_text.hpp"
#include "writer/number_format.hpp"
#include "layout/replay_layout.hpp"

namespace kz {
namespace {

// The seed item's time delta; the reader takes a last item with it for the seed.
constexpr std::string_view kSeedItemStart = "-12345|";
// Text is handed to the sink in chunks of about this size: large enough that
// the sink's per-call cost vanishes, small enough to stay in cache.
constexpr std::size_t kChunkBytes = 64 * 1024;
// The longest item: four numbers, three bars and a comma.
constexpr std::size_t kMaxItemBytes = 4 * kMaxNumberBytes + 4;

char* put(char* out, std::string_view text) noexcept {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

char* write_item(char* out, const ReplayEventKivo& frame) noexcept {
    out = write_integer(out, frame.time_delta);
    *out++ = '|';
    out = write_shortest(out, frame.x);
    *out++ = '|';
    out = write_shortest(out, frame.y);
    *out++ = '|';
    out = write_integer(out, frame.keys.bits);
    *out++ = ',';
    return out;
}

char* write_item(char* out, const ReplayEventTaiko& frame) noexcept {
    out = write_integer(out, frame.time_delta);
    *out++ = '|';
    out = write_integer(out, frame.x);
    *out++ = '|';
    out = put(out, kUnusedFieldText);
    *out++ = '|';
    out = write_integer(out, frame.keys.bits);
    *out++ = ',';
    return out;
}

char* write_item(char* out, const ReplayEventCatch& frame) noexcept {
    out = write_integer(out, frame.time_delta);
    *out++ = '|';
    out = write_shortest(out, frame.x);
    *out++ = '|';
    out = put(out, kUnusedFieldText);
    *out++ = '|';
    *out++ = frame.dashing ? '1' : '0';
    *out++ = ',';
    return out;
}

char* write_item(char* out, const ReplayEventMania& frame) noexcept {
    out = write_integer(out, frame.time_delta);
    *out++ = '|';
    out = write_integer(out, frame.keys.bits);
    *out++ = '|';
    out = put(out, kKeyModeField2Text);
    *out++ = '|';
    out = put(out, kKeyModeField3Text);
    *out++ = ',';
    return out;
}

// --- columns: one frame record per row, each value checked for its field ----

// The names of each mode's fields in column order, for messages.
template <class Frame>
constexpr std::array<std::string_view, 4> kFieldNames{};
template <>
constexpr std::array<std::string_view, 4> kFieldNames<ReplayEventKivo>{"time_delta", "x", "y", "keys"};
template <>
constexpr std::array<std::string_view, 4> kFieldNames<ReplayEventTaiko>{"time_delta", "x", "keys", ""};
template <>
constexpr std::array<std::string_view, 4> kFieldNames<ReplayEventCatch>{"time_delta", "x", "dashing", ""};
template <>
constexpr std::array<std::string_view, 4> kFieldNames<ReplayEventMania>{"time_delta", "keys", "", ""};

// Whether the field holds a double (the others hold integers).
template <class Frame>
constexpr bool takes_reals(std::string_view field) noexcept {
    return field == "y" || (field == "x" && !std::is_same_v<Frame, ReplayEventTaiko>);
}

class RowReader {
public:
    RowReader(const FrameColumnsView& columns, std::size_t row) noexcept : columns_(columns), row_(row) {}

    bool integer(std::size_t field, std::int64_t& out) const noexcept {
        return columns_.fields[field].integer(row_, out);
    }
    bool real(std::size_t field, double& out) const noexcept { return columns_.fields[field].real(row_, out); }
    bool int32(std::size_t field, std::int32_t& out) const noexcept {
        std::int64_t value;
        if (!integer(field, value) || value < INT32_MIN || value > INT32_MAX) return false;
        out = static_cast<std::int32_t>(value);
        return true;
    }
    bool flag(std::size_t field, bool& out) const noexcept {
        std::int64_t value;
        if (!integer(field, value) || (value != 0 && value != 1)) return false;
        out = value == 1;
        return true;
    }

private:
    const FrameColumnsView& columns_;
    std::size_t row_;
};

// The index of the first field that does not fit, or -1 with `frame` filled.
int read_row(const RowReader& row, ReplayEventKivo& frame) noexcept {
    if (!row.integer(0, frame.time_delta)) return 0;
    if (!row.real(1, frame.x)) return 1;
    if (!row.real(2, frame.y)) return 2;
    return row.int32(3, frame.keys.bits) ? -1 : 3;
}

int read_row(const RowReader& row, ReplayEventTaiko& frame) noexcept {
    if (!row.integer(0, frame.time_delta)) return 0;
    if (!row.integer(1, frame.x)) return 1;
    return row.int32(2, frame.keys.bits) ? -1 : 2;
}

int read_row(const RowReader& row, ReplayEventCatch& frame) noexcept {
    if (!row.integer(0, frame.time_delta)) return 0;
    if (!row.real(1, frame.x)) return 1;
    return row.flag(2, frame.dashing) ? -1 : 2;
}

int read_row(const RowReader& row, ReplayEventMania& frame) noexcept {
    if (!row.integer(0, frame.time_delta)) return 0;
    return row.int32(1, frame.keys.bits) ? -1 : 1;
}

// Gathers items into chunks for the sink and keeps the counts the reader's limits need.
class ChunkWriter {
public:
    explicit ChunkWriter(TextSink& sink) noexcept : sink_(sink) {}

    // Room for one more item; flushes first when the chunk is full.
    std::optional<EncodeError> reserve_item() {
        if (kChunkBytes - used_ >= kMaxItemBytes) return std::nullopt;
        return flush();
    }
    char* cursor() noexcept { return chunk_.data() + used_; }
    void advance(char* end) noexcept {
        const std::string_view item(cursor(), static_cast<std::size_t>(end - cursor()));
        last_item_seed_like_ = item.starts_with(kSeedItemStart);
        used_ = static_cast<std::size_t>(end - chunk_.data());
    }
    // Whether the last item written starts as the seed item does.
    bool last_item_looks_like_seed() const noexcept { return last_item_seed_like_; }

    std::optional<EncodeError> flush() {
        written_ += used_;
        if (written_ > kMaxFrameTextBytes) {
            return EncodeError{EncodeErrorKind::TextTooLong, layout::kFrameBlockName, 0, kMaxFrameTextBytes};
        }
        const std::size_t used = used_;
        used_ = 0;
        if (used == 0) return std::nullopt;
        return sink_.take(std::string_view(chunk_.data(), used));
    }

private:
    TextSink& sink_;
    std::array<char, kChunkBytes> chunk_;
    std::size_t used_ = 0;
    std::size_t written_ = 0;
    bool last_item_seed_like_ = false;
};

template <class Frame>
std::optional<EncodeError> write_rows(std::span<const Frame> frames, ChunkWriter& out) {
    for (const Frame& frame : frames) {
        if (auto error = out.reserve_item()) return error;
        out.advance(write_item(out.cursor(), frame));
    }
    return std::nullopt;
}

template <class Frame>
std::optional<EncodeError> write_rows(const FrameColumnsView& columns, ChunkWriter& out) {
    for (std::size_t row = 0; row < columns.length; ++row) {
        Frame frame;
        if (const int bad = read_row(RowReader(columns, row), frame); bad >= 0) {
            const std::string_view field = kFieldNames<Frame>[static_cast<std::size_t>(bad)];
            return EncodeError{EncodeErrorKind::ValueOutOfRange, field, row, takes_reals<Frame>(field) ? 1u : 0u};
        }
        if (auto error = out.reserve_item()) return error;
        out.advance(write_item(out.cursor(), frame));
    }
    return std::nullopt;
}

std::optional<EncodeError> write_columns(const FrameColumnsView& columns, GameMode mode, ChunkWriter& out) {
    switch (mode) {
        case GameMode::STD: return write_rows<ReplayEventKivo>(columns, out);
        case GameMode::TAIKO: return write_rows<ReplayEventTaiko>(columns, out);
        case GameMode::CTB: return write_rows<ReplayEventCatch>(columns, out);
        case GameMode::MANIA: return write_rows<ReplayEventMania>(columns, out);
        case GameMode::UNKNOWN: break;
    }
    return EncodeError{EncodeErrorKind::UnknownMode, "mode", 0, static_cast<std::uint64_t>(mode)};
}

class CollectingSink final : public TextSink {
public:
    std::optional<EncodeError> take(std::string_view chunk) override {
        text.insert(text.end(), chunk.begin(), chunk.end());
        return std::nullopt;
    }
    Bytes text;
};

}  // namespace

std::size_t FrameSource::size() const noexcept {
    return std::visit(
        [](const auto& held) -> std::size_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(held)>, FrameColumnsView>) {
                return held.length;
            } else {
                return held.size();
            }
        },
        rows);
}

std::optional<EncodeError> write_frame_text(const FrameSource& frames, std::optional<std::int32_t> seed,
                                            TextSink& sink) {
    const std::size_t items = frames.size() + (seed ? 1 : 0);
    if (items == 0) return EncodeError{EncodeErrorKind::NoFrames, layout::kFrameBlockName, 0, 0};
    if (items > kMaxFramesPerText) {
        return EncodeError{EncodeErrorKind::TooManyFrames, layout::kFrameBlockName, 0, kMaxFramesPerText};
    }
    // Large: kept off the caller's stack.
    auto out = std::allocate_shared<ChunkWriter>(Allocator<ChunkWriter>{}, sink);
    std::optional<EncodeError> error = std::visit(
        [&](const auto& rows) -> std::optional<EncodeError> {
            if constexpr (std::is_same_v<std::decay_t<decltype(rows)>, FrameColumnsView>) {
                return write_columns(rows, frames.mode, *out);
            } else {
                return write_rows(rows, *out);
            }
        },
        frames.rows);
    if (error) return error;
    if (auto full = out->reserve_item()) return full;
    char* end = out->cursor();
    if (seed) {
        end = write_integer(put(end, "-12345|0|0|"), *seed);
        *end++ = ',';
    } else if (out->last_item_looks_like_seed()) {
        *end++ = ',';  // an empty item: no frame, and no seed either
    }
    out->advance(end);
    return out->flush();
}

std::variant<Bytes, EncodeError> frame_text_bytes(const FrameSource& frames, std::optional<std::int32_t> seed) {
    CollectingSink sink;
    if (auto error = write_frame_text(frames, seed, sink)) return *error;
    return std::move(sink.text);
}

}  // namespace kz
