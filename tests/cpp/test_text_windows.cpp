// A frame block read window by window ends as when its text is read whole:
// tiny windows over the frame-text cases, long texts across many windows.
#include "readers/text_windows.hpp"

#include <gtest/gtest.h>

#include <string>

#include "../../fuzz/targets.hpp"
#include "replay_bytes.hpp"

namespace kz::test {
namespace {

using fuzz::compress_text;
using fuzz::windows_end_as_whole;

constexpr GameMode kModes[] = {GameMode::STD, GameMode::TAIKO, GameMode::CTB, GameMode::MANIA};

ByteView view_of(const Bytes& bytes) { return ByteView(bytes.data(), bytes.size()); }

constexpr std::string_view kTexts[] = {
    "",
    ",",
    ",,,",
    "-12345|0|0|7",
    "0|256|-500|0,-1|256|-500|0,16|100.5|200|1,-12345|0|0|777,",
    "16|1|2|3,-12345|0|0|5,,",
    "16|1|2|3,-12345|0|0|5,20|1|2|3",
    "-12345|0|0|5,|1|2|9",
    "|1|2|3,16x|1|2|3|9|9,-|1|2|3",
    "16|256.75|-0.5|5,-1|1e3|-.5|-1|x",
    "16|256.75|anything|1,9223372036854775807|-3||-2147483648",
    "1|0.5|x|1,2|0|x|01,3|0|x|1abc,4|0|x|0,5|0|x|2",
    "16|1|2,-12345|0|0|x,",
    "16|NaN|-Infinity|0",
    "|1|2|3,,|4",
    "1|2|3|4, 16|1|2|3",
    "9223372036854775808|1|2|3",
    "16",
    "1|2|3|4,16|1|2",
    "16|5",
    "16|abc",
    "16|\xff|2|3",
    "16|1|1e|3",
    "16|1|2|2147483648",
    "17|128|15.35354|0,16|368.3333|9999|10,16|320|9999|0,16|256.2667|9999|1,",
};

TEST(TextWindows, TinyWindowsEndAsTheWholeText) {
    for (const std::string_view text : kTexts) {
        for (const bool declared : {false, true}) {
            const Bytes block = compress_text(text, declared);
            for (const GameMode mode : kModes) {
                for (const std::size_t window : {1u, 2u, 3u, 7u}) {
                    EXPECT_TRUE(windows_end_as_whole(view_of(block), mode, window))
                        << text << " mode " << int(mode) << " window " << window << " declared " << declared;
                }
            }
        }
    }
}

// The frames and seed of a text, or its stop, as text.
template <class Decode>
std::string frames_end(Decode&& decode) {
    try {
        const DecodedFrames<ReplayEventKivo> decoded = decode();
        std::string text = std::to_string(decoded.rng_seed.value_or(-1));
        for (const ReplayEventKivo& f : decoded.frames) text += "," + std::to_string(f.time_delta);
        return text;
    } catch (const Stop& stop) {
        return text_of(stop.message() + " / " + fuzz::failure_text(stop.failure()));
    }
}

// The reader takes a text in two pieces split anywhere, the last one empty
// too (the text then ends with the first piece's ',').
TEST(TextWindows, ReaderTakesPiecesSplitAnywhere) {
    const QuietStops quiet;
    for (const std::string_view text : kTexts) {
        const std::string whole = frames_end([&] { return decode_frame_text<ReplayEventKivo>(text); });
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            const std::string padded = std::string(text) + std::string(quick::kQuickReadBytes, '\0');
            const std::string pieces = frames_end([&] {
                FrameTextReader<ReplayEventKivo> reader;
                const std::size_t read =
                    reader.read_ended_items(std::string_view(padded).substr(0, cut), padded.data() + cut + 160);
                return reader.finish(std::string_view(padded).substr(read, text.size() - read));
            });
            EXPECT_EQ(pieces, whole) << text << " cut at " << cut;
        }
    }
}

// A block cut short ends its text where the decoder stops, at any byte: in
// the middle of an item, after its ',' (the last window then brings nothing)
// or in the stream's header.
TEST(TextWindows, EveryCutOfABlock) {
    const Bytes block = compress_text("0|256|-500|0,16|100.5|200|1,-12345|0|0|777,", false);
    for (std::size_t cut = 0; cut <= block.size(); ++cut) {
        for (const GameMode mode : kModes) {
            for (const std::size_t window : {1u, 2u, 3u}) {
                EXPECT_TRUE(windows_end_as_whole(ByteView(block.data(), cut), mode, window)) << cut << " " << window;
            }
        }
    }
}

// About `size` bytes of cursor items; `bad` replaces the item at that byte,
// and every `empty_every`th item is followed by items that give no frame.
std::string cursor_text(std::size_t size, std::size_t bad = std::string::npos, std::size_t empty_every = 0) {
    std::string text = "0|256|-500|0,-1|256|-500|0,";
    for (std::size_t i = 0; text.size() < size; ++i) {
        if (text.size() >= bad) {
            text += "16|oops|oops|x,";  // a fault in every mode
            bad = std::string::npos;
        }
        if (empty_every != 0 && i % empty_every == 0) text += i % 2 == 0 ? ",," : "|1|2|3,";
        text += std::to_string(i % 17) + "|" + std::to_string(i % 512) + "." + std::to_string(i % 97) + "|" +
                std::to_string((i * 7) % 384) + "|" + std::to_string(i % 3) + ",";
    }
    return text + "-12345|0|0|4242,";
}

TEST(TextWindows, LongTextsAcrossWindows) {
    const std::string good = cursor_text(600 << 10);
    const std::string long_item = "16|1." + std::string(300 << 10, '5') + "|2|3," + good;
    // The item named by a late fault counts the items of every window before,
    // those that gave no frame included.
    const std::string cases[] = {good, cursor_text(600 << 10, 400 << 10), long_item,
                                 cursor_text(600 << 10, 400 << 10, 37)};
    for (const std::string& text : cases) {
        const Bytes block = compress_text(text, false);
        for (const GameMode mode : kModes) {
            for (const std::size_t window : {std::size_t{4096}, kTextWindowBytes}) {
                EXPECT_TRUE(windows_end_as_whole(view_of(block), mode, window)) << int(mode) << " " << window;
            }
        }
    }
    // Many windows, one list: the frames are all there and the seed is found.
    const FrameBlock read = decode_frame_block(view_of(compress_text(good, false)), GameMode::STD);
    EXPECT_EQ(read.rng_seed, 4242);
    EXPECT_EQ(read.data.kivo_replay_data->size(), std::size_t(std::count(good.begin(), good.end(), ',')) - 1);
}

// A fault of the text before a failing stream: the stream's failure is what
// the call reports, with one diagnostic line, as when the text is read whole.
TEST(TextWindows, AFailingStreamOutranksAnEarlierFault) {
    const std::string text = cursor_text(64 << 10, 100);
    const Bytes block = compress_text(text, false);
    Bytes lying = block;  // claims more text than the stream holds
    for (std::size_t i = 0; i < 8; ++i) lying[5 + i] = i == 5 ? 1 : 0;
    EXPECT_TRUE(windows_end_as_whole(view_of(lying), GameMode::STD, 3));
    testing::internal::CaptureStderr();
    const std::string message = stop_message([&] { decode_frame_block_in_windows(view_of(lying), GameMode::STD, 64); });
    const std::string diagnostics = testing::internal::GetCapturedStderr();
    EXPECT_EQ(message, "called `Result::unwrap()` on an `Err` value: Data");
    const std::size_t line = diagnostics.find("stopped with");
    EXPECT_EQ(diagnostics.find("stopped with", line + 1), std::string::npos) << diagnostics;
    EXPECT_NE(diagnostics.find("Data", line), std::string::npos) << diagnostics;
    // The same fault in a sound stream is reported, with its own line.
    testing::internal::CaptureStderr();
    EXPECT_EQ(stop_message([&] { decode_frame_block_in_windows(view_of(block), GameMode::STD, 64); }),
              "called `Result::unwrap()` on an `Err` value: Error");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("unwrap"), std::string::npos);
}

}  // namespace
}  // namespace kz::test
