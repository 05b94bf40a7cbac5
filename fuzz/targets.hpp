// The bodies of the fuzz targets: one function per target that runs an input
// through the decoding core's entry points and checks what must always hold.
// Shared by the libFuzzer harnesses and by the C++ regression test, which
// replays the saved inputs without the fuzzer.
#pragma once

#include <lzma.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "bulk/failure_report.hpp"
#include "columns/key_presses.hpp"
#include "debug_text/debug_text.hpp"
#include "files/header_read.hpp"
#include "block_alone/block_decode.hpp"
#include "failure/stop.hpp"
#include "failure/decode_result.hpp"
#include "failure/failure_text.hpp"
#include "readers/frame_block.hpp"
#include "layout/replay_layout.hpp"
#include "readers/life_bar.hpp"
#include "replay_decode/replay_parser.hpp"
#include "text/base64.hpp"
#include "text/utf8.hpp"
#include "replay_events/frame_text.hpp"
#include "writer/replay_writer.hpp"

namespace kz::fuzz {

// A broken invariant is a bug like a crash: report it and abort, so that the
// fuzzer saves the input and the regression test fails loudly.
[[noreturn]] inline void invariant_failed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz invariant failed: %s at %s:%d\n", what, file, line);
    std::abort();
}
#define KZ_FUZZ_CHECK(cond) ((cond) ? void(0) : ::kz::fuzz::invariant_failed(#cond, __FILE__, __LINE__))

// A stop is an expected outcome for bad input; anything else that escapes
// (another exception, a signal, a sanitizer report) is a bug.
template <class Fn>
void stop_is_fine(Fn&& fn) {
    try {
        fn();
    } catch (const Stop&) {}
}

// Debug texts are written for at most this many items per list: a tiny block
// can legitimately expand to millions of frames, and the writer's cost per
// item does not change with the list's length.
inline constexpr std::size_t kDebugItems = 2048;

template <class T>
void cap_list(std::optional<Vec<T>>& list) {
    if (list && list->size() > kDebugItems) list->resize(kDebugItems);
}

template <class T>
void cap_list(Vec<T>& list) {
    if (list.size() > kDebugItems) list.resize(kDebugItems);
}

template <class T>
void cap_list(std::optional<SharedFrames<T>>& list) {
    if (list && list->size() > kDebugItems) list->edit().resize(kDebugItems);
}

inline bool is_utf8(const String& text) {
    return !validate_utf8(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// The debug text of a decoded value is written like a repr would write it;
// the writer promises valid UTF-8 whatever the record holds.
template <class T>
void write_debug_text(const T& value) {
    const String text = debug_text(value);
    KZ_FUZZ_CHECK(!text.empty());
    KZ_FUZZ_CHECK(is_utf8(text));
}

// The header fields of a record: everything but what the frame block yields.
inline String header_text(Replay replay) {
    replay.replay_data = {};
    replay.rng_seed.reset();
    return debug_text(replay);
}

// A file in memory as a source read by offset.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(ByteView bytes) noexcept : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    std::size_t read_at(std::uint64_t offset, std::uint8_t* into, std::size_t room) const override {
        const ByteView part = bytes_.subspan(static_cast<std::size_t>(offset)).first(room);
        if (!part.empty()) std::memcpy(into, part.data(), part.size());
        return part.size();
    }

private:
    ByteView bytes_;
};

// A failure as text: the message it raises, and the message and place a
// person reads.
inline String failure_text(const DecodeFailure& failure) {
    String text = panic_text(failure);
    if (failure.is_decode()) {
        text += " / ";
        text += describe_failure(failure).message;
    }
    return text;
}

// What a decode ends in, as text: the header fields, the error's failure, or the stop's.
template <class Decode>
String outcome_text(Decode&& decode) {
    try {
        DecodeOutcome outcome = decode();
        if (const DecodeFailure* failure = std::get_if<DecodeFailure>(&outcome))
            return "error: " + failure_text(*failure);
        Replay& replay = std::get<Replay>(outcome);
        cap_list(replay.life_bar_graph);
        return "replay: " + header_text(replay);
    } catch (const Stop& stop) {
        return "stop: " + stop.message() +
               (stop.failure().is_decode() ? " / " + failure_text(stop.failure()) : String());
    }
}

// A header-only read of a file by parts ends exactly as the header-only
// decode of the whole file in memory: same fields, same failure (its texts,
// its field and offsets), same stop.
inline std::pair<String, String> header_read_outcomes(ByteView file, std::size_t first_read) {
    String whole = outcome_text([&]() -> DecodeOutcome {
        Result<Replay> decoded = parse_replay(file, ByteOrder::Little, true);
        if (!decoded) return failure_of(decoded.error(), file.data(), file.size());
        return std::move(decoded.value());
    });
    String by_parts = outcome_text([&] { return decode_header_only(MemorySource(file), first_read); });
    return {std::move(whole), std::move(by_parts)};
}

inline void check_header_read(ByteView file, std::size_t first_read) {
    const auto [whole, by_parts] = header_read_outcomes(file, first_read);
    KZ_FUZZ_CHECK(whole == by_parts);
}

// Whole-file decoding. Byte 0 chooses header_only (its low bit) and, with
// header_only, the size of the first read of the header-only file reader
// (the other bits); the rest is the file. A decode error is rendered as the
// Python boundary renders it.
inline void replay_target(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    const bool header_only = (data[0] & 1) != 0;
    const ByteView file(data + 1, size - 1);
    if (header_only) check_header_read(file, std::size_t{1} + (data[0] >> 1));
    stop_is_fine([&] {
        Result<Replay> decoded = parse_replay(file, ByteOrder::Little, header_only);
        if (!decoded) {
            const String text = failure_text(failure_of(decoded.error(), file.data(), file.size()));
            KZ_FUZZ_CHECK(!text.empty());
            return;
        }
        Replay& replay = decoded.value();
        KZ_FUZZ_CHECK(!replay.life_bar_graph || !replay.life_bar_graph->empty());
        auto& slots = replay.replay_data;
        cap_list(slots.kivo_replay_data);
        cap_list(slots.taiko_replay_data);
        cap_list(slots.catch_replay_data);
        cap_list(slots.mania_replay_data);
        cap_list(replay.life_bar_graph);
        write_debug_text(replay);
        if (header_only) {
            KZ_FUZZ_CHECK(!replay.rng_seed);
        } else {
            // A file that decodes whole decodes header-only too, to the same
            // header and the same rest: header_only only skips work.
            Result<Replay> header = parse_replay(file, ByteOrder::Little, true);
            KZ_FUZZ_CHECK(header.ok());
            KZ_FUZZ_CHECK(header.rest().size() == decoded.rest().size());
            cap_list(header.value().life_bar_graph);
            KZ_FUZZ_CHECK(header_text(header.value()) == header_text(replay));
        }
    });
}

template <class Frame>
void decode_frames(std::string_view text) {
    DecodedFrames<Frame> decoded = decode_frame_text<Frame>(text);
    // Only the seed frame can be taken out of a list, so an empty list
    // always comes with a seed.
    KZ_FUZZ_CHECK(!decoded.frames.empty() || decoded.rng_seed);
    cap_list(decoded.frames);
    write_debug_text(decoded.frames);
    write_debug_text(decoded.rng_seed);
}

// A frame's fields as bits, so that NaNs compare too.
inline auto frame_bits(const ReplayEventKivo& f) {
    return std::tuple(f.time_delta, std::bit_cast<std::uint64_t>(f.x), std::bit_cast<std::uint64_t>(f.y), f.keys.bits);
}
inline auto frame_bits(const ReplayEventTaiko& f) { return std::tuple(f.time_delta, f.x, f.keys.bits); }
inline auto frame_bits(const ReplayEventCatch& f) {
    return std::tuple(f.time_delta, std::bit_cast<std::uint64_t>(f.x), f.dashing);
}
inline auto frame_bits(const ReplayEventMania& f) { return std::tuple(f.time_delta, f.keys.bits); }

// Items far enough from the end of a text go to the quick readers first,
// the last ones to the general rules alone. The same text followed by an item
// that yields nothing (and no seed) must decode to the same frames, or stop
// with the same message, its own items now all in the quick readers' reach.
template <class Frame>
void compare_with_quick_readers(std::string_view text) {
    String padded(text);
    padded += ',';
    padded.append(200, '|');
    std::optional<DecodedFrames<Frame>> plain, quick;
    String plain_stop, quick_stop;
    try {
        plain = decode_frame_text<Frame>(text);
    } catch (const Stop& stop) {
        plain_stop = stop.message();
    }
    try {
        quick = decode_frame_text<Frame>(padded);
    } catch (const Stop& stop) {
        quick_stop = stop.message();
    }
    KZ_FUZZ_CHECK(plain_stop == quick_stop);
    if (!plain) return;
    // The padded text has no seed, so a seed frame stays in its list.
    KZ_FUZZ_CHECK(quick->frames.size() == plain->frames.size() + (plain->rng_seed ? 1 : 0));
    for (std::size_t i = 0; i < plain->frames.size(); ++i) {
        KZ_FUZZ_CHECK(frame_bits(plain->frames[i]) == frame_bits(quick->frames[i]));
    }
}

template <class Frame>
void check_frame_text(std::string_view text) {
    compare_with_quick_readers<Frame>(text);
    stop_is_fine([&] { decode_frames<Frame>(text); });
}

// Frame-text decoding. Byte 0 chooses the mode (mod 4); the rest is the text.
inline void frame_text_target(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 4) {
        case 0: return check_frame_text<ReplayEventKivo>(text);
        case 1: return check_frame_text<ReplayEventTaiko>(text);
        case 2: return check_frame_text<ReplayEventCatch>(text);
        default: return check_frame_text<ReplayEventMania>(text);
    }
}

inline constexpr auto kLifeBarRow = static_cast<std::uint8_t>(*layout::field_index("life_bar_graph"));

inline void check_graph(LifeBarGraph& graph) {
    // The list never exists empty: no sample gives an absent graph.
    KZ_FUZZ_CHECK(!graph || !graph->empty());
    cap_list(graph);
    write_debug_text(graph);
}

// Life-bar decoding. Byte 0's low bit chooses between the encoded string
// (marker, length, payload, as in a file) and the bare text.
inline void life_bar_target(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    const ByteView rest(data + 1, size - 1);
    stop_is_fine([&] {
        if ((data[0] & 1) == 0) {
            Result<LifeBarGraph> parsed = parse_life_bar_graph(rest, kLifeBarRow);
            if (!parsed) {
                KZ_FUZZ_CHECK(!describe(parsed.error()).empty());
                return;
            }
            KZ_FUZZ_CHECK(parsed.rest().size() < rest.size());
            check_graph(parsed.value());
        } else {
            LifeBarGraph graph = decode_life_bar_text({reinterpret_cast<const char*>(rest.data()), rest.size()});
            check_graph(graph);
        }
    });
}

// Reads `text` back as F; the debug form of a float must read back to it.
template <class F>
F read_back(const String& text) {
    const String terminated = text;  // strtod needs the terminator c_str() gives
    if constexpr (sizeof(F) == sizeof(double)) {
        return std::strtod(terminated.c_str(), nullptr);
    } else {
        return std::strtof(terminated.c_str(), nullptr);
    }
}

template <class F, class Bits>
void check_float(const std::uint8_t* bytes) {
    Bits bits;
    std::memcpy(&bits, bytes, sizeof bits);
    F value;
    std::memcpy(&value, &bits, sizeof value);
    String text;
    if constexpr (sizeof(F) == sizeof(double)) {
        append_debug_f64(text, value);
    } else {
        append_debug_f32(text, value);
    }
    if (std::isnan(value)) {
        KZ_FUZZ_CHECK(text == "NaN");
        return;
    }
    const F back = read_back<F>(text);
    Bits back_bits;
    std::memcpy(&back_bits, &back, sizeof back_bits);
    KZ_FUZZ_CHECK(back_bits == bits);  // same value, same sign of zero
}

// The debug-text writer on arbitrary bytes: texts that are not UTF-8 (stored
// records never hold those, but the writer promises to cope) and floats from
// every bit pattern. The whole input is the text; its 8- and 4-byte chunks
// are the doubles and floats.
inline void debug_text_target(const std::uint8_t* data, std::size_t size) {
    String text;
    append_debug_text(text, std::string_view(reinterpret_cast<const char*>(data), size));
    KZ_FUZZ_CHECK(text.size() >= 2 && text.front() == '"' && text.back() == '"');
    KZ_FUZZ_CHECK(is_utf8(text));
    for (std::size_t at = 0; at + 8 <= size && at < 512; at += 8) check_float<double, std::uint64_t>(data + at);
    for (std::size_t at = 0; at + 4 <= size && at < 256; at += 4) check_float<float, std::uint32_t>(data + at);
}

// The clock and key presses of decoded frames: the clock is the exact
// running sum, and presses come in press order, each lasting what its two
// times say and ending by the last frame.
inline void check_presses(const FrameColumns& columns) {
    const std::size_t count = columns.length();
    if (count == 0) return;
    const auto* deltas = static_cast<const std::int64_t*>(columns.columns()[0].values.data());
    std::int64_t clock = 0;
    std::optional<std::size_t> overflow;
    for (std::size_t index = 0; index < count && !overflow; ++index) {
        if (__builtin_add_overflow(clock, deltas[index], &clock)) overflow = index;
    }
    KZ_FUZZ_CHECK(columns.time_overflow() == overflow);
    if (overflow) return;
    const auto* time = static_cast<const std::int64_t*>(columns.time()->values.data());
    KZ_FUZZ_CHECK(time[count - 1] == clock);
    const std::optional<FrameColumns> presses = key_press_table(columns);
    if (!presses) return;  // a press longer than 64 bits of milliseconds
    const std::span<const Column> rows = presses->columns();
    const auto* press = static_cast<const std::int64_t*>(rows[1].values.data());
    const auto* release = static_cast<const std::int64_t*>(rows[2].values.data());
    const auto* duration = static_cast<const std::int64_t*>(rows[3].values.data());
    const auto* frame = static_cast<const std::int64_t*>(rows[4].values.data());
    for (std::size_t row = 0; row < presses->length(); ++row) {
        KZ_FUZZ_CHECK(frame[row] >= 0 && static_cast<std::size_t>(frame[row]) < count);
        KZ_FUZZ_CHECK(row == 0 || frame[row - 1] <= frame[row]);
        KZ_FUZZ_CHECK(press[row] == time[frame[row]]);
        KZ_FUZZ_CHECK(duration[row] == release[row] - press[row]);
    }
}

// A frame block alone. Byte 0: the mode (its low two bits) and whether the
// rest is base64 text (bit 2). The decode never throws; a failure has a
// message, a base64 fault lies inside the text (or at its end), and decoded
// frames have a consistent clock and key presses.
inline void block_target(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    const auto mode = static_cast<GameMode>(data[0] & 3);
    const ByteView rest(data + 1, size - 1);
    const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
    if ((data[0] & 4) != 0) {
        Vec<std::uint8_t> bytes;
        if (const std::optional<Base64Error> error = decode_base64(text, bytes)) {
            KZ_FUZZ_CHECK(error->offset <= text.size());
        } else {
            KZ_FUZZ_CHECK(bytes.size() <= text.size() / 4 * 3 + 2);
        }
    }
    const BlockOutcome outcome =
        (data[0] & 4) != 0 ? decode_base64_block_outcome(text, mode) : decode_block_outcome(rest, mode);
    if (const Failure* failure = std::get_if<Failure>(&outcome)) {
        KZ_FUZZ_CHECK(!failure->message.empty());
        return;
    }
    const FrameBlock& block = std::get<FrameBlock>(outcome);
    check_presses(FrameColumns::of(block.data, mode, block.rng_seed));
}

// Floats compare by bits, except that every NaN equals every NaN: the text
// keeps that a value is NaN, not its payload.
inline bool same_real(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}
inline bool same_frame(const ReplayEventKivo& a, const ReplayEventKivo& b) {
    return a.time_delta == b.time_delta && same_real(a.x, b.x) && same_real(a.y, b.y) && a.keys == b.keys;
}
inline bool same_frame(const ReplayEventTaiko& a, const ReplayEventTaiko& b) { return a == b; }
inline bool same_frame(const ReplayEventCatch& a, const ReplayEventCatch& b) {
    return a.time_delta == b.time_delta && same_real(a.x, b.x) && a.dashing == b.dashing;
}
inline bool same_frame(const ReplayEventMania& a, const ReplayEventMania& b) { return a == b; }

template <class Frame>
bool same_frames(std::span<const Frame> a, std::span<const Frame> b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_frame(a[i], b[i])) return false;
    }
    return true;
}

template <class Frame>
std::span<const Frame> frames_in(const std::optional<SharedFrames<Frame>>& slot) {
    return slot ? std::span<const Frame>(slot->data(), slot->size()) : std::span<const Frame>();
}

// Writing what was decoded and decoding it again gives the same record: the
// header fields, the life bar, the frames of every slot and the seed.
inline void check_rewrite(const Replay& replay) {
    const auto frames = own_frames(replay);
    KZ_FUZZ_CHECK(std::holds_alternative<FrameSource>(frames));
    const auto written = encode_replay(replay, std::get<FrameSource>(frames), nullptr);
    // A text of numbers written longer than the reader's limit is refused, never written.
    if (const EncodeError* error = std::get_if<EncodeError>(&written)) {
        KZ_FUZZ_CHECK(error->kind == EncodeErrorKind::TextTooLong);
        return;
    }
    const Bytes& file = std::get<Bytes>(written);
    Result<Replay> again = parse_replay(ByteView(file.data(), file.size()), ByteOrder::Little, false);
    KZ_FUZZ_CHECK(again.ok());
    KZ_FUZZ_CHECK(again.rest().empty());
    Replay& back = again.value();
    Replay original = replay;
    cap_list(original.life_bar_graph);
    cap_list(back.life_bar_graph);
    KZ_FUZZ_CHECK(header_text(original) == header_text(back));
    KZ_FUZZ_CHECK(replay.rng_seed == back.rng_seed);
    const auto& a = replay.replay_data;
    const auto& b = back.replay_data;
    KZ_FUZZ_CHECK(a.kivo_replay_data.has_value() == b.kivo_replay_data.has_value());
    KZ_FUZZ_CHECK(a.taiko_replay_data.has_value() == b.taiko_replay_data.has_value());
    KZ_FUZZ_CHECK(a.catch_replay_data.has_value() == b.catch_replay_data.has_value());
    KZ_FUZZ_CHECK(a.mania_replay_data.has_value() == b.mania_replay_data.has_value());
    KZ_FUZZ_CHECK(same_frames(frames_in(a.kivo_replay_data), frames_in(b.kivo_replay_data)));
    KZ_FUZZ_CHECK(same_frames(frames_in(a.taiko_replay_data), frames_in(b.taiko_replay_data)));
    KZ_FUZZ_CHECK(same_frames(frames_in(a.catch_replay_data), frames_in(b.catch_replay_data)));
    KZ_FUZZ_CHECK(same_frames(frames_in(a.mania_replay_data), frames_in(b.mania_replay_data)));
}

// A bare frame text of one mode, written again from its frames and seed,
// decodes to the same frames and seed.
template <class Frame>
void check_text_rewrite(std::string_view text) {
    std::optional<DecodedFrames<Frame>> decoded;
    stop_is_fine([&] { decoded = decode_frame_text<Frame>(text); });
    if (!decoded) return;
    const std::span<const Frame> frames(decoded->frames.data(), decoded->frames.size());
    const FrameSource source{GameMode::STD, frames};
    FrameSource typed = source;
    if constexpr (std::is_same_v<Frame, ReplayEventTaiko>) typed.mode = GameMode::TAIKO;
    if constexpr (std::is_same_v<Frame, ReplayEventCatch>) typed.mode = GameMode::CTB;
    if constexpr (std::is_same_v<Frame, ReplayEventMania>) typed.mode = GameMode::MANIA;
    const auto written = frame_text_bytes(typed, decoded->rng_seed);
    if (std::holds_alternative<EncodeError>(written)) {
        KZ_FUZZ_CHECK(std::get<EncodeError>(written).kind == EncodeErrorKind::TextTooLong);
        return;
    }
    const Bytes& again_text = std::get<Bytes>(written);
    const DecodedFrames<Frame> again =
        decode_frame_text<Frame>(std::string_view(reinterpret_cast<const char*>(again_text.data()), again_text.size()));
    KZ_FUZZ_CHECK(again.rng_seed == decoded->rng_seed);
    KZ_FUZZ_CHECK(same_frames(std::span<const Frame>(again.frames.data(), again.frames.size()), frames));
}

// Decoding, writing and decoding again. Byte 0 chooses the input: a whole
// file (its low bits 0 to 3 ignored, 4 and up) or a bare frame text of mode
// byte % 4 (below 4); the rest is the input.
inline void encode_target(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    const ByteView input(data + 1, size - 1);
    if (data[0] < 4) {
        const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
        switch (data[0]) {
            case 0: return check_text_rewrite<ReplayEventKivo>(text);
            case 1: return check_text_rewrite<ReplayEventTaiko>(text);
            case 2: return check_text_rewrite<ReplayEventCatch>(text);
            default: return check_text_rewrite<ReplayEventMania>(text);
        }
    }
    std::optional<Replay> decoded;
    stop_is_fine([&] {
        Result<Replay> parsed = parse_replay(input, ByteOrder::Little, false);
        if (parsed) decoded = std::move(parsed.value());
    });
    if (decoded) check_rewrite(*decoded);
}

// A frame text compressed as a block: the fastest preset and a small
// dictionary (the fuzzer's texts are short), the text's length declared in
// the stream header when asked.
inline Bytes compress_text(std::string_view text, bool declare_length) {
    lzma_options_lzma options;
    KZ_FUZZ_CHECK(!lzma_lzma_preset(&options, 0));
    options.dict_size = 1u << 16;
    lzma_stream stream = LZMA_STREAM_INIT;
    KZ_FUZZ_CHECK(lzma_alone_encoder(&stream, &options) == LZMA_OK);
    stream.next_in = reinterpret_cast<const std::uint8_t*>(text.data());
    stream.avail_in = text.size();
    Bytes block(64 + text.size() + text.size() / 2);
    lzma_ret ret = LZMA_OK;
    while (ret == LZMA_OK) {
        if (stream.total_out == block.size()) block.resize(block.size() * 2);
        stream.next_out = block.data() + stream.total_out;
        stream.avail_out = block.size() - stream.total_out;
        ret = lzma_code(&stream, LZMA_FINISH);
    }
    KZ_FUZZ_CHECK(ret == LZMA_STREAM_END);
    block.resize(stream.total_out);
    lzma_end(&stream);
    if (declare_length) {
        const std::uint64_t length = text.size();
        for (std::size_t i = 0; i < 8; ++i) block[5 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    return block;
}

// How a decode of a frame block ends: its frames and seed, or its stop as
// text (the message, the failure's texts and where it was thrown).
struct BlockEnd {
    std::optional<FrameBlock> block;
    String stop;
};

template <class Decode>
BlockEnd block_end(Decode&& decode) {
    try {
        return {decode(), {}};
    } catch (const Stop& stop) {
        String text = stop.message() + " / " + failure_text(stop.failure()) + " / " + stop.where().file_name() + ":";
        text += std::to_string(stop.where().line());
        return {std::nullopt, std::move(text)};
    }
}

inline bool same_frame_blocks(const FrameBlock& a, const FrameBlock& b) {
    const ReplayDataContainer& x = a.data;
    const ReplayDataContainer& y = b.data;
    return a.rng_seed == b.rng_seed && x.kivo_replay_data.has_value() == y.kivo_replay_data.has_value() &&
           x.taiko_replay_data.has_value() == y.taiko_replay_data.has_value() &&
           x.catch_replay_data.has_value() == y.catch_replay_data.has_value() &&
           x.mania_replay_data.has_value() == y.mania_replay_data.has_value() &&
           same_frames(frames_in(x.kivo_replay_data), frames_in(y.kivo_replay_data)) &&
           same_frames(frames_in(x.taiko_replay_data), frames_in(y.taiko_replay_data)) &&
           same_frames(frames_in(x.catch_replay_data), frames_in(y.catch_replay_data)) &&
           same_frames(frames_in(x.mania_replay_data), frames_in(y.mania_replay_data));
}

// Whether a block read window by window, `window_bytes` at a time, ends as
// it does when its text is read only once it is whole: the same frames and
// seed, or the same stop at the same item.
inline bool windows_end_as_whole(ByteView block, GameMode mode, std::size_t window_bytes) {
    const BlockEnd whole = block_end([&] { return decode_frame_block_whole(block, mode); });
    const BlockEnd windowed = block_end([&] { return decode_frame_block_in_windows(block, mode, window_bytes); });
    if (whole.stop != windowed.stop || whole.block.has_value() != windowed.block.has_value()) return false;
    return !whole.block || same_frame_blocks(*whole.block, *windowed.block);
}

// A frame block read in windows of a few bytes against the whole text. Byte
// 0: the mode (bits 0-1), the window of 1 to 8 bytes (bits 2-4, for texts up
// to 64 KiB), whether the
// rest is a frame text to compress first (bit 5) and whether its block then
// declares the text's length (bit 6); otherwise the rest is the block.
inline void windows_target(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    const auto mode = static_cast<GameMode>(data[0] & 3);
    const std::size_t window = 1 + ((data[0] >> 2) & 7);
    const ByteView rest(data + 1, size - 1);
    Bytes compressed;
    ByteView block = rest;
    if ((data[0] & 0x20) != 0) {
        compressed = compress_text(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()),
                                   (data[0] & 0x40) != 0);
        block = ByteView(compressed.data(), compressed.size());
    }
    const QuietStops quiet;
    // A long text is read in wider windows, so that no input takes more than
    // 65,536 rounds of the decoder.
    std::size_t text_bytes = 0;
    stop_is_fine([&] {
        DecodeFailure stopped;
        text_bytes = decompress_frame_block_prefix(block, stopped).size();
    });
    KZ_FUZZ_CHECK(windows_end_as_whole(block, mode, std::max(window, text_bytes >> 16)));
    KZ_FUZZ_CHECK(windows_end_as_whole(block, mode, kTextWindowBytes));
}

// Every target by the name of its folder of seeds and saved findings; the
// regression test and the mutation driver run targets from this table, so a
// target added here is replayed and smoke-fuzzed without further wiring.
using TargetFn = void (*)(const std::uint8_t*, std::size_t);
struct NamedTarget {
    std::string_view name;
    TargetFn run;
};
inline constexpr NamedTarget kTargets[] = {
    {"replay", replay_target},         {"frame_text", frame_text_target}, {"life_bar", life_bar_target},
    {"debug_text", debug_text_target}, {"block", block_target},           {"encode", encode_target},
    {"windows", windows_target},
};

inline TargetFn target_named(std::string_view name) {
    for (const NamedTarget& target : kTargets) {
        if (target.name == name) return target.run;
    }
    return nullptr;
}

}  // namespace kz::fuzz
