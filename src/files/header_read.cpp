// A header-only decode that reads only the parts of a file the header needs.
//
// The header's fields are walked in the layout table's order: each field's
// first bytes say how many it takes (layout/field_extent.hpp), and the file
// is read on until that field is whole. The header is then decoded once. If
// the file ends inside a field, the whole-file decode fails at that field,
// and its failure is made from the file's size and the few bytes its text
// quotes.
#include "files/header_read.hpp"

#include <algorithm>

#include "failure/stop.hpp"
#include "layout/field_codec.hpp"
#include "layout/field_extent.hpp"
#include "layout/replay_layout.hpp"
#include "failure/decode_result.hpp"
#include "readers/frame_block.hpp"
#include "replay_decode/replay_parser.hpp"

namespace kz {
namespace {

constexpr auto kFrameBlockRow = static_cast<std::uint8_t>(layout::kFrameBlockIndex);
constexpr auto kReplayIdRow = static_cast<std::uint8_t>(layout::kReplayIdIndex);
constexpr std::uint64_t kLengthFieldBytes = layout::min_width(layout::Kind::FrameBlock);
constexpr std::size_t kIdBytes = 8;

DecodeOutcome outcome_of(Result<Replay> result, ByteView file, std::uint64_t file_size) {
    if (!result) return failure_of(result.error(), file.data(), file_size);
    return std::move(result.value());
}

// The first bytes of the source, read on demand and kept in one buffer.
class Head {
public:
    Head(const ByteSource& source, std::size_t step) : source_(source), size_(source.size()), step_(step) {}

    std::uint64_t source_size() const noexcept { return size_; }
    std::uint64_t size() const noexcept { return buffer_.size(); }
    bool holds_all() const noexcept { return buffer_.size() == size_; }
    ByteView view() const noexcept { return {buffer_.data(), buffer_.size()}; }
    ByteView from(std::uint64_t offset) const noexcept { return view().subspan(static_cast<std::size_t>(offset)); }
    std::uint64_t offset_of(const std::uint8_t* at) const noexcept {
        return static_cast<std::uint64_t>(at - buffer_.data());
    }

    // Holds at least the first min(end, size) bytes afterwards, with some
    // read-ahead; false when the source ended early (it shrank while read).
    // Reading may move the bytes: views taken before are gone.
    bool extend_to(std::uint64_t end) {
        end = std::min(end, size_);
        if (end <= buffer_.size()) return true;
        if (end > kMaxFileBytes) stop_file_too_large();
        // Read-ahead after the first read: the next fields usually follow.
        const std::uint64_t ahead =
            buffer_.size() == 0 ? end : std::max<std::uint64_t>(end + step_, std::uint64_t{buffer_.size()} * 2);
        const std::uint64_t target = std::min<std::uint64_t>({ahead, size_, kMaxFileBytes});
        buffer_.reserve(static_cast<std::size_t>(target));
        const std::size_t room = static_cast<std::size_t>(target) - buffer_.size();
        const std::size_t got = source_.read_at(buffer_.size(), buffer_.end(), room);
        buffer_.commit(got);
        return got == room;
    }

private:
    const ByteSource& source_;
    std::uint64_t size_;
    std::size_t step_;
    ByteBuffer buffer_;
};

// A source that changed size while it was read has no single answer; the
// bytes it gives now are decoded as a whole.
DecodeOutcome decode_what_is_there(const ByteSource& source) {
    const std::uint64_t size = source.size();
    if (size > kMaxFileBytes) stop_file_too_large();
    ByteBuffer all(static_cast<std::size_t>(size));
    all.commit(source.read_at(0, all.data(), all.capacity()));
    const ByteView bytes(all.data(), all.size());
    return outcome_of(parse_replay(bytes, ByteOrder::Little, true), bytes, bytes.size());
}

// The failure of `error` (the head's), which quotes the rest of the file
// from where its reader stood: the head is read on to the bytes the text shows.
DecodeOutcome quote_rest(Head& head, const DecodeError& error, const ByteSource& source) {
    const std::uint64_t field_at = head.offset_of(error.field_begin);
    const std::uint64_t offset = head.offset_of(error.input.data());
    const std::uint64_t rest = head.source_size() - offset;
    const std::uint64_t shown = rest <= kMaxQuotedBytes ? rest : kQuotedHeadBytes;
    if (!head.extend_to(offset + shown)) return decode_what_is_there(source);
    DecodeError moved = error;
    moved.input = head.from(offset);
    moved.field_begin = head.from(field_at).data();
    return failure_of(moved, head.view().data(), head.source_size());
}

// Reads the header's fields whole, in the table's order, up to the first
// that the file ends inside or that cannot be read; false when the source
// ended early.
bool read_header_fields(Head& head) {
    std::uint64_t at = 0;
    for (std::size_t row = 0; row < layout::kFrameBlockIndex; ++row) {
        for (;;) {
            if (head.holds_all()) return true;
            const layout::Extent extent = layout::extent_of(layout::kFields[row].kind, head.from(at));
            if (extent.status == layout::Extent::Status::Malformed) return true;
            const std::uint64_t end = at + std::min(extent.bytes, head.source_size() + 1 - at);
            if (extent.status == layout::Extent::Status::Whole && end <= head.size()) {
                at = end;
                break;
            }
            if (end > head.source_size()) return true;  // the decode says how the file ends inside it
            try {
                if (!head.extend_to(end)) return false;
            } catch (Stop& stopped) {
                // A header past the file size limit: its stop names the field that reached it.
                stopped.failure().place(static_cast<std::uint8_t>(row), at);
                throw;
            }
        }
    }
    return true;
}

// The frame block's length, all of it read: a negative one stops, named.
std::uint64_t read_block_length(ByteView at, std::uint64_t offset) {
    try {
        return layout::Codec<layout::Kind::FrameBlock>::read_length(at).value();
    } catch (Stop& stopped) {
        stopped.failure().place(kFrameBlockRow, offset);
        throw;
    }
}

}  // namespace

DecodeOutcome decode_header_only(const ByteSource& source, std::size_t first_read) {
    Head head(source, std::max<std::size_t>(first_read, 1));
    if (!head.extend_to(first_read) || !read_header_fields(head)) return decode_what_is_there(source);
    if (head.holds_all())
        return outcome_of(parse_replay(head.view(), ByteOrder::Little, true), head.view(), head.size());

    Result<Replay> header = parse_replay_header(head.view(), ByteOrder::Little);
    if (!header) return quote_rest(head, header.error(), source);
    Replay replay = std::move(header.value());
    const std::uint64_t length_at = head.offset_of(header.rest().data());
    if (!head.extend_to(length_at + kLengthFieldBytes)) return decode_what_is_there(source);
    if (head.holds_all())
        return outcome_of(parse_replay(head.view(), ByteOrder::Little, true), head.view(), head.size());
    const std::uint64_t block_at = length_at + kLengthFieldBytes;
    const std::uint64_t length = read_block_length(head.from(length_at), length_at);
    if (length > head.source_size() - block_at) {
        return quote_rest(
            head, DecodeError::eof(head.from(block_at), length).at_field(kFrameBlockRow, head.from(length_at)), source);
    }

    const std::uint64_t id_at = block_at + length;
    std::uint8_t tail[kIdBytes];
    const auto tail_size = static_cast<std::size_t>(std::min<std::uint64_t>(kIdBytes, head.source_size() - id_at));
    if (source.read_at(id_at, tail, tail_size) != tail_size) return decode_what_is_there(source);
    // The view is the whole rest when it is shorter than an id, so the
    // choice between the two id widths and a failure are the whole file's.
    const ByteView id_bytes(tail, tail_size);
    const Result<std::uint64_t> id = parse_replay_id(id_bytes, ByteOrder::Little);
    if (!id) {
        DecodeError error = id.error();
        DecodeFailure failure = failure_of(error.at_field(kReplayIdRow, id_bytes), tail, tail_size);
        failure.field_offset = id_at;
        return failure;
    }
    replay.replay_id = id.value();
    return replay;
}

}  // namespace kz
