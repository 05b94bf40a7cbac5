// A file decoded for the column form of bulk decoding: its header record and
// its frames as columns, made on the pool thread that decoded it.
#pragma once

#include <variant>

#include "bulk/failure.hpp"
#include "columns/frame_columns.hpp"
#include "common/memory.hpp"
#include "failure/decode_result.hpp"
#include "replay/replay_record.hpp"

namespace kz {

struct DecodedColumns {
    Replay replay;  // every field but the frame lists, which went into `columns`
    FrameColumns columns;
};

using ColumnsOutcome = std::variant<DecodedColumns, Failure>;

// Reads and decodes one file, then moves its frames into columns. Never
// throws: every failure, memory exhaustion included, is the returned value.
ColumnsOutcome decode_file_columns(const String& path, bool header_only) noexcept;

// The same for a file's contents.
ColumnsOutcome decode_bytes_columns(ByteView contents, bool header_only) noexcept;

// Memory an outcome holds, roughly, for the stream's budget.
std::size_t columns_outcome_bytes(const ColumnsOutcome& outcome) noexcept;

}  // namespace kz
