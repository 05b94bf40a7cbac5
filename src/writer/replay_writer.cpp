// A whole replay file from a Replay record.
#include "writer/replay_writer.hpp"

#include <limits>

#include "files/file_limits.hpp"
#include "layout/field_codec.hpp"
#include "text/utf8.hpp"
#include "writer/number_format.hpp"

namespace kz {
namespace {

std::optional<EncodeError> check_utf8(const OptionalText& text, std::string_view field) noexcept {
    if (!text) return std::nullopt;
    const ByteView bytes(reinterpret_cast<const std::uint8_t*>(text->data()), text->size());
    if (validate_utf8(bytes)) return EncodeError{EncodeErrorKind::InvalidUtf8, field, 0, 0};
    return std::nullopt;
}

// Every field of the file, in the layout's order, each by its kind's codec;
// the life bar and the frame block come already made (as text, compressed).
void write_fields(const Replay& replay, const std::optional<std::string_view>& life_bar, ByteView block, Bytes& out) {
    layout::for_each_field([&](auto index) {
        using Row = layout::FieldAt<decltype(index)::value>;
        using Codec = layout::Codec<Row::kind>;
        if constexpr (Row::kind == layout::Kind::LifeBar) {
            Codec::write(out, life_bar);
        } else if constexpr (Row::kind == layout::Kind::FrameBlock) {
            Codec::write(out, block);
        } else {
            Codec::write(out, layout::to_wire(replay.*Row::member));
        }
    });
}

template <class Frame>
std::optional<FrameSource> slot_frames(const std::optional<SharedFrames<Frame>>& slot, GameMode mode) {
    if (!slot) return std::nullopt;
    return FrameSource{mode, std::span<const Frame>(slot->data(), slot->size())};
}

}  // namespace

String life_bar_text(std::span<const LifeBarState> samples) {
    String text;
    text.reserve(samples.size() * 16);
    char item[2 * kMaxNumberBytes + 2];
    for (const LifeBarState& sample : samples) {
        char* end = write_integer(item, sample.time);
        *end++ = '|';
        end = write_shortest(end, sample.life);
        *end++ = ',';
        text.append(item, end);
    }
    return text;
}

std::variant<FrameSource, EncodeError> own_frames(const Replay& replay) {
    const ReplayDataContainer& data = replay.replay_data;
    const bool present[] = {data.kivo_replay_data.has_value(), data.taiko_replay_data.has_value(),
                            data.catch_replay_data.has_value(), data.mania_replay_data.has_value()};
    if (replay.mode == GameMode::UNKNOWN) {
        return EncodeError{EncodeErrorKind::UnknownMode, "mode", 0, static_cast<std::uint64_t>(replay.mode)};
    }
    const auto own = static_cast<std::size_t>(replay.mode);
    for (std::size_t mode = 0; mode < 4; ++mode) {
        if (mode != own && present[mode])
            return EncodeError{EncodeErrorKind::OtherModeFrames, layout::kFrameBlockName, 0, mode};
    }
    std::optional<FrameSource> frames;
    switch (replay.mode) {
        case GameMode::STD: frames = slot_frames(data.kivo_replay_data, replay.mode); break;
        case GameMode::TAIKO: frames = slot_frames(data.taiko_replay_data, replay.mode); break;
        case GameMode::CTB: frames = slot_frames(data.catch_replay_data, replay.mode); break;
        case GameMode::MANIA: frames = slot_frames(data.mania_replay_data, replay.mode); break;
        case GameMode::UNKNOWN: break;
    }
    if (!frames) return EncodeError{EncodeErrorKind::MissingFrames, layout::kFrameBlockName, 0, own};
    return *frames;
}

std::variant<Bytes, EncodeError> encode_replay(const Replay& header, const FrameSource& frames, StopCheck* stop) {
    // 1. What the reader would refuse in the header, before any work.
    if (header.mode == GameMode::UNKNOWN || frames.mode != header.mode) {
        return EncodeError{EncodeErrorKind::UnknownMode, "mode", 0, static_cast<std::uint64_t>(header.mode)};
    }
    std::optional<EncodeError> bad_text;
    layout::for_each_field([&](auto index) {
        using Row = layout::FieldAt<decltype(index)::value>;
        if constexpr (Row::kind == layout::Kind::Text) {
            if (!bad_text) bad_text = check_utf8(header.*Row::member, Row::info.name);
        }
    });
    if (bad_text) return *bad_text;
    // 2. The frame block, compressed as the text is made.
    Bytes block;
    {
        AloneCompressor compressor(block, stop);
        if (auto error = compressor.start()) return *error;
        if (auto error = write_frame_text(frames, header.rng_seed, compressor)) {
            return *error;
        }
        if (auto error = compressor.finish()) return *error;
    }
    if (block.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return EncodeError{EncodeErrorKind::BlockTooLong, layout::kFrameBlockName, 0,
                           static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())};
    }
    // 3. The fields in file order, the life-bar samples as their text.
    std::optional<String> life_bar;
    if (header.life_bar_graph) life_bar = life_bar_text(*header.life_bar_graph);
    Bytes out;
    write_fields(header, life_bar ? std::optional<std::string_view>(*life_bar) : std::nullopt,
                 ByteView(block.data(), block.size()), out);
    if (out.size() > kMaxFileBytes) return EncodeError{EncodeErrorKind::FileTooLarge, "", 0, kMaxFileBytes};
    return out;
}

}  // namespace kz
