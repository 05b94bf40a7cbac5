// A whole replay file from a Replay record.
#include "writer/replay_writer.hpp"

#include <limits>

#include "files/file_limits.hpp"
#include "text/utf8.hpp"
#include "writer/number_format.hpp"

namespace kz {
namespace {

template <class T>
void append_little(Bytes& out, T value) {
    const auto bits = static_cast<std::uint64_t>(value);
    for (std::size_t index = 0; index < sizeof(T); ++index) out.push_back(static_cast<std::uint8_t>(bits >> (8 * index)));
}

// Absent and empty differ: 0x00 versus 0x0B with length 0.
void append_text(Bytes& out, const std::optional<std::string_view>& text) {
    if (!text) {
        out.push_back(0x00);
        return;
    }
    out.push_back(0x0B);
    std::uint64_t length = text->size();
    do {
        const auto low = static_cast<std::uint8_t>(length & 0x7F);
        length >>= 7;
        out.push_back(length != 0 ? static_cast<std::uint8_t>(low | 0x80) : low);
    } while (length != 0);
    out.insert(out.end(), text->begin(), text->end());
}

std::optional<std::string_view> view_of(const OptionalText& text) noexcept {
    if (!text) return std::nullopt;
    return std::string_view(*text);
}

std::optional<EncodeError> check_utf8(const OptionalText& text, std::string_view field) noexcept {
    if (!text) return std::nullopt;
    const ByteView bytes(reinterpret_cast<const std::uint8_t*>(text->data()), text->size());
    if (validate_utf8(bytes)) return EncodeError{EncodeErrorKind::InvalidUtf8, field, 0, 0};
    return std::nullopt;
}

// The header's fields before the frame block, in file order.
void write_header(const Replay& replay, const std::optional<std::string_view>& life_bar, Bytes& out) {
    out.push_back(static_cast<std::uint8_t>(replay.mode));
    append_little(out, static_cast<std::uint32_t>(replay.game_version));
    append_text(out, view_of(replay.beatmap_hash));
    append_text(out, view_of(replay.username));
    append_text(out, view_of(replay.replay_hash));
    for (const std::int16_t count : {replay.count_300, replay.count_100, replay.count_50, replay.count_geki,
                                     replay.count_katu, replay.count_miss}) {
        append_little(out, static_cast<std::uint16_t>(count));
    }
    append_little(out, static_cast<std::uint32_t>(replay.score));
    append_little(out, static_cast<std::uint16_t>(replay.max_combo));
    out.push_back(replay.perfect ? 1 : 0);
    append_little(out, replay.mods.bits);
    append_text(out, life_bar);
    append_little(out, static_cast<std::uint64_t>(replay.timestamp));
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
        if (mode != own && present[mode]) return EncodeError{EncodeErrorKind::OtherModeFrames, "replay_data", 0, mode};
    }
    std::optional<FrameSource> frames;
    switch (replay.mode) {
        case GameMode::STD: frames = slot_frames(data.kivo_replay_data, replay.mode); break;
        case GameMode::TAIKO: frames = slot_frames(data.taiko_replay_data, replay.mode); break;
        case GameMode::CTB: frames = slot_frames(data.catch_replay_data, replay.mode); break;
        case GameMode::MANIA: frames = slot_frames(data.mania_replay_data, replay.mode); break;
        case GameMode::UNKNOWN: break;
    }
    if (!frames) return EncodeError{EncodeErrorKind::MissingFrames, "replay_data", 0, own};
    return *frames;
}

std::variant<Bytes, EncodeError> encode_replay(const Replay& header, const FrameSource& frames, StopCheck* stop) {
    // 1. What the reader would refuse in the header, before any work.
    if (header.mode == GameMode::UNKNOWN || frames.mode != header.mode) {
        return EncodeError{EncodeErrorKind::UnknownMode, "mode", 0, static_cast<std::uint64_t>(header.mode)};
    }
    for (const auto& [text, field] : {std::pair{&header.beatmap_hash, "beatmap_hash"},
                                      std::pair{&header.username, "username"},
                                      std::pair{&header.replay_hash, "replay_hash"}}) {
        if (auto error = check_utf8(*text, field)) return *error;
    }
    // 2. The header, with the life-bar samples as their text.
    Bytes out;
    std::optional<String> life_bar;
    if (header.life_bar_graph) life_bar = life_bar_text(*header.life_bar_graph);
    write_header(header, life_bar ? std::optional<std::string_view>(*life_bar) : std::nullopt, out);
    // 3. The frame block, compressed straight after its length, which is
    // filled in once known.
    const std::size_t length_at = out.size();
    append_little(out, std::uint32_t{0});
    const std::size_t block_at = out.size();
    {
        AloneCompressor compressor(out, stop);
        if (auto error = compressor.start()) return *error;
        if (auto error = write_frame_text(frames, header.rng_seed,
                                          compressor)) {
            return *error;
        }
        if (auto error = compressor.finish()) return *error;
    }
    const std::size_t block_size = out.size() - block_at;
    if (block_size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return EncodeError{EncodeErrorKind::BlockTooLong, "replay_data", 0,
                           static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())};
    }
    for (std::size_t index = 0; index < 4; ++index) {
        out[length_at + index] = static_cast<std::uint8_t>(block_size >> (8 * index));
    }
    // 4. The online id, in its long form.
    append_little(out, header.replay_id);
    if (out.size() > kMaxFileBytes) return EncodeError{EncodeErrorKind::FileTooLarge, "", 0, kMaxFileBytes};
    return out;
}

}  // namespace kz
