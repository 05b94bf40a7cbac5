// Salvage: the file read field by field as the parser reads it, where a fault
// ends the read and keeps what came before instead of ending the call.
#include "salvage/salvaged_replay.hpp"

#include <algorithm>
#include <string_view>
#include <type_traits>

#include "failure/stop.hpp"
#include "layout/field_codec.hpp"
#include "readers/frame_block.hpp"
#include "replay_decode/replay_parser.hpp"

namespace kz {
namespace {

constexpr auto kModeRow = static_cast<std::uint8_t>(*layout::field_index("mode"));
constexpr auto kFrameBlockRow = static_cast<std::uint8_t>(layout::kFrameBlockIndex);
constexpr auto kReplayIdRow = static_cast<std::uint8_t>(layout::kReplayIdIndex);

// Where the salvage stands in the file.
struct Reading {
    ByteView file;
    ByteView rest;
    SalvagedReplay& out;

    std::uint64_t offset() const noexcept { return static_cast<std::uint64_t>(rest.data() - file.data()); }

    // The failure of a reader's error at `row`, which started where the read stands.
    void failed(DecodeError error, std::uint8_t row) {
        out.failure = failure_of(error.at_field(row, rest), file.data(), file.size());
    }
    void stopped(const Stop& stop, std::uint8_t row) {
        out.failure = stop.failure();
        out.failure.place(row, offset());
    }
};

// Reads the header's row `I` into the replay; false at a fault.
template <std::size_t I>
bool read_header_field(Reading& at, std::uint8_t& mode_byte) {
    using Row = layout::FieldAt<I>;
    constexpr auto row = static_cast<std::uint8_t>(I);
    try {
        auto read = [&] {
            if constexpr (Row::kind == layout::Kind::Text || Row::kind == layout::Kind::LifeBar) {
                return layout::Codec<Row::kind>::read(at.rest, row);
            } else {
                return layout::Codec<Row::kind>::read(at.rest);
            }
        }();
        if (!read) {
            at.failed(read.error(), row);
            return false;
        }
        at.rest = read.rest();
        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(at.out.replay.*Row::member)>, GameMode>) {
            // The decoder names a bad mode byte only once the header is
            // there; a good one is read whole as soon as it is read.
            mode_byte = read.value();
            if (mode_byte > 3) return true;
            at.out.replay.mode = game_mode_from_byte(mode_byte);
            at.out.fields_read.set(row);
        } else {
            layout::from_wire(at.out.replay.*Row::member, std::move(read.value()));
            at.out.fields_read.set(row);
        }
        return true;
    } catch (const Stop& stop) {
        at.stopped(stop, row);
        return false;
    }
}

// The text up to its last ',' (kept): the whole items, without the partial one after it.
std::string_view whole_items(std::string_view text) noexcept {
    const std::size_t comma = text.rfind(',');
    return comma == std::string_view::npos ? std::string_view() : text.substr(0, comma + 1);
}

// The mode's slot present and empty: none of the frames was whole.
ReplayDataContainer no_frames(GameMode mode) {
    ReplayDataContainer data;
    switch (mode) {
        case GameMode::TAIKO: data.taiko_replay_data.emplace(Vec<ReplayEventTaiko>{}); break;
        case GameMode::CTB: data.catch_replay_data.emplace(Vec<ReplayEventCatch>{}); break;
        case GameMode::MANIA: data.mania_replay_data.emplace(Vec<ReplayEventMania>{}); break;
        case GameMode::STD:
        case GameMode::UNKNOWN: data.kivo_replay_data.emplace(Vec<ReplayEventKivo>{}); break;
    }
    return data;
}

// The frames of `text`, cut before the first item that does not decode. A
// text without a whole frame gives an empty list. False when the text's
// decode stops for another reason (nothing to keep then).
bool decode_frames_before_fault(std::string_view text, GameMode mode, FrameBlock& out) {
    // Each round cuts the text before the failing item, so the number of
    // rounds is bounded by the items; in practice it is one or two.
    for (;;) {
        if (text.empty()) {
            out = FrameBlock{};
            out.data = no_frames(mode);
            return true;
        }
        try {
            out = decode_block_text(text, mode);
            return true;
        } catch (const Stop& stop) {
            const DecodeFailure& fault = stop.failure();
            if (fault.cause == FailureCause::NoFrame) {
                text = {};
                continue;
            }
            if (fault.cause != FailureCause::BadFrameItem && fault.cause != FailureCause::TooManyFrames) return false;
            text = text.substr(0, std::min<std::size_t>(fault.item_offset, text.size()));
        }
    }
}

// Reads the frame block; true when its text decoded whole.
bool read_frame_block(Reading& at, GameMode mode, bool header_only) {
    const ByteView block_start = at.rest;
    ByteView block;
    try {
        auto length = layout::Codec<layout::Kind::FrameBlock>::read_length(at.rest);
        if (!length) {
            at.failed(length.error(), kFrameBlockRow);
            return false;
        }
        const ByteView after_length = length.rest();
        if (length.value() > after_length.size()) {
            at.failed(DecodeError::eof(after_length, length.value()), kFrameBlockRow);
            block = after_length;  // cut short: its bytes so far
        } else {
            block = after_length.first(length.value());
            at.rest = after_length.subspan(length.value());
        }
    } catch (const Stop& stop) {
        at.stopped(stop, kFrameBlockRow);
        return false;
    }
    if (header_only) return at.out.failure.cause == FailureCause::None;

    const bool cut_short = at.out.failure.cause != FailureCause::None;
    DecodeFailure stopped;
    const LentTextBuffer text = decompress_frame_block_prefix(block, stopped);
    std::string_view kept = text.view();
    const bool text_whole = !cut_short && stopped.cause == FailureCause::None;
    if (!text_whole) {
        kept = whole_items(kept);
        if (!cut_short) {
            at.out.failure = stopped;
            at.out.failure.place(kFrameBlockRow, static_cast<std::uint64_t>(block_start.data() - at.file.data()));
        }
    }
    FrameBlock frames;
    if (text_whole) {
        try {
            frames = decode_block_text(kept, mode);
            at.out.replay.replay_data = std::move(frames.data);
            at.out.replay.rng_seed = frames.rng_seed;
            return true;
        } catch (const Stop& stop) {
            Reading block_at{at.file, block_start, at.out};
            block_at.stopped(stop, kFrameBlockRow);
        }
    }
    if (decode_frames_before_fault(kept, mode, frames)) {
        at.out.replay.replay_data = std::move(frames.data);
        at.out.replay.rng_seed = frames.rng_seed;
        at.out.frames_partial = true;
    }
    return false;
}

}  // namespace

SalvagedReplay salvage_replay(ByteView file, bool header_only) {
    QuietStops quiet;
    SalvagedReplay out;
    Reading at{file, file, out};
    std::uint8_t mode_byte = 0;
    const bool header_whole = layout::for_each_field_while<layout::kFrameBlockIndex>(
        [&](auto index) { return read_header_field<index>(at, mode_byte); });
    if (!header_whole) return out;
    if (mode_byte > 3) {
        // Every other header field was read; the mode is unknown, so the
        // frames cannot be read.
        out.failure = DecodeFailure{};
        out.failure.cause = FailureCause::UnknownMode;
        out.failure.value = mode_byte;
        out.failure.place(kModeRow, 0);
        return out;
    }

    if (!read_frame_block(at, out.replay.mode, header_only)) return out;
    if (!header_only) out.fields_read.set(kFrameBlockRow);

    auto replay_id = parse_replay_id(at.rest, ByteOrder::Little);
    if (!replay_id) {
        at.failed(replay_id.error(), kReplayIdRow);
        return out;
    }
    out.replay.replay_id = replay_id.value();
    out.fields_read.set(kReplayIdRow);
    return out;
}

}  // namespace kz
