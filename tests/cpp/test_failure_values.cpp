// Failures as values: each says what went wrong, in which field of the
// layout table (or which frame item), where, and how many bytes were
// missing; the texts people read are rendered from it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bulk/failure_report.hpp"
#include "files/replay_file.hpp"
#include "layout/field_codec.hpp"
#include "layout/replay_layout.hpp"
#include "failure/failure_text.hpp"
#include "replay_decode/replay_parser.hpp"
#include "replay_bytes.hpp"

namespace kz::test {
namespace {

// A whole file written row by row from the table, and where each row starts.
struct LaidOut {
    ByteVec bytes;
    std::vector<std::size_t> starts;
};

LaidOut lay_out(std::string_view frames = "1|2|3|0,-12345|0|0|9") {
    Replay replay;
    replay.username = String("someone");
    replay.beatmap_hash = String("0123456789abcdef");
    Bytes file;
    std::vector<std::size_t> starts;
    layout::for_each_field([&](auto index) {
        using Row = layout::FieldAt<index>;
        starts.push_back(file.size());
        if constexpr (Row::kind == layout::Kind::LifeBar) {
            layout::Codec<Row::kind>::write(file, "0|1,16|0.5");
        } else if constexpr (Row::kind == layout::Kind::FrameBlock) {
            const ByteVec block = compress_alone(frames);
            layout::Codec<Row::kind>::write(file, ByteView(block.data(), block.size()));
        } else {
            layout::Codec<Row::kind>::write(file, layout::to_wire(replay.*Row::member));
        }
    });
    return {ByteVec(file.begin(), file.end()), starts};
}

// The failure a decode of `bytes` stops with.
DecodeFailure failure_of_decode(const ByteVec& bytes, bool header_only = false) {
    QuietStops quiet;
    try {
        (void)decode_replay(view_of(bytes), header_only);
    } catch (const Stop& stopped) {
        EXPECT_EQ(text_of(stopped.message()), text_of(panic_text(stopped.failure())));
        return stopped.failure();
    }
    ADD_FAILURE() << "no stop";
    return {};
}

// A file cut short inside any field (at its start when it takes one byte)
// says which field, where it starts and how many bytes it still needed: the
// widths come from the table.
TEST(FailureValues, EveryFieldCutShortNamesItselfAndWhatIsMissing) {
    const LaidOut file = lay_out();
    for (std::size_t row = 0; row < layout::kFields.size(); ++row) {
        const layout::FieldInfo& field = layout::kFields[row];
        SCOPED_TRACE(std::string(field.name));
        const std::size_t start = file.starts[row];
        const std::size_t width = layout::min_width(field.kind);
        const std::size_t cut = start + (width > 1 ? 1 : 0);
        const DecodeFailure failure =
            failure_of_decode(ByteVec(file.bytes.begin(), file.bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
        EXPECT_EQ(failure.cause, FailureCause::Eof);
        EXPECT_EQ(failure.field, row);
        EXPECT_EQ(failure.field_offset, start);
        EXPECT_EQ(failure.needed, width - (cut - start));
        const std::string message = text_of(describe_failure(failure).message);
        const std::string expected = width == 1 && field.width == 0
                                         ? "where " + std::string(field.name) + " should start"
                                         : "(needs " + std::to_string(failure.needed) +
                                               (failure.needed == 1 ? " more byte" : " more bytes") + " at offset " +
                                               std::to_string(cut) + ")";
        EXPECT_NE(message.find(expected), std::string::npos) << message;
    }
}

// A stop inside a field is named by the field the parser was reading, by
// value: nothing of the input is kept but the few bytes a text quotes.
TEST(FailureValues, StopsAreNamedByTheirField) {
    const LaidOut file = lay_out();
    const std::size_t username = *layout::field_index("username");
    ByteVec bad_marker = file.bytes;
    bad_marker[file.starts[username]] = 0x0C;
    DecodeFailure failure = failure_of_decode(bad_marker, true);
    EXPECT_EQ(failure.cause, FailureCause::BadStringMarker);
    EXPECT_EQ(failure.field, username);
    EXPECT_EQ(failure.field_offset, file.starts[username]);
    EXPECT_EQ(text_of(describe_failure(failure).message),
              "username at offset " + std::to_string(file.starts[username]) +
                  " starts with byte 0xc, which marks no string (0x00 or 0x0b)");

    ByteVec not_utf8 = file.bytes;
    not_utf8[file.starts[username] + 2 + 3] = 0xFF;  // marker, length, "som", then a bad byte
    failure = failure_of_decode(not_utf8, true);
    EXPECT_EQ(failure.cause, FailureCause::InvalidUtf8);
    EXPECT_EQ(failure.field_offset + failure.offset, file.starts[username] + 5);
    EXPECT_EQ(failure.quoted.total, 7u);

    ByteVec mode = file.bytes;
    mode[0] = 9;
    failure = failure_of_decode(mode, true);
    EXPECT_EQ(failure.cause, FailureCause::UnknownMode);
    EXPECT_EQ(failure.value, 9u);
}

// A frame item's failure says which item, where in the text, and which of
// the mode's checks it fails; the items before it were read.
TEST(FailureValues, FrameItemsSayWhichItemAndCheck) {
    const LaidOut file = lay_out("1|2|3|0,2|2|3|0,3|2|oops|0,-12345|0|0|9");
    const DecodeFailure failure = failure_of_decode(file.bytes);
    EXPECT_EQ(failure.cause, FailureCause::BadFrameItem);
    EXPECT_EQ(failure.field, layout::kFrameBlockIndex);
    EXPECT_EQ(failure.item, 2u);
    EXPECT_EQ(failure.item_offset, 16u);
    EXPECT_EQ(failure.item_fault, ItemFault::NotNumber);
    EXPECT_EQ(text_of(describe_failure(failure).message), "frame 2 (byte 16 of the frame text): y is not a number");
}

}  // namespace
}  // namespace kz::test
