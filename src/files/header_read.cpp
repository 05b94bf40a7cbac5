// A header-only decode that reads only the parts of a file the header needs.
//
// The header is decoded from the start of the file, read on demand: when a
// reader runs out of what is read so far, its error says where it was and
// how many bytes it wanted. If the file holds them, more is read and the
// header decoded again; if not, the whole-file decode fails at the same
// reader, and the error is written from the file's size and the few bytes
// its text shows.
#include "files/header_read.hpp"

#include <algorithm>

#include "parser/decode_notes.hpp"
#include "parser/decode_result.hpp"
#include "parser/frame_block.hpp"
#include "parser/replay_parser.hpp"

namespace kz {
namespace {

constexpr std::uint64_t kLengthFieldBytes = 4;
constexpr std::size_t kIdBytes = 8;

DecodeOutcome outcome_of(Result<Replay> result) {
    if (!result) return describe(result.error());
    return std::move(result.value());
}

// The first bytes of the source, read on demand and kept in one buffer.
class Head {
public:
    Head(const ByteSource& source, std::size_t step) : source_(source), size_(source.size()), step_(step) {}

    std::uint64_t source_size() const noexcept { return size_; }
    bool holds_all() const noexcept { return buffer_.size() == size_; }
    ByteView view() const noexcept { return {buffer_.data(), buffer_.size()}; }
    // Hands the bytes read to `kept` (when given): an error's notes point into them.
    void keep_in(ByteBuffer* kept) noexcept {
        if (kept != nullptr) *kept = std::move(buffer_);
    }
    ByteView from(std::uint64_t offset) const noexcept { return view().subspan(static_cast<std::size_t>(offset)); }
    std::uint64_t offset_of(ByteView part) const noexcept {
        return static_cast<std::uint64_t>(part.data() - buffer_.data());
    }

    // Holds at least the first min(end, size) bytes afterwards, with some
    // read-ahead; false when the source ended early (it shrank while read).
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
DecodeOutcome decode_what_is_there(const ByteSource& source, ByteBuffer* kept) {
    const std::uint64_t size = source.size();
    if (size > kMaxFileBytes) stop_file_too_large();
    ByteBuffer all(static_cast<std::size_t>(size));
    all.commit(source.read_at(0, all.data(), all.capacity()));
    DecodeOutcome outcome = outcome_of(parse_replay(ByteView(all.data(), all.size()), ByteOrder::Little, true));
    if (kept != nullptr && std::holds_alternative<String>(outcome)) *kept = std::move(all);
    return outcome;
}

// Where the failing field is, for the notes: its name and offset.
struct FailingField {
    const char* name;
    std::uint64_t offset;
};

// The text of `error`, which quotes the rest of the file from `offset`. The
// notes are pointed at the failing field in the bytes read now (reading more
// may have moved them) and told the file's whole size.
DecodeOutcome quote_rest(Head& head, DecodeError error, std::uint64_t offset, FailingField field,
                         const ByteSource& source, ByteBuffer* kept) {
    const std::uint64_t rest = head.source_size() - offset;
    const std::uint64_t shown = rest <= kMaxQuotedBytes ? rest : kQuotedHeadBytes;
    if (!head.extend_to(offset + shown)) return decode_what_is_there(source, kept);
    error.input = head.from(offset);
    String text = describe(error, rest);
    note_input(head.view());
    decode_notes().input_size = head.source_size();
    note_field(field.name, head.from(field.offset));
    head.keep_in(kept);
    return text;
}

}  // namespace

DecodeOutcome decode_header_only(const ByteSource& source, std::size_t first_read, ByteBuffer* kept) {
    Head head(source, std::max<std::size_t>(first_read, 1));
    if (!head.extend_to(first_read)) return decode_what_is_there(source, kept);
    for (;;) {
        if (head.holds_all()) {
            DecodeOutcome outcome = outcome_of(parse_replay(head.view(), ByteOrder::Little, true));
            if (std::holds_alternative<String>(outcome)) head.keep_in(kept);
            return outcome;
        }
        Result<Replay> header = parse_replay_header(head.view(), ByteOrder::Little);
        if (!header) {
            const DecodeError error = header.error();
            if (error.form == DecodeError::Form::Incomplete) {
                // A ULEB128 length ran into the end of what is read.
                if (!head.extend_to(head.view().size() + 1)) return decode_what_is_there(source, kept);
                continue;
            }
            const std::uint64_t offset = head.offset_of(error.input);
            const DecodeNotes& notes = decode_notes();
            const FailingField field{notes.field != nullptr ? notes.field : "mode",
                                     static_cast<std::uint64_t>((notes.field_begin != nullptr ? notes.field_begin
                                                                                              : notes.input.data()) -
                                                                notes.input.data())};
            // Too long a ULEB128 has all its bytes here; a reader that wants
            // more than the file holds fails on the whole file just the same.
            const std::uint64_t wanted = error.wanted != 0 ? error.wanted : error.input.size() + 1;
            if (error.code != ErrorKind::Eof || wanted > head.source_size() - offset ||
                offset + wanted <= head.view().size()) {
                return quote_rest(head, error, offset, field, source, kept);
            }
            if (!head.extend_to(offset + wanted)) return decode_what_is_there(source, kept);
            continue;
        }

        Replay replay = std::move(header.value());
        const std::uint64_t length_at = head.offset_of(header.rest());
        if (!head.extend_to(length_at + kLengthFieldBytes)) return decode_what_is_there(source, kept);
        if (head.holds_all()) continue;
        // The length is all here, so it is read or it stops.
        const std::uint64_t block_at = length_at + kLengthFieldBytes;
        const std::uint64_t length = parse_frame_block_length(head.from(length_at), ByteOrder::Little).value();
        if (length > head.source_size() - block_at) {
            return quote_rest(head, DecodeError::eof(head.from(block_at), length), block_at, {"frame block", length_at},
                              source, kept);
        }

        const std::uint64_t id_at = block_at + length;
        std::uint8_t tail[kIdBytes];
        const auto tail_size = static_cast<std::size_t>(std::min<std::uint64_t>(kIdBytes, head.source_size() - id_at));
        if (source.read_at(id_at, tail, tail_size) != tail_size) return decode_what_is_there(source, kept);
        // The view is the whole rest when it is shorter than an id, so the
        // choice between the two id widths and an error's text are the
        // whole file's.
        const Result<std::uint64_t> id = parse_replay_id(ByteView(tail, tail_size), ByteOrder::Little);
        if (!id) {
            String text = describe(id.error());
            if (kept != nullptr) {
                // The notes name the id, in a copy of its bytes that outlives the call.
                *kept = ByteBuffer(tail_size);
                std::copy_n(tail, tail_size, kept->data());
                kept->commit(tail_size);
                note_input(ByteView(kept->data(), tail_size));
                note_field("replay_id", ByteView(kept->data(), tail_size));
            }
            return text;
        }
        replay.replay_id = id.value();
        return replay;
    }
}

}  // namespace kz
