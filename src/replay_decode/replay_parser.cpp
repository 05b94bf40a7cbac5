// The replay file layout, decoded in one forward pass over the layout table.
// A failure is named by the field being read and where it starts: a reader's
// error gets them on its way out, and a stop on its way through.
#include "replay_decode/replay_parser.hpp"

#include <algorithm>
#include <type_traits>

#include "failure/stop.hpp"
#include "layout/field_codec.hpp"
#include "layout/replay_layout.hpp"
#include "failure/failure_text.hpp"
#include "readers/frame_block.hpp"

namespace kz {
namespace {

// Reads the field at row `I` of the layout from the start of `input`.
template <std::size_t I>
auto read_field(ByteView input) {
    using Row = layout::FieldAt<I>;
    if constexpr (Row::kind == layout::Kind::Text || Row::kind == layout::Kind::LifeBar) {
        return layout::Codec<Row::kind>::read(input, static_cast<std::uint8_t>(I));
    } else {
        return layout::Codec<Row::kind>::read(input);
    }
}

std::uint64_t offset_in(ByteView input, ByteView at) noexcept {
    return static_cast<std::uint64_t>(at.data() - input.data());
}

// Runs read() for the field at `row` starting at `at`: an error or a stop
// leaves it named by that field.
template <class Read>
auto in_field(std::uint8_t row, ByteView input, ByteView at, Read&& read) -> decltype(read()) {
    try {
        auto result = read();
        if (!result) return DecodeError(result.error()).at_field(row, at);
        return result;
    } catch (Stop& stopped) {
        stopped.failure().place(row, offset_in(input, at));
        throw;
    }
}

constexpr auto kFrameBlockRow = static_cast<std::uint8_t>(layout::kFrameBlockIndex);
constexpr auto kReplayIdRow = static_cast<std::uint8_t>(layout::kReplayIdIndex);

}  // namespace

Result<std::uint64_t> parse_replay_id(ByteView input, ByteOrder) noexcept {
    return layout::Codec<layout::Kind::ReplayId>::read(input);
}

Result<Replay> parse_replay_header(ByteView input, ByteOrder) {
    Replay replay;
    ByteView rest = input;
    std::uint8_t mode_byte = 0;
    std::optional<DecodeError> failed;
    layout::for_each_field_while<layout::kFrameBlockIndex>([&](auto index) {
        using Row = layout::FieldAt<index>;
        constexpr auto row = static_cast<std::uint8_t>(index);
        try {
            auto read = read_field<index>(rest);
            if (!read) {
                failed = DecodeError(read.error()).at_field(row, rest);
                return false;
            }
            rest = read.rest();
            if constexpr (std::is_same_v<std::remove_cvref_t<decltype(replay.*Row::member)>, GameMode>) {
                mode_byte = read.value();
            } else {
                layout::from_wire(replay.*Row::member, std::move(read.value()));
            }
            return true;
        } catch (Stop& stopped) {
            stopped.failure().place(row, offset_in(input, rest));
            throw;
        }
    });
    if (failed) return *failed;

    // A bad mode byte is reported only once the header through the time
    // stamp is known to be there; a shorter file reports what is missing.
    if (mode_byte > 3) {
        DecodeFailure failure;
        failure.cause = FailureCause::UnknownMode;
        failure.value = mode_byte;
        failure.place(static_cast<std::uint8_t>(*layout::field_index("mode")), 0);
        stop_decode(std::move(failure));
    }
    replay.mode = game_mode_from_byte(mode_byte);
    return Result<Replay>(std::move(replay), rest);
}

Result<Replay> parse_replay(ByteView input, ByteOrder order, bool header_only) {
    ByteView rest = input;
    KZ_TRY(replay, rest, parse_replay_header(rest, order));
    auto block =
        in_field(kFrameBlockRow, input, rest, [&] { return parse_frame_block(rest, order, header_only, replay.mode); });
    if (!block) return block.error();
    rest = block.rest();
    replay.replay_data = std::move(block.value().data);
    replay.rng_seed = block.value().rng_seed;

    auto replay_id = in_field(kReplayIdRow, input, rest, [&] { return parse_replay_id(rest, order); });
    if (!replay_id) return replay_id.error();
    replay.replay_id = replay_id.value();
    return Result<Replay>(std::move(replay), replay_id.rest());
}

DecodeFailure failure_of(const DecodeError& error, const std::uint8_t* file_start, std::uint64_t file_size) {
    DecodeFailure failure;
    const auto offset_of = [&](const std::uint8_t* at) {
        return at == nullptr || file_start == nullptr ? std::uint64_t{0} : static_cast<std::uint64_t>(at - file_start);
    };
    failure.place(error.field, offset_of(error.field_begin));
    if (error.form == DecodeError::Form::Incomplete) {
        failure.cause = FailureCause::EofInLength;
        failure.value = error.needed.value_or(0);
        return failure;
    }
    const std::uint64_t rest_at = offset_of(error.input.data());
    const std::uint64_t rest = file_size - std::min(rest_at, file_size);
    failure.quoted = quote(error.input, rest);
    if (error.code == ErrorKind::TooLarge) {
        failure.cause = FailureCause::LengthTooLong;
        return failure;
    }
    failure.cause = FailureCause::Eof;
    failure.offset = file_size - std::min(failure.field_offset, file_size);
    failure.needed = error.wanted > rest ? error.wanted - rest : 0;
    // Ended where the field starts: before a text's marker, inside the block's length.
    if (rest_at == failure.field_offset && failure.field < layout::kFields.size()) {
        switch (layout::kFields[failure.field].kind) {
            case layout::Kind::Text:
            case layout::Kind::LifeBar: failure.part = EofPart::Start; break;
            case layout::Kind::FrameBlock: failure.part = EofPart::Length; break;
            default: break;
        }
    }
    return failure;
}

}  // namespace kz
